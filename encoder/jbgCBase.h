// Encoder internals shared by the encoder modules.
#pragma once

#include "../frame/jpgLib.h"

int32_t lowLayerEncode(JbigContext *ctx);
int32_t diffLayerEncode(JbigContext *ctx);
// Makes the encoder's full-resolution raster if there is none; false when
// it cannot be allocated.
bool encMakeRaster(JbigContext *ctx);
