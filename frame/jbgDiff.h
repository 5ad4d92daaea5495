// Tables shared by the encoder and the decoder of the differential layers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Resolution reduction, entry n of the 4096 in byte n.
extern const uint8_t *const zjResReduceTable;
// Deterministic prediction, per phase: 0 or 1 predicted, 2 coded.
extern const uint8_t *const zjDpTable[4];

// The tables as a stream carries them after DPPRIV: the four phases one
// after another, two bits an entry, four entries a byte, the first in the
// high bits. Unpacked, 6912 entries of 0, 1 or 2, the phases one after
// another (256, 512, 2048, 4096) as zjDpTable indexes them.
constexpr uint32_t kDpPackedBytes = 1728, kDpEntries = 6912;
constexpr uint32_t kDpPhaseStart[4] = {0, 256, 768, 2816};
void dpTablePack(const uint8_t *const tables[4], uint8_t *packed);
void dpTableUnpack(const uint8_t *packed, uint8_t *tables);
