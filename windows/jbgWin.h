// Packed DIB helpers shared by the bitmap sources and results.
#pragma once

#include "../frame/jpgLib.h"

uint32_t dibColorTableSize(const BITMAPINFOHEADER *header);
uint8_t *dibBits(void *dib);
HGLOBAL dibCreate(uint32_t width, uint32_t height, const uint8_t *colours);
int32_t imageToDib(HGLOBAL dib, const JbigImageInfo *info);
int32_t imageToDibBits(const JbigImageInfo *info, uint8_t *bits, const BITMAPINFO *header);
HBITMAP imageToBitmap(const JbigImageInfo *info);
// The decode step of the three results: the layers up to `layer` decoded,
// their bytes counted, the file closed, the layer's raster in *info; the
// context, or null when the handle or the decoding failed.
JbigContext *decodeForResult(JbigHandle handle, int32_t layer, JbigImageInfo *info);
