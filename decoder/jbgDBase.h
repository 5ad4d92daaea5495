// The decoder interface's internals, for the readers, the Windows results
// and the stripe-index operations.
#pragma once

#include "../frame/jpgLib.h"
#include "jbgDQM.h"

int32_t lowLayerDecode(JbigContext *ctx);
int32_t decodeNextLayer(JbigContext *ctx);
// Reads the header and the stripe table of a decoder whose stream is open
// for reading, and closes its file; false with the reason left. The header's
// YD goes to *announcedYD (may be null) before a NEWLEN changes it.
bool decReadStream(JbigContext *ctx, uint32_t *announcedYD);
// Releases a decoder: its rasters, the lock on its input, the context.
void decClose(JbigContext *ctx);
// Decodes layers upwards to `layer` (-1: the next one) into the handle's
// image; the layers' coded bytes, or -1.
int32_t decodeToLayer(JbigHandle handle, int32_t layer);
