// The spectrum analysis thread: every 40 ms it reads and resets the meters, turns loudness blocks
// into momentary, short-term and integrated loudness and prints the "m" line; at most every
// 100 ms it prints the 96-band "rta" spectrum of the analyser source.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "control/shared_state.h"
#include "engine/meters.h"
#include "engine/spsc_ring.h"

namespace mixengine {

struct SpectrumThreadInputs {
    std::shared_ptr<Meters> meters;
    RingConsumer<float> analyser;                 // capacity 48000
    std::shared_ptr<ControlState> state;          // analyser name, loudness reset, stop flag
    std::shared_ptr<std::atomic<uint64_t>> xruns; // reported as is
    std::size_t output_count = 0;
    float rate = 48000.0f;
};

// Starts the detached thread.
void start_spectrum_thread(SpectrumThreadInputs inputs);

}  // namespace mixengine
