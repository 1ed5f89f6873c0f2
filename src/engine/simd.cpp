// Interleaving eight channels: eight frames at a time as an 8x8 transpose in registers (three
// rounds of shuffles), the ragged end one sample at a time.
#include "simd.h"

namespace mixengine::simd {

namespace {

typedef int32_t Order __attribute__((vector_size(4 * kLanes)));

// Lanes of a then b, numbered 0 to 15, picked in the order given.
#if defined(__clang__)
#define MIXENGINE_MIX(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define MIXENGINE_MIX(a, b, ...) __builtin_shuffle(a, b, Order{__VA_ARGS__})
#endif

// Row k of r becomes column k.
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

}  // namespace

MIXENGINE_SIMD_CLONES
void interleave(const float* const* channels, std::size_t at, std::size_t n,
                float* frames) noexcept {
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        Lanes r[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l)
            r[l] = channels[l] ? load(channels[l] + at + i) : Lanes{};
        transpose(r);
        for (std::size_t k = 0; k < kLanes; ++k) store(frames + (i + k) * kLanes, r[k]);
    }
    for (; i < n; ++i)
        for (std::size_t l = 0; l < kLanes; ++l)
            frames[i * kLanes + l] = channels[l] ? channels[l][at + i] : 0.0f;
}

MIXENGINE_SIMD_CLONES
void deinterleave(const float* frames, std::size_t at, std::size_t n,
                  float* const* channels) noexcept {
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        Lanes r[kLanes];
        for (std::size_t k = 0; k < kLanes; ++k) r[k] = load(frames + (i + k) * kLanes);
        transpose(r);
        for (std::size_t l = 0; l < kLanes; ++l)
            if (channels[l]) store(channels[l] + at + i, r[l]);
    }
    for (; i < n; ++i)
        for (std::size_t l = 0; l < kLanes; ++l)
            if (channels[l]) channels[l][at + i] = frames[i * kLanes + l];
}

MIXENGINE_SIMD_CLONES
float peak(const float* buf, std::size_t n) noexcept {
    typedef int32_t Bits __attribute__((vector_size(4 * kLanes)));
    Lanes p{};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const Lanes a = reinterpret_cast<Lanes>(reinterpret_cast<Bits>(load(buf + i)) & 0x7fffffff);
        p = a > p ? a : p;
    }
    float q = 0.0f;
    for (std::size_t l = 0; l < kLanes; ++l) q = p[l] > q ? p[l] : q;
    for (; i < n; ++i) {
        const float a = __builtin_fabsf(buf[i]);
        q = a > q ? a : q;
    }
    return q;
}

}  // namespace mixengine::simd
