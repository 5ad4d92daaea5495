// The probability estimation table of the QM coder, folded with the MPS
// value: state s = 2 * ST + MPS, and the next state after an MPS or LPS
// already carries the MPS switch.
//
// The decoder holds a context's state as one word,
//
//   bit 31 ........ 24 23 ........ 16 15 ................ 0
//      [     MPS      ][ s = 2ST+MPS ][        Qe         ]
//
// so that its common decision is a load, one subtraction of the low half
// and the top byte as the pixel. The encoder, which knows the pixel before
// it codes it, keeps two 16-bit entries a context instead (see
// kQmEncPairs).
#pragma once

#include <array>
#include <cstdint>

struct QmTransition {
    uint16_t qe;
    uint8_t nmps;  // next state after coding the MPS
    uint8_t nlps;  // next state after coding the LPS
};

struct QmRow {
    uint16_t qe;
    uint8_t nlps, nmps, sw;
};

// ST: Qe, NLPS, NMPS, SWITCH, as the standard gives them.
inline constexpr QmRow kQmRows[113] = {
    {0x5a1d, 1, 1, 1},    {0x2586, 14, 2, 0},   {0x1114, 16, 3, 0},   {0x080b, 18, 4, 0},   {0x03d8, 20, 5, 0},
    {0x01da, 23, 6, 0},   {0x00e5, 25, 7, 0},   {0x006f, 28, 8, 0},   {0x0036, 30, 9, 0},   {0x001a, 33, 10, 0},
    {0x000d, 35, 11, 0},  {0x0006, 9, 12, 0},   {0x0003, 10, 13, 0},  {0x0001, 12, 13, 0},  {0x5a7f, 15, 15, 1},
    {0x3f25, 36, 16, 0},  {0x2cf2, 38, 17, 0},  {0x207c, 39, 18, 0},  {0x17b9, 40, 19, 0},  {0x1182, 42, 20, 0},
    {0x0cef, 43, 21, 0},  {0x09a1, 45, 22, 0},  {0x072f, 46, 23, 0},  {0x055c, 48, 24, 0},  {0x0406, 49, 25, 0},
    {0x0303, 51, 26, 0},  {0x0240, 52, 27, 0},  {0x01b1, 54, 28, 0},  {0x0144, 56, 29, 0},  {0x00f5, 57, 30, 0},
    {0x00b7, 59, 31, 0},  {0x008a, 60, 32, 0},  {0x0068, 62, 33, 0},  {0x004e, 63, 34, 0},  {0x003b, 32, 35, 0},
    {0x002c, 33, 9, 0},   {0x5ae1, 37, 37, 1},  {0x484c, 64, 38, 0},  {0x3a0d, 65, 39, 0},  {0x2ef1, 67, 40, 0},
    {0x261f, 68, 41, 0},  {0x1f33, 69, 42, 0},  {0x19a8, 70, 43, 0},  {0x1518, 72, 44, 0},  {0x1177, 73, 45, 0},
    {0x0e74, 74, 46, 0},  {0x0bfb, 75, 47, 0},  {0x09f8, 77, 48, 0},  {0x0861, 78, 49, 0},  {0x0706, 79, 50, 0},
    {0x05cd, 48, 51, 0},  {0x04de, 50, 52, 0},  {0x040f, 50, 53, 0},  {0x0363, 51, 54, 0},  {0x02d4, 52, 55, 0},
    {0x025c, 53, 56, 0},  {0x01f8, 54, 57, 0},  {0x01a4, 55, 58, 0},  {0x0160, 56, 59, 0},  {0x0125, 57, 60, 0},
    {0x00f6, 58, 61, 0},  {0x00cb, 59, 62, 0},  {0x00ab, 61, 63, 0},  {0x008f, 61, 32, 0},  {0x5b12, 65, 65, 1},
    {0x4d04, 80, 66, 0},  {0x412c, 81, 67, 0},  {0x37d8, 82, 68, 0},  {0x2fe8, 83, 69, 0},  {0x293c, 84, 70, 0},
    {0x2379, 86, 71, 0},  {0x1edf, 87, 72, 0},  {0x1aa9, 87, 73, 0},  {0x174e, 72, 74, 0},  {0x1424, 72, 75, 0},
    {0x119c, 74, 76, 0},  {0x0f6b, 74, 77, 0},  {0x0d51, 75, 78, 0},  {0x0bb6, 77, 79, 0},  {0x0a40, 77, 48, 0},
    {0x5832, 80, 81, 1},  {0x4d1c, 88, 82, 0},  {0x438e, 89, 83, 0},  {0x3bdd, 90, 84, 0},  {0x34ee, 91, 85, 0},
    {0x2eae, 92, 86, 0},  {0x299a, 93, 87, 0},  {0x2516, 86, 71, 0},  {0x5570, 88, 89, 1},  {0x4ca9, 95, 90, 0},
    {0x44d9, 96, 91, 0},  {0x3e22, 97, 92, 0},  {0x3824, 99, 93, 0},  {0x32b4, 99, 94, 0},  {0x2e17, 93, 86, 0},
    {0x56a8, 95, 96, 1},  {0x4f46, 101, 97, 0}, {0x47e5, 102, 98, 0}, {0x41cf, 103, 99, 0}, {0x3c3d, 104, 100, 0},
    {0x375e, 99, 93, 0},  {0x5231, 105, 102, 0}, {0x4c0f, 106, 103, 0}, {0x4639, 107, 104, 0}, {0x415e, 103, 99, 0},
    {0x5627, 105, 106, 1}, {0x50e7, 108, 107, 0}, {0x4b85, 109, 103, 0}, {0x5597, 110, 109, 0}, {0x504f, 111, 107, 0},
    {0x5a10, 110, 111, 1}, {0x5522, 112, 109, 0}, {0x59eb, 112, 111, 1},
};

constexpr std::array<QmTransition, 226> qmFold() {
    std::array<QmTransition, 226> t{};
    for (int st = 0; st < 113; st++) {
        for (int mps = 0; mps < 2; mps++) {
            const QmRow &r = kQmRows[st];
            int lpsMps = r.sw ? 1 - mps : mps;
            t[2 * st + mps] = QmTransition{r.qe, static_cast<uint8_t>(2 * r.nmps + mps),
                                           static_cast<uint8_t>(2 * r.nlps + lpsMps)};
        }
    }
    return t;
}

inline constexpr std::array<QmTransition, 226> kQmTable = qmFold();

// The decoder's context word of state s, and the words after an MPS and an
// LPS.
constexpr uint32_t qmWord(uint32_t s) { return uint32_t(kQmTable[s].qe) | s << 16 | (s & 1u) << 24; }
// The word after state s and an MPS at 2s, after an LPS at 2s + 1, for a
// choice without a branch.
constexpr std::array<uint32_t, 452> qmNextPairs() {
    std::array<uint32_t, 452> t{};
    for (uint32_t s = 0; s < 226; s++) {
        t[2 * s] = qmWord(kQmTable[s].nmps);
        t[2 * s + 1] = qmWord(kQmTable[s].nlps);
    }
    return t;
}
inline constexpr std::array<uint32_t, 452> kQmAfter = qmNextPairs();
// The same, by the word's high half h = s | MPS << 8: after an MPS at 2h,
// after an LPS at 2h + 1.
constexpr std::array<uint32_t, 1024> qmNextByHigh() {
    std::array<uint32_t, 1024> t{};
    for (uint32_t s = 0; s < 226; s++) {
        const uint32_t h = qmWord(s) >> 16;
        t[2 * h] = qmWord(kQmTable[s].nmps);
        t[2 * h + 1] = qmWord(kQmTable[s].nlps);
    }
    return t;
}
inline constexpr std::array<uint32_t, 1024> kQmAfterBy = qmNextByHigh();
// Every context starts in state 0: ST 0, MPS 0.
constexpr uint32_t kQmStart = qmWord(0);

// The encoder's entries: context cx in state s has entry 2cx + v for the
// pixel value v,
//
//   v == MPS:  Qe                 (below 0x8000)
//   v != MPS:  0xFF00 | s
//
// With the interval kept as D = A - 0x8000, D minus the entry of the pixel
// is negative exactly when the decision is not the MPS without
// renormalisation: one subtraction and a sign. Both entries of a context
// change together, as one pair.
struct QmEncPair {
    uint16_t e[2];
};
constexpr QmEncPair qmEncPair(uint32_t s) {
    QmEncPair p{};
    p.e[s & 1u] = kQmTable[s].qe;
    p.e[(s & 1u) ^ 1u] = uint16_t(0xFF00u | s);
    return p;
}
struct QmEncNext {
    // The pair after coding the MPS, after the LPS, and the pair itself (an
    // MPS that needs no renormalisation): one load picks any of them.
    QmEncPair after[3];
    uint16_t qe;
    uint8_t qeShift;  // shifts that renormalise Qe
    uint8_t pad;      // a record of 16 bytes
};
constexpr uint8_t qmShiftOf(uint32_t qe) {
    uint8_t n = 0;
    for (; qe < 0x8000; qe <<= 1) n++;
    return n;
}
constexpr std::array<QmEncNext, 226> qmEncNext() {
    std::array<QmEncNext, 226> t{};
    for (uint32_t s = 0; s < 226; s++)
        t[s] = QmEncNext{{qmEncPair(kQmTable[s].nmps), qmEncPair(kQmTable[s].nlps), qmEncPair(s)}, kQmTable[s].qe,
                         qmShiftOf(kQmTable[s].qe), 0};
    return t;
}
inline constexpr std::array<QmEncNext, 226> kQmEncNext = qmEncNext();
inline constexpr QmEncPair kQmEncStart = qmEncPair(0);
