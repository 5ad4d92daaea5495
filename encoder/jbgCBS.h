// The encoder's differential-layer driver.
#pragma once

#include "../frame/jpgLib.h"

// Codes layer cur.layer of the encoder and makes the half-resolution image
// the current one; 0, or -1 when memory or the output fails.
int32_t diffLayerEncode(JbigContext *ctx);
