// Bleed reduction: lowers what leaks into a strip from another source, keyed by the raw input of
// a reference strip, inside one band (a 4th-order Butterworth high-pass followed by a 4th-order
// Butterworth low-pass). "cancel" estimates the leaked part with a 192-tap normalised LMS filter
// on the band-filtered reference and subtracts it; "duck" lowers the strip's band while the
// reference is loud in it (full depth 12 dB over the threshold). It runs on the raw input, before
// the input gain, so the learned path does not move when the fader or gain does.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "biquad.h"
#include "config.h"

namespace mixengine {

inline constexpr std::size_t kBleedTaps = 192;

// Band corners after their limits: lo in [200, 18000], hi in [400, 20000] and below fs / 2.2.
struct BleedBand {
    double lo_hz = 0.0;
    double hi_hz = 0.0;
};
BleedBand bleed_band(const BleedCfg& cfg, double sample_rate) noexcept;

class BleedReducer {
  public:
    explicit BleedReducer(double sample_rate);

    // An absent record configures the defaults (switched off). The learned weights are forgotten
    // only when the mode or the reference changes; filter states, history and duck state carry on.
    void configure(const std::optional<BleedCfg>& cfg);

    bool on() const noexcept { return cfg_.on; }
    const BleedCfg& cfg() const noexcept { return cfg_; }

    // Processes n strip samples in place against n reference samples. `ref` is scratch: it is
    // left holding the band-filtered reference.
    void run(float* buf, float* ref, std::size_t n) noexcept;

    const std::array<BiquadCoeffs, 4>& band() const noexcept { return band_; }
    const std::array<float, kBleedTaps>& weights() const noexcept { return weights_; }
    float duck_gain() const noexcept { return duck_gain_; }

  private:
    void run_cancel(float* buf, float* ref, std::size_t n) noexcept;
    void run_duck(float* buf, float* ref, std::size_t n) noexcept;

    double sample_rate_;
    BleedCfg cfg_;
    std::array<BiquadCoeffs, 4> band_{};  // high-pass 1, high-pass 2, low-pass 1, low-pass 2
    std::array<BiquadState, 4> ref_state_{};
    std::array<BiquadState, 4> sig_state_{};
    // The window of the last 192 filtered reference samples is kept twice over, so that it is
    // always one contiguous run of memory whatever the write position.
    alignas(64) std::array<float, kBleedTaps> weights_{};
    alignas(64) std::array<float, 2 * kBleedTaps> history_{};
    std::size_t index_ = 0;
    float duck_env_ = 0.0f;
    float duck_gain_ = 1.0f;
    float duck_att_ = 0.0f;
    float duck_rel_ = 0.0f;
};

}  // namespace mixengine
