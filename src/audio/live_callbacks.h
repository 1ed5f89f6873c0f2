// The live engine's two real-time callbacks. The input callback only converts device samples and
// queues them; the output callback owns the console: per device block it applies pending updates,
// takes one block of queued input (trimming the queue so that input latency stays within four
// blocks, or playing silence when input is late), runs the engine and converts its output. Both
// count dropouts in the shared xruns counter. Neither locks, waits, allocates or prints; only the
// engine's apply_update may allocate, between blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio_host.h"
#include "engine/meters.h"
#include "engine/mix_engine.h"
#include "engine/spsc_ring.h"
#include "engine/update.h"

namespace mixengine {

using XrunCounter = std::atomic<uint64_t>;

class LiveInput {
  public:
    LiveInput(RingProducer<float> ring, std::shared_ptr<XrunCounter> xruns, uint16_t channels);

    // Queues the block's samples in order; when the queue cannot take the whole block, counts one
    // xrun, queues the whole frames that fit and drops the rest of the block.
    void operator()(const InputBlock& block) noexcept;

  private:
    RingProducer<float> ring_;
    std::shared_ptr<XrunCounter> xruns_;
    std::size_t channels_;
};

struct LiveOutputParts {
    std::unique_ptr<MixEngine> engine;
    RingConsumer<EngineUpdate> updates;
    RingConsumer<float> input;
    RingProducer<float> analyser;
    std::shared_ptr<Meters> meters;
    std::shared_ptr<XrunCounter> xruns;
    uint16_t in_channels = 0;
    uint16_t out_channels = 0;
};

class LiveOutput {
  public:
    // Frames computed per device block; a larger block gets silence after them.
    static constexpr std::size_t kMaxFrames = 16384;

    // Sizes both scratch buffers here, off the audio thread.
    explicit LiveOutput(LiveOutputParts parts);

    void operator()(const OutputBlock& block) noexcept;

    const MixEngine& engine() const noexcept { return *parts_.engine; }

  private:
    LiveOutputParts parts_;
    std::vector<float> in_scratch_;
    std::vector<float> out_scratch_;
};

}  // namespace mixengine
