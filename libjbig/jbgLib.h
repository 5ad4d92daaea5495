// What the stand-in's parts share.
#pragma once

#include <cstddef>
#include <cstdint>

// A field of a caller's record at the offset the interface gives it, LP64 or
// ILP32.
#define ZJ_OFFSET_IS(T, f, lp64, ilp32) static_assert(offsetof(T, f) == (sizeof(long) == 8 ? lp64 : ilp32), #f)

inline uint32_t getBE32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void putBE32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}
