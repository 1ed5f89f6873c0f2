// The spectrum analysis thread: every 40 ms, once the mode has said it is ready, it reads and
// resets the meters, turns loudness blocks into momentary, short-term and integrated loudness and
// prints the "m" line; at most every 100 ms it prints the 96-band "rta" spectrum of the analyser
// source.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/band_spectrum.h"
#include "analysis/loudness_integrator.h"
#include "control/shared_state.h"
#include "engine/meters.h"
#include "engine/spsc_ring.h"

namespace mixengine {

struct SpectrumThreadInputs {
    std::shared_ptr<Meters> meters;
    RingConsumer<float> analyser;                  // capacity 48000
    std::shared_ptr<ControlState> state;           // analyser name, loudness reset, stop flag
    std::shared_ptr<std::atomic<uint64_t>> xruns;  // reported as is
    std::size_t output_count = 0;
    float rate = 48000.0f;
};

// Starts the detached thread.
void start_spectrum_thread(SpectrumThreadInputs inputs);

// What the thread does on each pass, apart from sleeping: it owns the thread's state, so a test
// can drive passes with a clock of its own.
class SpectrumAnalysis {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kSpectrumInterval = std::chrono::milliseconds(100);

    // `inputs.meters` and `inputs.state` must be set.
    SpectrumAnalysis(SpectrumThreadInputs inputs, Clock::time_point start);

    // Prints the "m" line, drains the analyser ring and, when a source is named and the last
    // spectrum is at least 100 ms old, prints the "rta" line.
    void pass(Clock::time_point now);

  private:
    void drain_analyser() noexcept;

    SpectrumThreadInputs in_;
    LoudnessIntegrator loudness_;
    BandSpectrum spectrum_;
    std::vector<float> scratch_;
    Clock::time_point last_spectrum_;
};

}  // namespace mixengine
