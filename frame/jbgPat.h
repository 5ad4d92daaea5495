// The stripe table: where every stripe data entity lies, the "CPat" trailer
// that carries it, the scan that rebuilds it, and the survey of the stripes.
#pragma once

#include <cstdint>

#include "jbgBIH.h"
#include "jbgMarker.h"
#include "jpgLib.h"

// The length of a stripe the scan could not measure (its -1).
constexpr uint32_t kSdeUnmeasured = 0xFFFFFFFFu;
// Where the order bits put the stripes of one bit plane: layer after layer
// (SEQ, ILEAVE, SMID 0, ILEAVE, ILEAVE + SMID), or stripe after stripe with
// the layers of each in turn (SMID, SEQ, SEQ + ILEAVE). SEQ with SMID names
// no order.
enum StripeOrder { kLayerOuter, kStripeOuter, kNoOrder };
StripeOrder stripeOrderOf(uint32_t order);
// The place of one stripe data entity.
struct SdeIndex {
    uint32_t plane, layer, stripe;
};
// The loops the order bits nest, outermost first: 'p' planes, 'd' layers,
// 's' stripes; null for an order that names none (with `full` as T.82
// defines them, otherwise as the library's first version read them).
const char *sdeNesting(uint32_t order, bool full);
// The k-th entity in stream order of the planes, layers lo .. hi and stripes
// of a header under a nesting; and the inverse.
SdeIndex sdeAt(const JbigBih &b, const char *nest, uint32_t lo, uint32_t hi, uint32_t stripes, uint32_t k);
uint32_t sdePosition(const JbigBih &b, const char *nest, uint32_t lo, uint32_t hi, uint32_t stripes, SdeIndex at);
int32_t stripeTableCreate(JbigContext *ctx);
int32_t stripeTableFree(JbigContext *ctx);
int32_t patInfoWrite(JbigContext *ctx);
uint32_t patInfoRead(JbigContext *ctx);
int32_t stripeTableScan(JbigContext *ctx);
// The decoder prolog's reading of the table under kModeFull: the private
// DP table, the trailer or, without one, the real height and the stripes.
uint32_t patInfoReadFull(JbigContext *ctx);
// The stripe of layer `layer` lies after an ABORT and is white.
bool stripeAbsent(const JbigContext *ctx, uint32_t plane, uint32_t layer, uint32_t stripe);
int32_t sdeScanLength(JbigContext *ctx);
int32_t scanGetByte(JbigContext *ctx);
// Size of the trailer the table makes.
uint32_t patInfoBytes(const JbigContext *ctx);

// A look at the stripes of an open decoder without decoding them: each is
// measured from its table offset the way the scan measures, and the first
// that does not end where the table says is named.
struct StripeSurvey {
    int32_t badPlane, badLayer, badStripe;  // -1: every stripe is where the table says
    SdeReport problem;            // why that one does not measure
    uint32_t dataEnd;             // stream position after the last stripe data
    SdeReport markers;            // the marker segments of all stripes together
    uint32_t sdrstCount;          // stripes ending with SDRST
    bool aborted;                 // an ABORT ends the data
};
void stripeSurvey(JbigContext *ctx, StripeSurvey *out);

// The table's rows: plane after plane, layer 0 to D in each.
inline uint32_t *stripeEntry(JbigContext *ctx, uint32_t plane, uint32_t layer, uint32_t stripe) {
    return reinterpret_cast<uint32_t *>(ctx->stripeTable[plane * uint32_t(ctx->tableLayers) + layer]) + 2 * stripe;
}
inline uint32_t *stripeEntry(JbigContext *ctx, uint32_t layer, uint32_t stripe) {
    return stripeEntry(ctx, 0, layer, stripe);
}
