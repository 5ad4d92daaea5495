// Test hooks of the stand-in platform layer: count the blocks and bytes the
// library holds, and make the k-th allocation or the k-th file write fail.
// Not available when building against the real Win32 services.
#pragma once

#include <stddef.h>

extern "C" {
// The k-th allocation (GlobalAlloc, LocalAlloc, HeapAlloc, HeapReAlloc,
// counting from the call) fails; 0 disarms.
void zjFailAllocAt(long k);
// The k-th WriteFile from the call fails with nothing written; 0 disarms.
void zjFailWriteAt(long k);
// Allocations and writes seen since the process started.
long zjAllocCount(void);
long zjWriteCount(void);
// Blocks and bytes currently allocated through the stand-ins, and the peak
// of bytes since the last zjResetPeak.
long zjLiveBlocks(void);
size_t zjLiveBytes(void);
size_t zjPeakBytes(void);
void zjResetPeak(void);
}
