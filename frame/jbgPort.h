// Compiler hints and bit helpers of the hot loops.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define ZJ_INLINE inline __attribute__((always_inline))
#define ZJ_LAMBDA_INLINE __attribute__((always_inline))
#define ZJ_NOINLINE __attribute__((noinline))
#define ZJ_LIKELY(x) __builtin_expect(!!(x), 1)
#define ZJ_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define ZJ_INLINE inline
#define ZJ_LAMBDA_INLINE
#define ZJ_NOINLINE
#define ZJ_LIKELY(x) (x)
#define ZJ_UNLIKELY(x) (x)
#endif

// Hides v's value from the optimiser, so that it is not merged with the
// arithmetic around it (no instruction is emitted).
template <class T>
ZJ_INLINE void opaque(T &v) {
#if defined(__GNUC__)
    __asm__("" : "+r"(v));
#else
    (void)v;
#endif
}

// Leading zero bits of a non-zero 32-bit value.
ZJ_INLINE uint32_t leadingZeros(uint32_t v) {
#if defined(__GNUC__)
    return static_cast<uint32_t>(__builtin_clz(v));
#else
    uint32_t n = 0;
    for (; !(v & 0x80000000u); v <<= 1) n++;
    return n;
#endif
}
