// Conversions between device samples and the engine's 32-bit floats. Integers map to [-1, 1) by
// their full scale (s / 2^15, s / 2^31). Going out, a float is scaled, truncated toward zero and
// saturated in the integer domain, without clamping to [-1, 1] first: 1.0 becomes the largest
// integer, and anything beyond full scale (or NaN, as 0) stays defined.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio_host.h"
#include "engine/numeric.h"

namespace mixengine {

inline float i16_to_f32(int16_t s) noexcept {
    return static_cast<float>(s) * 0x1p-15f;
}
inline float i32_to_f32(int32_t s) noexcept {
    return static_cast<float>(s) * 0x1p-31f;
}
inline int16_t f32_to_i16(float x) noexcept {
    return saturating_cast<int16_t>(x * 0x1p15f);
}
inline int32_t f32_to_i32(float x) noexcept {
    return saturating_cast<int32_t>(x * 0x1p31f);
}

// One engine float into a device sample of any of the three types.
inline void from_f32(float x, int16_t& s) noexcept {
    s = f32_to_i16(x);
}
inline void from_f32(float x, int32_t& s) noexcept {
    s = f32_to_i32(x);
}
inline void from_f32(float x, float& s) noexcept {
    s = x;
}

// Converts `count` samples of the block, starting at sample `first`, into out[0 .. count).
// The caller keeps first + count within the block.
void block_to_f32(const InputBlock& block, std::size_t first, std::size_t count,
                  float* out) noexcept;

// Writes in[0 .. count) into the first `count` samples of the block and zeroes the rest of it.
void f32_to_block(const float* in, std::size_t count, const OutputBlock& block) noexcept;

// Samples in a block, whatever its type.
std::size_t block_size(const InputBlock& block) noexcept;
std::size_t block_size(const OutputBlock& block) noexcept;

}  // namespace mixengine
