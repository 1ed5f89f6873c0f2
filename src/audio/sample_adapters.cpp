#include "sample_adapters.h"

#include <algorithm>

namespace mixengine {

namespace {
inline float to_f32(int16_t s) noexcept {
    return i16_to_f32(s);
}
inline float to_f32(int32_t s) noexcept {
    return i32_to_f32(s);
}
inline float to_f32(float s) noexcept {
    return s;
}
}  // namespace

void block_to_f32(const InputBlock& block, std::size_t first, std::size_t count,
                  float* out) noexcept {
    std::visit(
        [&](auto span) {
            const auto* src = span.data() + first;
            for (std::size_t i = 0; i < count; ++i) out[i] = to_f32(src[i]);
        },
        block);
}

void f32_to_block(const float* in, std::size_t count, const OutputBlock& block) noexcept {
    std::visit(
        [&](auto span) {
            const std::size_t n = std::min(count, span.size());
            for (std::size_t i = 0; i < n; ++i) from_f32(in[i], span[i]);
            using Sample = typename decltype(span)::element_type;
            std::fill(span.begin() + static_cast<std::ptrdiff_t>(n), span.end(), Sample{0});
        },
        block);
}

std::size_t block_size(const InputBlock& block) noexcept {
    return std::visit([](auto span) { return span.size(); }, block);
}
std::size_t block_size(const OutputBlock& block) noexcept {
    return std::visit([](auto span) { return span.size(); }, block);
}

}  // namespace mixengine
