#include "band_spectrum.h"

#include <cmath>
#include <new>
#include <numbers>

#include "engine/numeric.h"

namespace mixengine {

namespace {
constexpr uint32_t kNyquistBin = BandSpectrum::kSize / 2;
constexpr float kFloorLin = 0.0000001f;  // -140 dB
constexpr float kMaxFallDb = 3.0f;
constexpr float kInitialDb = -120.0f;
}  // namespace

std::array<BandBins, kRtaBands> rta_band_bins(float sample_rate) noexcept {
    std::array<BandBins, kRtaBands> bins;
    const float bin_hz = sample_rate * (1.0f / static_cast<float>(BandSpectrum::kSize));
    const float step = std::log(1000.0f) / static_cast<float>(kRtaBands);
    const float base = std::log(20.0f);
    for (std::size_t k = 0; k < kRtaBands; ++k) {
        const float f_lo = std::exp(static_cast<float>(k) * step + base);
        const float f_hi = std::exp(static_cast<float>(k + 1) * step + base);
        uint32_t lo = saturating_cast<uint32_t>(std::floor(f_lo / bin_hz));
        uint32_t hi = saturating_cast<uint32_t>(std::ceil(f_hi / bin_hz));
        if (hi > kNyquistBin) hi = kNyquistBin;
        if (hi < lo) hi = lo;
        // Indices past the Nyquist bin read the Nyquist bin itself.
        bins[k] = {lo < kNyquistBin ? lo : kNyquistBin, hi < kNyquistBin ? hi : kNyquistBin};
    }
    return bins;
}

float rta_smooth(float shown_db, float level_db) noexcept {
    // An overflowing transform shows as infinity once; falling 3 dB from there would hold the band
    // at infinity for good, since the levels are never reset.
    if (level_db > shown_db || !std::isfinite(shown_db)) return level_db;
    return shown_db - std::fmin(shown_db - level_db, kMaxFallDb);
}

BandSpectrum::BandSpectrum(float sample_rate)
    : fft_(Fft4096::create()), bins_(rta_band_bins(sample_rate)) {
    // A transform that could not be planned is the shortage of memory it stands for.
    if (!fft_) throw std::bad_alloc();
    for (std::size_t i = 0; i < kSize; ++i) {
        const double phase = 2.0 * std::numbers::pi * static_cast<double>(i) / kSize;
        window_[i] = static_cast<float>(0.5 - 0.5 * std::cos(phase));
        window_sum_ += window_[i];
    }
    shown_.fill(kInitialDb);
}

void BandSpectrum::push(const float* samples, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        history_[pos_] = samples[i];
        pos_ = pos_ + 1 == kSize ? 0 : pos_ + 1;
    }
}

const std::array<float, kRtaBands>& BandSpectrum::compute() noexcept {
    std::complex<float>* x = fft_->data();
    for (std::size_t i = 0; i < kSize; ++i) {
        x[i] = {history_[(pos_ + i) % kSize] * window_[i], 0.0f};
    }
    fft_->execute();

    for (std::size_t k = 0; k < kRtaBands; ++k) {
        float m = 0.0f;
        for (uint32_t j = bins_[k].lo; j <= bins_[k].hi; ++j) {
            m = std::fmax(m, std::hypot(x[j].real(), x[j].imag()));
        }
        const float level = 20.0f * std::log10(std::fmax(2.0f * m / window_sum_, kFloorLin));
        shown_[k] = rta_smooth(shown_[k], level);
        reported_[k] = std::round(shown_[k]) + 0.0f;  // never prints as -0.0
    }
    return reported_;
}

}  // namespace mixengine
