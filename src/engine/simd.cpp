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
