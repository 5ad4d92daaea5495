// The encoder interface's internals, for the Windows sources.
#pragma once

#include "../frame/jpgLib.h"
#include "jbgCQM.h"

int32_t lowLayerEncode(JbigContext *ctx);
// Makes the encoder's full-resolution raster if there is none; false when
// it cannot be allocated.
bool encMakeRaster(JbigContext *ctx);
void spoolFree(JbigContext *ctx);
// libjbig: stripes ending with SDRST, AT moves at stripe starts only, none
// in the differential layers, moves checked with the whole template (before
// the first jbigEncode call).
constexpr uint32_t kEncSdrst = 1, kEncAtStripeStart = 2, kEncAtLowestOnly = 4, kEncAtVerify = 8;
int32_t encStripeOptions(JbigHandle handle, uint32_t flags);
// libjbig: a caller's deterministic-prediction tables (before the first jbigEncode call).
int32_t encUseDpTables(JbigHandle handle, const uint8_t *const tables[4]);
