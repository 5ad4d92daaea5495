// Tables shared by the encoder and the decoder of the differential layers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Resolution reduction: entry n is bit 7 - (n mod 8) of byte n div 8.
extern const uint8_t *const resReduceTable;  // 512 bytes
// The same entries one byte each, for the reduction loop.
extern const uint8_t *const resReduceBits;  // 4096 bytes
// Deterministic prediction, per phase: 0 or 1 predicted, 2 coded.
extern const uint8_t *const dpTable[4];
