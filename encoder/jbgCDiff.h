// Resolution reduction for the encoder's differential layers.
#pragma once

#include "../frame/jpgLib.h"

// Moves the windows of cur and low down by one line pair and, unless it is
// the final pair of the layer, computes the next half-resolution row.
void reduceNextRow(JbigContext *ctx, uint32_t finalPair);
