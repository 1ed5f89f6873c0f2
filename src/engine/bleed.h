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
#include <span>

#include "biquad.h"
#include "config.h"
#include "nlms.h"

namespace mixengine {

// Band corners after their limits: lo in [200, 18000], hi in [400, 20000] and below fs / 2.2.
struct BleedBand {
    double lo_hz = 0.0;
    double hi_hz = 0.0;
};
BleedBand bleed_band(const BleedCfg& cfg, double sample_rate) noexcept;

class BleedReducer;

// A cancelling strip's part in cancel_in_lanes: its reducer, its samples and its reference (left
// holding the band-filtered reference, as run leaves it).
struct CancelLane {
    BleedReducer* reducer = nullptr;
    float* buf = nullptr;
    float* ref = nullptr;
};

// Cancelling reducers side by side, the engine's fast path: their reference bands in SIMD lanes
// (see run_stages_in_lanes), and their adaptive filters sixteen to a value or a few at a time
// interleaved (see nlms_run). Each reducer does exactly what its own run would. `scratch` holds
// 2 * kBiquadLanes * n floats.
void cancel_in_lanes(std::span<const CancelLane> lanes, std::size_t n, float* scratch) noexcept;

class BleedReducer {
  public:
    explicit BleedReducer(double sample_rate);

    // An absent record configures the defaults (switched off). The learned weights are forgotten
    // only when the mode or the reference changes; filter states, history and duck state carry on.
    void configure(const std::optional<BleedCfg>& cfg);

    bool on() const noexcept { return cfg_.on; }
    bool cancels() const noexcept { return cfg_.on && cfg_.mode != "duck"; }
    const BleedCfg& cfg() const noexcept { return cfg_; }

    // Processes n strip samples in place against n reference samples. `ref` is scratch: it is
    // left holding the band-filtered reference.
    void run(float* buf, float* ref, std::size_t n) noexcept;

    const std::array<BiquadCoeffs, 4>& band() const noexcept { return band_; }
    const std::array<float, kBleedTaps>& weights() const noexcept { return nlms_.weights; }
    float duck_gain() const noexcept { return duck_gain_; }

  private:
    friend void cancel_in_lanes(std::span<const CancelLane>, std::size_t, float*) noexcept;
    NlmsJob cancel_job(float* buf, const float* ref) noexcept;
    void restart_bands() noexcept;
    void run_cancel(float* buf, float* ref, std::size_t n) noexcept;
    void run_duck(float* buf, float* ref, std::size_t n) noexcept;

    double sample_rate_;
    BleedCfg cfg_;
    std::array<BiquadCoeffs, 4> band_{};  // high-pass 1, high-pass 2, low-pass 1, low-pass 2
    std::array<BiquadState, 4> ref_state_{};
    std::array<BiquadState, 4> sig_state_{};
    NlmsFilter nlms_;
    float duck_env_ = 0.0f;
    float duck_gain_ = 1.0f;
    float duck_att_ = 0.0f;
    float duck_rel_ = 0.0f;
};

}  // namespace mixengine
