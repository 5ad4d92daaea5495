// Decoder internals shared by the decoder modules.
#pragma once

#include "../frame/jpgLib.h"

int32_t lowLayerDecode(JbigContext *ctx);
int32_t diffLayerDecode(JbigContext *ctx);
int32_t decodeNextLayer(JbigContext *ctx);
