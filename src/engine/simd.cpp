// Interleaving eight channels: eight frames at a time as an 8x8 transpose in registers (three
// rounds of shuffles), the ragged end one sample at a time.
#include "simd.h"

namespace mixengine::simd {

namespace {

typedef int32_t Order __attribute__((vector_size(4 * kLanes)));

__attribute__((always_inline)) inline Lanes mix(Lanes a, Lanes b, Order o) noexcept {
    return __builtin_shuffle(a, b, o);
}

// Row k of r becomes column k.
__attribute__((always_inline)) inline void transpose(Lanes r[kLanes]) noexcept {
    constexpr Order lo = {0, 8, 1, 9, 4, 12, 5, 13}, hi = {2, 10, 3, 11, 6, 14, 7, 15};
    constexpr Order pair_lo = {0, 1, 8, 9, 4, 5, 12, 13}, pair_hi = {2, 3, 10, 11, 6, 7, 14, 15};
    constexpr Order half_lo = {0, 1, 2, 3, 8, 9, 10, 11}, half_hi = {4, 5, 6, 7, 12, 13, 14, 15};
    Lanes t[kLanes], u[kLanes];
    for (std::size_t k = 0; k < kLanes; k += 2) {
        t[k] = mix(r[k], r[k + 1], lo);
        t[k + 1] = mix(r[k], r[k + 1], hi);
    }
    for (std::size_t k = 0; k < kLanes; k += 4) {
        u[k] = mix(t[k], t[k + 2], pair_lo);
        u[k + 1] = mix(t[k], t[k + 2], pair_hi);
        u[k + 2] = mix(t[k + 1], t[k + 3], pair_lo);
        u[k + 3] = mix(t[k + 1], t[k + 3], pair_hi);
    }
    for (std::size_t k = 0; k < 4; ++k) {
        r[k] = mix(u[k], u[k + 4], half_lo);
        r[k + 4] = mix(u[k], u[k + 4], half_hi);
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
