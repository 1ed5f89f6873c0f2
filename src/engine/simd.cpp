// Interleaving eight channels: eight frames at a time as an 8x8 transpose in registers, the
// ragged end one sample at a time; and the switch for the kernels compiled for x86-64-v4.
#include "simd.h"

namespace mixengine::simd {

#if MIXENGINE_HAS_WIDE
// GCC emits the picker of versioned functions only where they are called, so the versions stay
// private to this file behind one plain function.
namespace {
__attribute__((target("default"))) bool runs_wide() noexcept {
    return false;
}
MIXENGINE_WIDE bool runs_wide() noexcept {
    return true;
}
}  // namespace

bool wide() noexcept {
    return runs_wide();
}
#endif

MIXENGINE_SIMD_CLONES
void interleave(const float* const* channels, std::size_t at, std::size_t n, float* frames,
                std::size_t stride) noexcept {
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        Lanes r[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l)
            r[l] = channels[l] ? load(channels[l] + at + i) : Lanes{};
        transpose(r);
        for (std::size_t k = 0; k < kLanes; ++k) store(frames + (i + k) * stride, r[k]);
    }
    for (; i < n; ++i)
        for (std::size_t l = 0; l < kLanes; ++l)
            frames[i * stride + l] = channels[l] ? channels[l][at + i] : 0.0f;
}

MIXENGINE_SIMD_CLONES
void deinterleave(const float* frames, std::size_t at, std::size_t n, float* const* channels,
                  std::size_t stride) noexcept {
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        Lanes r[kLanes];
        for (std::size_t k = 0; k < kLanes; ++k) r[k] = load(frames + (i + k) * stride);
        transpose(r);
        for (std::size_t l = 0; l < kLanes; ++l)
            if (channels[l]) store(channels[l] + at + i, r[l]);
    }
    for (; i < n; ++i)
        for (std::size_t l = 0; l < kLanes; ++l)
            if (channels[l]) channels[l][at + i] = frames[i * stride + l];
}

namespace {
MIXENGINE_LANE_INLINE Lanes magnitude(const float* p) noexcept {
    typedef int32_t Bits __attribute__((vector_size(4 * kLanes)));
    return reinterpret_cast<Lanes>(reinterpret_cast<Bits>(load(p)) & 0x7fffffff);
}
}  // namespace

MIXENGINE_SIMD_CLONES
float peak(const float* buf, std::size_t n) noexcept {
    // Four running maxima, each a chain of comparisons a few cycles long, so that four overlap;
    // a NaN never enters one, so the order they are joined in cannot change the result.
    constexpr std::size_t kChains = 4;
    Lanes p[kChains] = {};
    std::size_t i = 0;
    for (; i + kChains * kLanes <= n; i += kChains * kLanes)
        for (std::size_t c = 0; c < kChains; ++c) {
            const Lanes a = magnitude(buf + i + c * kLanes);
            p[c] = a > p[c] ? a : p[c];
        }
    for (; i + kLanes <= n; i += kLanes) {
        const Lanes a = magnitude(buf + i);
        p[0] = a > p[0] ? a : p[0];
    }
    for (std::size_t c = 1; c < kChains; ++c) p[0] = p[c] > p[0] ? p[c] : p[0];
    float q = 0.0f;
    for (std::size_t l = 0; l < kLanes; ++l) q = p[0][l] > q ? p[0][l] : q;
    for (; i < n; ++i) {
        const float a = __builtin_fabsf(buf[i]);
        q = a > q ? a : q;
    }
    return q;
}

}  // namespace mixengine::simd
