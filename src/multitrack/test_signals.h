// Synthetic practice material for a console without recordings: eight instruments (two voices
// with a syllable rhythm and breathing pauses, kick, snare, bass line, keys chord, plucked guitar,
// room noise) repeated across the inputs, each over a faint noise floor. The signals are pure
// functions of the absolute time t = frame / rate, except the noise, which comes from one 32-bit
// linear congruential generator drawn in a fixed order (frame by frame, channel by channel).
#pragma once

#include <cstddef>
#include <cstdint>

namespace mixengine {

// 32-bit LCG noise in [-1, 1): state = state * 1664525 + 1013904223, r = (state >> 9) / 2^22 - 1.
class LcgNoise {
  public:
    float draw() noexcept {
        state_ = state_ * 1664525u + 1013904223u;
        return static_cast<float>(state_ >> 9) / 4194304.0f - 1.0f;
    }
    uint32_t state() const noexcept { return state_; }

  private:
    uint32_t state_ = 1;
};

// The noise-free part of instrument c (0..7) of input `channel` at time t seconds. The channel
// index only shifts the voices' syllable rhythm.
double test_instrument(unsigned c, std::size_t channel, double t) noexcept;

class TestSignals {
  public:
    explicit TestSignals(float sample_rate) noexcept : rate_(sample_rate) {}

    // Fills `frames` interleaved frames of `channels` inputs and advances the test time.
    void fill(float* block, std::size_t channels, std::size_t frames) noexcept;

    uint64_t time_frames() const noexcept { return time_; }

  private:
    float rate_;
    uint64_t time_ = 0;
    LcgNoise noise_;
};

}  // namespace mixengine
