// Test hooks of the stand-in platform layer: count the blocks and bytes the
// library holds, make the k-th allocation or the k-th file write fail, and
// make colour bitmaps. Not available when building against the real Win32
// services: tests that use them check ZELJBIG_HAVE_TESTHOOKS.
#pragma once

#if !defined(_WIN32)
#define ZELJBIG_HAVE_TESTHOOKS 1

#include <stddef.h>
#include <stdint.h>

#include "zeljbig.h"

extern "C" {
// The k-th allocation (GlobalAlloc, LocalAlloc, HeapAlloc, HeapReAlloc,
// counting from the call) fails; 0 disarms.
void zjFailAllocAt(long k);
// The k-th WriteFile from the call fails with nothing written; 0 disarms.
void zjFailWriteAt(long k);
// Allocations and writes seen since the process started.
long zjAllocCount(void);
long zjWriteCount(void);
// ReadFile calls since the process started: reading work made countable.
long zjReadCount(void);
// Blocks and bytes currently allocated through the stand-ins, and the peak
// of bytes since the last zjResetPeak.
long zjLiveBlocks(void);
size_t zjLiveBytes(void);
size_t zjPeakBytes(void);
void zjResetPeak(void);
// A screen-compatible (32 bits per pixel) bitmap from width * height pixels
// 0x00RRGGBB, top row first; DeleteObject releases it. Null on failure.
HBITMAP zjCreateColourBitmap(int width, int height, const uint32_t *rgb);
}
#endif
