// Eight float lanes as one value, for the engine's loops that run eight channels side by side,
// and the one switch for run-time dispatch. Private to the engine.
//
// Functions marked MIXENGINE_SIMD_CLONES are compiled twice on x86-64 with GCC, for x86-64-v3
// (AVX2) and the baseline, and the loader picks one for the machine. Without 256-bit registers
// the compiler runs each lane operation as two 128-bit halves: lane for lane the same arithmetic.
// ThreadSanitizer builds take one version: the loader runs the picker before the sanitizer is
// set up, and the picker, instrumented, crashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

//
// Kernels compiled for x86-64-v4 alone (MIXENGINE_WIDE) run only where wide() says so: the
// sixteen-lane ones (Wide), since GCC lowers 64-byte vectors for narrower machines through
// memory, slower than two eight-lane passes, and those that pick lanes with BitSelect.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define MIXENGINE_SIMD_CLONES \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#define MIXENGINE_WIDE __attribute__((target("arch=x86-64-v4")))
#define MIXENGINE_HAS_WIDE 1
#else
#define MIXENGINE_SIMD_CLONES
#define MIXENGINE_HAS_WIDE 0
#endif

#pragma GCC diagnostic ignored "-Wpsabi"

// Lane values passed or returned by value must never cross a call: a version compiled for AVX2
// and a plain one pass them differently. Helpers that take or give them are always inlined, even
// in unoptimised builds.
#define MIXENGINE_LANE_INLINE __attribute__((always_inline)) inline

namespace mixengine::simd {

inline constexpr std::size_t kLanes = 8;
typedef float Lanes __attribute__((vector_size(4 * kLanes)));
typedef int32_t Mask __attribute__((vector_size(4 * kLanes)));

MIXENGINE_LANE_INLINE Lanes splat(float v) noexcept {
    return Lanes{} + v;
}
template <class V = Lanes>
MIXENGINE_LANE_INLINE V load(const float* p) noexcept {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
MIXENGINE_LANE_INLINE void store(float* p, V v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

typedef int32_t Order __attribute__((vector_size(4 * kLanes)));  // for MIXENGINE_MIX

inline constexpr std::size_t kWideLanes = 2 * kLanes;
typedef float Wide __attribute__((vector_size(4 * kWideLanes)));

// Whether this processor runs the kernels compiled for x86-64-v4 alone (the sixteen-lane ones
// among them); the loader picks the answer as it picks the clones.
#if MIXENGINE_HAS_WIDE
bool wide() noexcept;
#else
constexpr bool wide() noexcept {
    return false;
}
#endif

// Lanes of a then b, numbered 0 to 15, picked in the order given.
#if defined(__clang__)
#define MIXENGINE_MIX(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define MIXENGINE_MIX(a, b, ...) __builtin_shuffle(a, b, Order{__VA_ARGS__})
#endif

// Lane by lane a where m is set, else b, for kernels written once for either selector; m is a
// comparison's result (every bit of a lane set or none).
struct Select {
    static MIXENGINE_LANE_INLINE Lanes of(Mask m, Lanes a, Lanes b) noexcept { return m ? a : b; }
};
#if MIXENGINE_HAS_WIDE
// The same for MIXENGINE_WIDE functions alone. There GCC 12 turns `m ? a : b`, and a blend
// written out in bit operations, into vblendvps, three micro-operations on recent Intel cores;
// a mask hidden from its optimiser stays the bit operations, one vpternlogd. (The constraint
// needs eight lanes to fit one register, which only AVX gives.)
struct BitSelect {
    static MIXENGINE_LANE_INLINE Lanes of(Mask m, Lanes a, Lanes b) noexcept {
        asm("" : "+v"(m));
        return reinterpret_cast<Lanes>((reinterpret_cast<Mask>(a) & m) |
                                       (reinterpret_cast<Mask>(b) & ~m));
    }
};
#endif

// Row k of r becomes column k: three rounds of shuffles in registers.
MIXENGINE_LANE_INLINE void transpose(Lanes r[kLanes]) noexcept {
    Lanes t[kLanes], u[kLanes];
    for (std::size_t k = 0; k < kLanes; k += 2) {
        t[k] = MIXENGINE_MIX(r[k], r[k + 1], 0, 8, 1, 9, 4, 12, 5, 13);
        t[k + 1] = MIXENGINE_MIX(r[k], r[k + 1], 2, 10, 3, 11, 6, 14, 7, 15);
    }
    for (std::size_t k = 0; k < kLanes; k += 4) {
        u[k] = MIXENGINE_MIX(t[k], t[k + 2], 0, 1, 8, 9, 4, 5, 12, 13);
        u[k + 1] = MIXENGINE_MIX(t[k], t[k + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        u[k + 2] = MIXENGINE_MIX(t[k + 1], t[k + 3], 0, 1, 8, 9, 4, 5, 12, 13);
        u[k + 3] = MIXENGINE_MIX(t[k + 1], t[k + 3], 2, 3, 10, 11, 6, 7, 14, 15);
    }
    for (std::size_t k = 0; k < 4; ++k) {
        r[k] = MIXENGINE_MIX(u[k], u[k + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        r[k + 4] = MIXENGINE_MIX(u[k], u[k + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

// Frames at..at+n of eight channels into n interleaved frames of eight lanes, and back; frame i
// starts at frames + i * stride, so wider frames take eight channels at a time. A null channel
// reads as silence and is not written.
void interleave(const float* const* channels, std::size_t at, std::size_t n, float* frames,
                std::size_t stride = kLanes) noexcept;
void deinterleave(const float* frames, std::size_t at, std::size_t n, float* const* channels,
                  std::size_t stride = kLanes) noexcept;

// The largest magnitude in buf, 0 for none; a NaN sample is not a peak. Magnitudes are never
// negative zeros, so the order of comparison cannot change the result.
float peak(const float* buf, std::size_t n) noexcept;

}  // namespace mixengine::simd
