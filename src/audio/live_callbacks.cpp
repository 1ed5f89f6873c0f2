#include "live_callbacks.h"

#include <algorithm>
#include <array>

#include "engine/denormals.h"
#include "sample_adapters.h"

namespace mixengine {

namespace {

constexpr std::size_t kInputChunk = 512;

}  // namespace

LiveInput::LiveInput(RingProducer<float> ring, std::shared_ptr<XrunCounter> xruns,
                     uint16_t channels)
    : ring_(std::move(ring)),
      xruns_(std::move(xruns)),
      channels_(std::max<uint16_t>(channels, 1)) {}

void LiveInput::operator()(const InputBlock& block) noexcept {
    const std::size_t n = block_size(block);
    std::size_t take = n;
    const std::size_t room = ring_.free_slots();
    if (room < n) {
        // Stopping mid-frame would shift every later frame by a few channels, and each strip
        // would hear its neighbour's input for the rest of the show.
        take = room - room % channels_;
        xruns_->fetch_add(1, std::memory_order_relaxed);
    }
    std::array<float, kInputChunk> converted;
    for (std::size_t first = 0; first < take; first += kInputChunk) {
        const std::size_t m = std::min(kInputChunk, take - first);
        block_to_f32(block, first, m, converted.data());
        ring_.push_some(converted.data(), m);  // the room only grows while we push
    }
}

LiveOutput::LiveOutput(LiveOutputParts parts)
    : parts_(std::move(parts)),
      in_scratch_(std::size_t{std::max<uint16_t>(parts_.in_channels, 1)} * kMaxFrames, 0.0f),
      out_scratch_(std::size_t{std::max<uint16_t>(parts_.out_channels, 1)} * kMaxFrames, 0.0f) {}

void LiveOutput::operator()(const OutputBlock& block) noexcept {
    // The host's audio thread is not ours to configure at creation: keep denormals off for the
    // whole block, updates and conversions included.
    ScopedFlushDenormals denormals_off;

    EngineUpdate update;
    while (parts_.updates.pop(update)) parts_.engine->apply_update(std::move(update));

    const std::size_t count = block_size(block);
    const std::size_t out_ch = parts_.out_channels;
    const std::size_t in_ch = parts_.in_channels;
    if (out_ch == 0) {
        f32_to_block(nullptr, 0, block);
        return;
    }
    const std::size_t frames = std::min(count / out_ch, kMaxFrames);
    const std::size_t need = frames * in_ch;
    const bool have_input = parts_.input.valid();

    // Input runs on its own clock: whatever piled up beyond four blocks is old, so drop whole
    // frames from the front until at most four blocks remain.
    if (need > 0 && have_input) {
        const std::size_t queued = parts_.input.available();
        if (queued > 4 * need) {
            const std::size_t excess_frames = (queued - 4 * need + in_ch - 1) / in_ch;
            parts_.input.discard(excess_frames * in_ch);
        }
    }

    if (have_input && parts_.input.available() >= need) {
        parts_.input.pop_some(in_scratch_.data(), need);
    } else {
        // Late input: play this block on silence and keep what did arrive for the next one.
        parts_.xruns->fetch_add(1, std::memory_order_relaxed);
        std::fill_n(in_scratch_.begin(), need, 0.0f);
    }

    const std::size_t produced = frames * out_ch;
    parts_.engine->process(std::span<const float>(in_scratch_.data(), need), in_ch,
                           std::span<float>(out_scratch_.data(), produced), out_ch, *parts_.meters,
                           AnalyserSink::to_ring(parts_.analyser));
    f32_to_block(out_scratch_.data(), std::min(count, produced), block);
}

}  // namespace mixengine
