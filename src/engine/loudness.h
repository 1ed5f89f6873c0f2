// BS.1770 loudness measurement inside the engine: K-weighting in double precision and the mean
// square of consecutive 100 ms blocks, published through Meters. Turning blocks into LUFS is the
// reader's job.
//
// The K-weighting is two second-order sections run per frame in direct form I: a high-shelf
// pre-filter (about +4 dB above 2 kHz, +0.7 dB at 1 kHz) and a 38 Hz high-pass. Blocks are
// floor(fs * 0.1) frames and are cut independently of chunk boundaries, so a block may end in
// the middle of a chunk and the rest of that chunk starts the next one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "meters.h"

namespace mixengine {

// Coefficients of both sections for one sample rate. The high-pass numerator is fixed at
// (1, -2, 1) and is not normalised.
struct KWeighting {
    double b0 = 0.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;  // pre-filter (shelf)
    double hp_a1 = 0.0, hp_a2 = 0.0;                          // high-pass
};

// Pure design function: the K-weighting at `sample_rate` Hz, in double precision.
KWeighting design_k_weighting(double sample_rate) noexcept;

// Frames in one 100 ms loudness block at `sample_rate` (0 for a rate that is not usable).
uint32_t loudness_block_frames(float sample_rate) noexcept;

class LoudnessMeter {
  public:
    explicit LoudnessMeter(float sample_rate);

    // Forgets everything: filter memories, the partial block and the coefficients.
    void reset() noexcept;

    // One chunk of the selected signal. `right` is null for single-channel sources, whose power
    // is counted once.
    void run(const float* left, const float* right, std::size_t frames, Meters& meters) noexcept;

  private:
    struct Channel {
        double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;  // pre-filter input and output memories
        double u1 = 0.0, u2 = 0.0, w1 = 0.0, w2 = 0.0;  // high-pass input and output memories
    };

    float sample_rate_;
    float designed_rate_ = 0.0f;  // rate the coefficients were computed for; 0 = not yet
    uint32_t block_frames_ = 0;
    KWeighting k_;
    std::array<Channel, 2> ch_{};
    double sum_ = 0.0;
    uint32_t count_ = 0;
};

}  // namespace mixengine
