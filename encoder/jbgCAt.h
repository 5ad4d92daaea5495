// The AT planner, under the whole standard: the planner's rows for layers
// of `width` pixels (nothing when the AT pixel cannot move), the moves of a
// stripe of `lines` rows from row `top` into ctx->atMoves, and their ATMOVE
// segments at the start of the stripe's data.
#pragma once

#include "../frame/jpgLib.h"

bool atPlannerAlloc(JbigContext *ctx, uint32_t width);
void atPlannerFree(JbigContext *ctx);
void atPlanStripe(JbigContext *ctx, uint32_t top, uint32_t lines, bool lowest);
void atWriteMoves(JbigContext *ctx);
