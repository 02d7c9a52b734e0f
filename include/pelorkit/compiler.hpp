// Compiler builtins behind small macros and functions that every supported
// compiler accepts: GCC and Clang use their builtins, MSVC its intrinsics,
// anything else a plain-C++ fallback (or nothing, for a hint). Plain C++ with
// no Python, so the kernels include it too.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

// A hint to fetch the cache line at `address` for reading soon.
#if defined(__GNUC__) || defined(__clang__)
#define PELORKIT_PREFETCH(address) __builtin_prefetch(address)
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#define PELORKIT_PREFETCH(address)                                                                 \
    _mm_prefetch(reinterpret_cast<const char *>(address), _MM_HINT_T0)
#elif defined(_MSC_VER) && defined(_M_ARM64)
#define PELORKIT_PREFETCH(address) __prefetch(address)
#else
#define PELORKIT_PREFETCH(address) static_cast<void>(address)
#endif

// An address in the calling function's stack frame, to tell how deep the
// stack has grown.
#if defined(__GNUC__) || defined(__clang__)
#define PELORKIT_FRAME_ADDRESS() __builtin_frame_address(0)
#elif defined(_MSC_VER)
#define PELORKIT_FRAME_ADDRESS() _AddressOfReturnAddress()
#endif

// Keeps a function out of line: a loop between two polls gets registers of
// its own this way, where clang would otherwise keep its pointers on the
// stack around the poll call and reload them for every element.
#if defined(_MSC_VER) && !defined(__clang__)
#define PELORKIT_NOINLINE __declspec(noinline)
#else
#define PELORKIT_NOINLINE __attribute__((noinline))
#endif

namespace pelorkit {

// The full 128-bit product of two 64-bit integers, as its two halves.
struct WideProduct {
    std::uint64_t low;
    std::uint64_t high;
};

inline WideProduct multiply_wide(std::uint64_t a, std::uint64_t b) {
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return {static_cast<std::uint64_t>(r), static_cast<std::uint64_t>(r >> 64)};
#elif defined(_MSC_VER) && defined(_M_X64)
    std::uint64_t high = 0;
    const std::uint64_t low = _umul128(a, b, &high);
    return {low, high};
#elif defined(_MSC_VER) && defined(_M_ARM64)
    return {a * b, __umulh(a, b)};
#else
    // Schoolbook multiplication on 32-bit halves.
    const std::uint64_t a_lo = a & 0xffffffffu, a_hi = a >> 32;
    const std::uint64_t b_lo = b & 0xffffffffu, b_hi = b >> 32;
    const std::uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo;
    const std::uint64_t lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
    const std::uint64_t cross = (lo_lo >> 32) + (hi_lo & 0xffffffffu) + lo_hi;
    return {(cross << 32) | (lo_lo & 0xffffffffu), hi_hi + (hi_lo >> 32) + (cross >> 32)};
#endif
}

} // namespace pelorkit
