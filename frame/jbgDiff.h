// Tables shared by the encoder and the decoder of the differential layers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Resolution reduction, entry n of the 4096 in byte n.
extern const uint8_t *const zjResReduceTable;
// Deterministic prediction, per phase: 0 or 1 predicted, 2 coded.
extern const uint8_t *const zjDpTable[4];
