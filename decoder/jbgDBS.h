// The decoder's differential-layer driver.
#pragma once

#include "../frame/jpgLib.h"

// Decodes layer layerCursor from the layer below it, which it replaces in
// cur; the layer's coded bytes, or -1 when memory fails.
int32_t diffLayerDecode(JbigContext *ctx);
