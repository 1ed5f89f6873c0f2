#include "analysis/band_analyzer.h"

#include <cmath>
#include <limits>

#include "engine/numeric.h"

namespace mixengine {

namespace {

static_assert(kAutoEqBands <= kBankStages);
constexpr float kSilenceDb = -55.0f;
constexpr float kUnmeasuredDb = -100.0f;
constexpr float kMaxStepDb = 0.5f;

float level_db(float power, float count) noexcept {
    return 10.0f * std::log10(power / count + 1e-20f);
}

bool in_range(std::size_t band, const AutoEqCfg& cfg) noexcept {
    const double f = kGraphicCentresHz[band];
    return static_cast<double>(cfg.lo) <= f && f <= static_cast<double>(cfg.hi);
}

}  // namespace

BandGains auto_eq_named_curve(std::string_view name) {
    BandGains out{};
    for (std::size_t i = 0; i < kAutoEqBands; ++i) {
        const double f = kGraphicCentresHz[i];
        double v = 0.0;
        if (name == "flat") {
            v = 0.0;
        } else if (name == "warm") {
            if (i >= 6 && i <= 11) v = 2.0;
            if (i >= 21) v = -1.5 * std::log2(f / 2000.0);
        } else if (name == "vocal") {
            if (i <= 6) v = -3.0;
            if (i >= 11 && i <= 13) v = -1.0;
            if (i >= 21 && i <= 24) v = 1.5;
            if (i >= 27 && i <= 28) v = 1.0;
            if (i >= 18) v -= std::log2(f / 1000.0);
        } else if (name == "speech") {
            if (i <= 7) v = 3.0 * std::log2(f / 60.0) - 6.0;
            if (i >= 11 && i <= 14) v = -2.0;
            if (i >= 20 && i <= 23) v = 2.0;
            if (i >= 27) v = -2.0 * std::log2(f / 8000.0);
        } else if (name == "house") {
            v = 3.0 - 9.0 * std::log2(f / 50.0) / std::log2(320.0);
        } else if (name == "bright") {
            if (i >= 9 && i <= 13) v = -1.0;
            if (i >= 23 && i <= 27) v = 2.0;
        } else if (i >= 18) {
            v = -2.0 * std::log2(f / 1000.0);
        }
        out[i] = static_cast<float>(std::round(v * 10.0) / 10.0);
    }
    return out;
}

BandGains auto_eq_target_curve(const AutoEqCfg& cfg) {
    if (cfg.target.empty()) return auto_eq_named_curve(cfg.curve);
    BandGains out{};
    for (std::size_t i = 0; i < kAutoEqBands && i < cfg.target.size(); ++i) out[i] = cfg.target[i];
    return out;
}

bool auto_eq_limits_usable(const AutoEqCfg& cfg) noexcept {
    constexpr float inf = std::numeric_limits<float>::infinity();
    const float lo = -cfg.max_cut, hi = cfg.max_boost;
    // False for a NaN limit, for crossed limits and for the ranges [inf, inf] and [-inf, -inf].
    return lo <= hi && lo < inf && hi > -inf;
}

std::optional<BandGains> auto_eq_desired_gains(const BandGains& smoothed, const AutoEqCfg& cfg) {
    std::array<bool, kAutoEqBands> measured{};
    std::size_t in_count = 0;
    for (std::size_t i = 0; i < kAutoEqBands; ++i) {
        measured[i] = in_range(i, cfg);
        in_count += measured[i] ? 1 : 0;
    }
    if (in_count == 0) return std::nullopt;

    BandGains out{};
    if (!auto_eq_limits_usable(cfg)) return out;

    const BandGains curve = auto_eq_target_curve(cfg);
    BandGains dev{};
    float sum = 0.0f;
    for (std::size_t i = 0; i < kAutoEqBands; ++i) {
        dev[i] = smoothed[i] - curve[i];
        if (measured[i]) sum += dev[i];
    }
    const float mean = sum / static_cast<float>(in_count);

    for (std::size_t i = 0; i < kAutoEqBands; ++i) {
        // Deviations, not levels, are compared with the mean deviation, so that a curve given at
        // any offset judges "far below the rest" alike.
        if (!measured[i] || dev[i] < mean - 30.0f) continue;
        float local_sum = 0.0f;
        std::size_t local_count = 0;
        const std::size_t first = i >= 3 ? i - 3 : 0;
        for (std::size_t j = first; j <= i + 3 && j < kAutoEqBands; ++j) {
            if (!measured[j]) continue;
            local_sum += dev[j];
            ++local_count;
        }
        const float local = local_sum / static_cast<float>(local_count);
        const float raw = (dev[i] - local) + 0.3f * (local - mean);
        const float g = -cfg.amount * raw;
        // Limits are usable here, so the clamp's bounds are ordered; a NaN stays NaN.
        out[i] = std::isnan(g) ? g : clamp_lohi(g, -cfg.max_cut, cfg.max_boost);
    }
    return out;
}

BandAnalyzer::BandAnalyzer(float sample_rate) noexcept {
    window_ = saturating_cast<std::size_t>(std::floor(static_cast<double>(sample_rate) * 0.1));
    if (window_ == 0) window_ = 1;
    const double rate = sample_rate;
    bank_.coeffs.fill(BiquadCoeffs{0.0f, 0.0f, 0.0f, 0.0f, 0.0f});
    for (std::size_t i = 0; i < kAutoEqBands; ++i) {
        // Bands too close to the Nyquist frequency measure just below it instead.
        const double centre = kGraphicCentresHz[i];
        const double f = centre >= rate / 2.2 ? rate / 2.3 : centre;
        bank_.coeffs[i] = design_biquad("bp", f, 0.0, 4.32, rate);
    }
    smoothed_.fill(kUnmeasuredDb);
}

bool BandAnalyzer::feed(const float* samples, std::size_t n, const AutoEqCfg& cfg) noexcept {
    bool changed = false;
    while (n > 0) {
        const std::size_t take = n < window_ - count_ ? n : window_ - count_;
        run_bank(bank_, samples, take);
        samples += take;
        n -= take;
        count_ += take;
        if (count_ < window_) break;
        changed = evaluate_window(cfg) || changed;
        bank_.power.fill(0.0f);
        count_ = 0;
    }
    return changed;
}

bool BandAnalyzer::evaluate_window(const AutoEqCfg& cfg) noexcept {
    const auto count = static_cast<float>(count_);
    float total_power = 0.0f;
    for (std::size_t i = 0; i < kAutoEqBands; ++i) total_power += bank_.power[i];
    if (!std::isfinite(total_power)) {
        // A sample that was not finite (or a sum that overflowed) has spoilt this window and the
        // filters' memory: drop both, so that the next window measures afresh.
        bank_.states.fill(BiquadState{});
        return false;
    }
    if (level_db(total_power, count) < kSilenceDb) return false;

    const float alpha = std::fmin(0.1f / std::fmax(cfg.speed_s, 1.0f), 1.0f);
    for (std::size_t i = 0; i < kAutoEqBands; ++i) {
        const float level = level_db(bank_.power[i], count);
        if (smoothed_[i] < -99.0f)
            smoothed_[i] = level;
        else
            smoothed_[i] += alpha * (level - smoothed_[i]);
    }
    ++windows_;

    if (elapsed_s() < std::fmin(cfg.speed_s, 4.0f)) return false;
    const std::optional<BandGains> desired = auto_eq_desired_gains(smoothed_, cfg);
    if (!desired) return false;

    bool changed = false;
    for (std::size_t i = 0; i < kAutoEqBands; ++i) {
        const float g = (*desired)[i];
        if (std::isnan(g)) continue;
        const float cur = correction_[i];
        const float moved = cur + clamp_lohi(g - cur, -kMaxStepDb, kMaxStepDb);
        // Adding +0 turns a -0 left by rounding a small cut into 0, which prints as 0.0.
        const float stored = std::round(moved * 10.0f) / 10.0f + 0.0f;
        // Judged on the stored value: a step that rounds back to the same tenth installs nothing
        // new, so it is not reported as a change.
        if (std::fabs(stored - cur) > 0.01f) changed = true;
        correction_[i] = stored;
    }
    return changed;
}

}  // namespace mixengine
