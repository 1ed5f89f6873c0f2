// The measuring half of automatic equalisation, for one target. The target's signal runs through
// 31 band-pass filters at the graphic equaliser's third-octave centres; every 100 ms window turns
// their mean power into band levels, which are smoothed over "speed_s" seconds and compared with
// the target curve. The correction answers the target's spectral balance, not its loudness: each
// band is judged against its neighbourhood and, more weakly, against the mean of the measured
// range, so a constant offset between measurement and curve cancels. Corrections move by at most
// 0.5 dB per window and are kept rounded to 0.1 dB; silent windows (below -55 dB overall) change
// nothing.
//
// Gain limits: the correction of a band lies in [-"max_cut", "max_boost"]. Limits that leave no
// such gain (a boost limit below the negative cut limit, a limit that is not a number, or a range
// that holds no finite gain) allow no correction at all: every band's correction returns to 0 dB
// at the usual 0.5 dB per window while the measurement goes on, so mending the limits resumes the
// correction without a new start-up wait.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/biquad.h"
#include "engine/config.h"

namespace mixengine {

inline constexpr std::size_t kAutoEqBands = 31;
using BandGains = std::array<float, kAutoEqBands>;

// The named target curves, each value rounded to 0.1 dB; an unknown name (the empty one included)
// gives the gentle treble roll-off.
BandGains auto_eq_named_curve(std::string_view name);

// The curve a target is corrected toward: its explicit list when not empty (missing entries are
// 0), otherwise its named curve.
BandGains auto_eq_target_curve(const AutoEqCfg& cfg);

// Whether [-max_cut, max_boost] holds a finite gain; when it does not, no correction is allowed.
bool auto_eq_limits_usable(const AutoEqCfg& cfg) noexcept;

// The gains the correction walks toward, from smoothed band levels (dB); nothing when no band
// centre lies in ["lo", "hi"]. A band outside that range, or whose deviation from the curve lies
// more than 30 dB below the range's mean deviation, wants 0. NaN marks a band whose gain cannot be
// computed (a curve or amount that is not finite): its correction stays where it is.
std::optional<BandGains> auto_eq_desired_gains(const BandGains& smoothed, const AutoEqCfg& cfg);

class BandAnalyzer {
  public:
    explicit BandAnalyzer(float sample_rate) noexcept;

    // Analyses n samples under `cfg`; returns whether any correction changed. Never allocates.
    bool feed(const float* samples, std::size_t n, const AutoEqCfg& cfg) noexcept;

    const BandGains& corrections() const noexcept { return correction_; }
    const BandGains& smoothed_db() const noexcept { return smoothed_; }
    // Seconds of non-silent signal analysed so far (whole windows).
    float elapsed_s() const noexcept { return static_cast<float>(windows_) * 0.1f; }
    std::size_t window_samples() const noexcept { return window_; }

  private:
    bool evaluate_window(const AutoEqCfg& cfg) noexcept;

    BiquadBank bank_{};       // one stage per band; the rest silent
    std::size_t window_ = 1;  // samples per 100 ms window
    std::size_t count_ = 0;   // samples summed in the current window
    // Counted in windows rather than summed in f32 seconds: forty additions of 0.1f fall just
    // short of 4, which would hold every correction back one window longer than intended.
    uint64_t windows_ = 0;
    BandGains smoothed_;
    BandGains correction_{};
};

}  // namespace mixengine
