// The encoder interface's internals, for the Windows sources.
#pragma once

#include "../frame/jbgLowWalk.h"
#include "jbgCQM.h"

int32_t lowLayerEncode(JbigContext *ctx);
// The lowest layer's start (row 0, the white rows above, fresh typical
// prediction and AT pixel): its stripe coder, null when the AT planner's
// rows cannot be had.
StripeFn lowLayerStart(JbigContext *ctx);
// Stripe s of the lowest layer, `lines` lines from row `top` (cur.row),
// closed with its marker: the stream's status (0 when written).
uint32_t lowStripeCode(JbigContext *ctx, StripeFn coder, uint32_t s, uint32_t top, uint32_t lines);
// Makes the encoder's full-resolution raster if there is none; false when
// it cannot be allocated.
bool encMakeRaster(JbigContext *ctx);
void spoolFree(JbigContext *ctx);
// libjbig: stripes ending with SDRST, AT moves at stripe starts only, none
// in the differential layers, moves checked with the whole template (before
// the first jbigEncode call).
constexpr uint32_t kEncSdrst = 1, kEncAtStripeStart = 2, kEncAtLowestOnly = 4, kEncAtVerify = 8;
// The streaming encoder for libjbig's T.85 calls: a stripe's data may end
// in 0x00, the byte held back when the stripe ends, as that library writes it.
constexpr uint32_t kEncKeepZeros = 16;
int32_t encStripeOptions(JbigHandle handle, uint32_t flags);
// libjbig: a caller's deterministic-prediction tables (before the first jbigEncode call).
int32_t encUseDpTables(JbigHandle handle, const uint8_t *const tables[4]);
