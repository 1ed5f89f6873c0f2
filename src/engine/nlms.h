// The adaptive filter of the bleed canceller: a 192-tap normalised LMS filter that learns the path
// from a (band-filtered) reference to a strip and subtracts its estimate. Private to the engine.
#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace mixengine {

inline constexpr std::size_t kBleedTaps = 192;

// One filter's memory. The window of the last 192 reference samples is kept twice over, so that
// it is always one contiguous run of memory whatever the write position.
struct NlmsFilter {
    alignas(64) std::array<float, kBleedTaps> weights{};
    alignas(64) std::array<float, 2 * kBleedTaps> window{};
    std::size_t index = 0;

    void forget_weights() noexcept { weights.fill(0.0f); }
    void forget_window() noexcept { window.fill(0.0f); }
};

// n samples of one strip: buf (in place) against its reference, with `amount` of the estimate
// taken away (0..1).
struct NlmsJob {
    NlmsFilter* filter = nullptr;
    float* buf = nullptr;
    const float* ref = nullptr;
    float amount = 1.0f;
};

// Runs every job over n samples. Over 16 samples or more, nine jobs or more (twelve under 32) run
// sixteen to a value, one job to a lane; the rest a few at a time interleaved, so that the
// processor overlaps their serial per-sample chains. Either way each job's arithmetic is, to the bit, that of
// running it alone.
// Weights that have left the float range start afresh from silence, with an empty window.
void nlms_run(std::span<const NlmsJob> jobs, std::size_t n) noexcept;

}  // namespace mixengine
