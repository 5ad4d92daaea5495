// Line-pair decoders of the differential layers.
#include "jbgDDiff.h"

namespace {

// Moves the window of cur down by one row and returns the new current row.
uint8_t *nextRow(JbigLayerImage &cur) {
    cur.lines[0] = cur.lines[1];
    cur.lines[1] = cur.lines[2];
    cur.lines[2] = cur.rows[cur.row++];
    return cur.lines[2];
}

}  // namespace

template <bool kTP, bool kDP>
void diffPairDecode(DecPx &px, JbigContext *ctx, uint32_t singleRow, uint32_t lastPairOfStripe) {
    JbigLayerImage &cur = ctx->cur, &low = ctx->low;
    low.lines[0] = low.lines[1];
    low.lines[1] = low.lines[2];
    low.lines[2] = low.rows[low.row++];
    const uint8_t *next = lastPairOfStripe ? low.lines[1] : low.lines[2];
    if (kTP) diffMarkBlocks<false>(ctx->diffWork, low.lines[0], low.lines[1], next, low.width, nullptr, nullptr);
    uint8_t *row = nextRow(cur);
    DiffRow r{cur.lines[0], cur.lines[1], row, low.lines[0], low.lines[1], next, ctx->diffWork, cur.width, 0};
    diffRowWalk<DecPx, kTP, kDP>(px, r);
    if (singleRow) return;
    row = nextRow(cur);
    r.above2 = cur.lines[0];
    r.above = cur.lines[1];
    r.row = row;
    r.second = 1;
    diffRowWalk<DecPx, kTP, kDP>(px, r);
}

template void diffPairDecode<false, false>(DecPx &, JbigContext *, uint32_t, uint32_t);
template void diffPairDecode<false, true>(DecPx &, JbigContext *, uint32_t, uint32_t);
template void diffPairDecode<true, false>(DecPx &, JbigContext *, uint32_t, uint32_t);
template void diffPairDecode<true, true>(DecPx &, JbigContext *, uint32_t, uint32_t);
