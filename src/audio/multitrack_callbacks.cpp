#include "multitrack_callbacks.h"

#include <algorithm>
#include <array>

#include "sample_adapters.h"

namespace mixengine {

namespace {

constexpr std::size_t kChunk = 512;

}  // namespace

RecordInput::RecordInput(RingProducer<float> ring, std::shared_ptr<SampleCounter> dropped)
    : ring_(std::move(ring)), dropped_(std::move(dropped)) {}

void RecordInput::operator()(const InputBlock& block) noexcept {
    const std::size_t n = block_size(block);
    if (ring_.free_slots() < n) {
        dropped_->fetch_add(n, std::memory_order_relaxed);
        return;
    }
    std::array<float, kChunk> converted;
    for (std::size_t first = 0; first < n; first += kChunk) {
        const std::size_t m = std::min(kChunk, n - first);
        block_to_f32(block, first, m, converted.data());
        ring_.push_some(converted.data(), m);  // the room only grows while we push
    }
}

PlayOutput::PlayOutput(RingConsumer<float> ring, std::shared_ptr<SampleCounter> played,
                       std::shared_ptr<std::atomic<bool>> paused, uint16_t outputs)
    : ring_(std::move(ring)),
      played_(std::move(played)),
      paused_(std::move(paused)),
      outputs_(std::max<uint16_t>(outputs, 1)) {}

void PlayOutput::operator()(const OutputBlock& block) noexcept {
    if (paused_->load(std::memory_order_relaxed)) {
        f32_to_block(nullptr, 0, block);
        return;
    }
    const std::size_t n = block_size(block);
    std::visit(
        [&](auto span) {
            std::array<float, kChunk> taken;
            for (std::size_t first = 0; first < n; first += kChunk) {
                const std::size_t m = std::min(kChunk, n - first);
                const std::size_t got = ring_.pop_some(taken.data(), m);
                std::fill(taken.begin() + static_cast<std::ptrdiff_t>(got),
                          taken.begin() + static_cast<std::ptrdiff_t>(m), 0.0f);
                for (std::size_t i = 0; i < m; ++i) from_f32(taken[i], span[first + i]);
            }
        },
        block);
    // One frame per slot whose index is a multiple of the channel count: a short last frame
    // still counts, as the device played it.
    played_->fetch_add((n + outputs_ - 1) / outputs_, std::memory_order_relaxed);
}

}  // namespace mixengine
