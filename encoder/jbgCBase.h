// The encoder interface's internals, for the Windows sources.
#pragma once

#include "jbgCQM.h"

int32_t lowLayerEncode(JbigContext *ctx);
// Makes the encoder's full-resolution raster if there is none; false when
// it cannot be allocated.
bool encMakeRaster(JbigContext *ctx);
void spoolFree(JbigContext *ctx);
