// The analyser's 96-band spectrum: the latest 4096 samples of the analyser source, weighted by a
// periodic Hann window, transformed, and summarised as the largest bin magnitude in each of 96
// logarithmically spaced bands from 20 Hz to 20 kHz (32 per decade). Levels are dB relative to a
// full-scale sine (a full-scale sine centred on a bin reads 0 dB), floored at -140 dB. Displayed
// levels rise at once and fall by at most 3 dB per spectrum, and are reported in whole decibels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/fft4096.h"

namespace mixengine {

inline constexpr std::size_t kRtaBands = 96;

// Inclusive FFT bin range of one band, already limited to the bins that exist (0..2048).
struct BandBins {
    uint32_t lo = 0;
    uint32_t hi = 0;
};

// Pure: the bins of every band at `sample_rate` Hz. Neighbouring bands share their border bins;
// bands above the Nyquist frequency read the Nyquist bin alone.
std::array<BandBins, kRtaBands> rta_band_bins(float sample_rate) noexcept;

// Pure: the display smoothing of one band: rises at once, falls by at most 3 dB.
float rta_smooth(float shown_db, float level_db) noexcept;

class BandSpectrum {
  public:
    static constexpr std::size_t kSize = Fft4096::kSize;

    explicit BandSpectrum(float sample_rate);

    // Appends samples to the history of the latest 4096.
    void push(const float* samples, std::size_t n) noexcept;

    // Computes one spectrum from the history, updates the smoothed band levels and returns them
    // rounded to whole decibels, lowest band first.
    const std::array<float, kRtaBands>& compute() noexcept;

    float window_sum() const noexcept { return window_sum_; }

  private:
    std::unique_ptr<Fft4096> fft_;
    std::array<BandBins, kRtaBands> bins_;
    std::array<float, kSize> window_;
    float window_sum_ = 0.0f;
    std::array<float, kSize> history_{};
    std::size_t pos_ = 0;  // next write; always the oldest sample
    std::array<float, kRtaBands> shown_;
    std::array<float, kRtaBands> reported_{};
};

}  // namespace mixengine
