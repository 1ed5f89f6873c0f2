// Gate and compressor; see dynamics.h.
#include "dynamics.h"

#include <cmath>

namespace mixengine {

namespace {

// Levels are floored at -180 dBFS before they become dB.
inline float floored(float env) noexcept {
    return env > 1e-9f ? env : 1e-9f;
}

// 20 log10(x) and 10^(db / 20) in single precision, exactly as the level curves are defined: a
// faster base-2 route drifts by tens of ulps and can flip a gate decision right at its threshold.
// No reduction (0 dB) is the common case and is exact without the library call.
inline float lin_to_db(float x) noexcept {
    return 20.0f * std::log10(x);
}
inline float db_to_gain(float db) noexcept {
    return db == 0.0f ? 1.0f : std::pow(10.0f, db / 20.0f);
}

// Linear level at a dB mark, nudged by `margin_db`. Comparing a level against such a bound only
// replaces the logarithm where the answer cannot depend on it: the margin covers the rounding of
// the single-precision dB arithmetic, which grows with the magnitude of the marks involved.
inline float level_at(double mark_db, double margin_db) noexcept {
    return static_cast<float>(std::pow(10.0, (mark_db + margin_db) / 20.0));
}
inline double rounding_margin_db(double magnitude_db) noexcept {
    return 1e-3 + 1e-6 * magnitude_db;
}

// Like fmin / fmax for a NaN in the second (min) or first (max) operand, without a library call.
inline float min_of(float a, float b) noexcept {
    return b < a ? b : a;
}
inline float max_of(float a, float b) noexcept {
    return a > b ? a : b;
}

// One compressor step: detector, static curve, smoothing. Returns the linear gain.
inline float comp_step(const CompParams& p, float a, float& env, float& gr, float& hold) noexcept {
    if (p.rms) {
        const float a2 = a * a;
        env = std::sqrt(max_of(a2 + p.det * (env * env - a2), 0.0f));
    } else {
        env = a > env ? a : a + p.det * (env - a);
    }
    // Clearly below the knee the curve is flat at 0 dB, so the logarithm can be skipped there.
    const float e = floored(env);
    const float target = !p.expander && e < p.quiet_lin ? 0.0f : comp_target_db(p, lin_to_db(e));
    if (target < gr) {
        hold = p.hold_samples;
        gr = target + p.att * (gr - target);
    } else if (hold > 0.0f) {
        hold -= 1.0f;
    } else {
        gr = target + p.rel * (gr - target);
    }
    return db_to_gain(gr);
}

}  // namespace

Ballistics ballistics(float attack_ms, float release_ms, float sample_rate) noexcept {
    return {std::exp(-1.0f / (std::fmax(attack_ms, 0.05f) * 0.001f * sample_rate)),
            std::exp(-1.0f / (std::fmax(release_ms, 5.0f) * 0.001f * sample_rate))};
}

GateParams gate_params(const GateCfg& cfg, float sample_rate) noexcept {
    GateParams p;
    p.active = cfg.mode != "duck";
    float r = 0.0f;
    if (cfg.mode == "exp2")
        r = 2.0f;
    else if (cfg.mode == "exp3")
        r = 3.0f;
    else if (cfg.mode == "exp4")
        r = 4.0f;
    p.slope = r > 0.0f ? r - 1.0f : 0.0f;
    p.thr_db = cfg.thr;
    const double margin = rounding_margin_db(std::fabs(double(cfg.thr)));
    p.open_lin = level_at(cfg.thr, margin);
    p.closed_lin = level_at(cfg.thr, -margin);
    p.depth_db = -std::fabs(cfg.range);
    p.depth_gain = db_to_gain(p.depth_db);
    p.hold_samples = cfg.hold * 0.001f * sample_rate;
    const Ballistics b = ballistics(cfg.attack, cfg.release, sample_rate);
    p.att = b.att;
    p.rel = b.rel;
    p.env_fall = std::exp(-1.0f / (0.01f * sample_rate));
    return p;
}

float gate_run(const GateParams& p, GateState& st, float* buf, std::size_t n) noexcept {
    if (!p.active) return 1.0f;
    float env = st.env, gain = st.gain, hold = st.hold;
    float min_gain = 1.0f;
    const bool plain = p.slope == 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = buf[i];
        const float a = std::fabs(x);
        env = a > env ? a : a + p.env_fall * (env - a);
        // Away from the threshold the linear bounds decide, so the plain gate rarely needs a
        // logarithm; near it the level in dB decides, as defined.
        const float e = floored(env);
        float t = 1.0f;
        if (!(e >= p.open_lin)) {
            const bool closed = e < p.closed_lin;
            const float level = closed && plain ? 0.0f : lin_to_db(e);
            if (closed || !(level >= p.thr_db)) {
                t = plain ? p.depth_gain
                          : db_to_gain(std::fmax(p.slope * (level - p.thr_db), p.depth_db));
            }
        }
        if (t >= gain) {
            hold = p.hold_samples;
            gain = t + p.att * (gain - t);
        } else if (hold > 0.0f) {
            hold -= 1.0f;
        } else {
            gain = t + p.rel * (gain - t);
        }
        buf[i] = x * gain;
        min_gain = min_of(min_gain, gain);
    }
    // A non-finite sample would leave the detector NaN for good; start it afresh instead.
    const bool sane = std::isfinite(env) && std::isfinite(gain);
    st.env = sane ? env : 0.0f;
    st.gain = sane ? gain : 1.0f;
    st.hold = hold;
    return min_gain;
}

void Gate::configure(const std::optional<GateCfg>& cfg) noexcept {
    if (cfg) {
        params_ = gate_params(*cfg, sample_rate_);
    } else {
        params_ = GateParams{};
        state_.gain = 1.0f;
    }
}

CompParams comp_params(const DynCfg& cfg, float sample_rate, float det) noexcept {
    CompParams p;
    p.active = true;
    p.expander = cfg.exp;
    p.rms = cfg.rms;
    p.thr_db = cfg.thr;
    p.ratio = std::fmax(cfg.ratio, 1.0f);
    p.knee_width_db = 2.0f * std::fmax(cfg.knee, 0.0f);
    const double knee_start = double(cfg.thr) - p.knee_width_db / 2.0;
    p.quiet_lin = level_at(
        knee_start, -rounding_margin_db(std::fabs(double(cfg.thr)) + double(p.knee_width_db)));
    p.makeup = db_to_gain(cfg.mgain);
    if (!std::isfinite(p.makeup)) p.makeup = 0.0f;  // an overflowing make-up mutes, never NaN
    p.mix = std::fmin(std::fmax(cfg.mix / 100.0f, 0.0f), 1.0f);
    p.hold_samples = cfg.hold * 0.001f * sample_rate;
    const Ballistics b = ballistics(cfg.attack, cfg.release, sample_rate);
    p.att = b.att;
    p.rel = b.rel;
    p.det = det;
    return p;
}

float comp_target_db(const CompParams& p, float level_db) noexcept {
    const float d = level_db - p.thr_db;
    if (p.expander) return d < 0.0f ? std::fmax((p.ratio - 1.0f) * d, -60.0f) : 0.0f;
    const float w = p.knee_width_db;
    const float slope = 1.0f / p.ratio - 1.0f;
    if (w > 0.0f && std::fabs(d) <= w / 2.0f) {
        const float k = d + w / 2.0f;
        return slope * (k * k) / (2.0f * w);  // the square first, as the curve is written
    }
    return d > 0.0f ? slope * d : 0.0f;
}

// A non-finite sample would leave the detector NaN for good; start it afresh instead.
inline void store_comp_state(CompState& st, float env, float gr, float hold) noexcept {
    const bool sane = std::isfinite(env) && std::isfinite(gr);
    st.env = sane ? env : 0.0f;
    st.gr_db = sane ? gr : 0.0f;
    st.hold = hold;
}

float comp_run(const CompParams& p, CompState& st, float* buf, std::size_t n) noexcept {
    if (!p.active) return 1.0f;
    float env = st.env, gr = st.gr_db, hold = st.hold;
    float min_gain = 1.0f;
    const float dry = 1.0f - p.mix, wet = p.mix * p.makeup;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = buf[i];
        const float g = comp_step(p, std::fabs(x), env, gr, hold);
        min_gain = min_of(min_gain, g);
        buf[i] = x * (dry + wet * g);
    }
    store_comp_state(st, env, gr, hold);
    return min_gain;
}

float comp_run_linked(const CompParams& p, CompState& st, float* left, float* right,
                      std::size_t n) noexcept {
    if (!p.active) return 1.0f;
    float env = st.env, gr = st.gr_db, hold = st.hold;
    float min_gain = 1.0f;
    const float dry = 1.0f - p.mix, wet = p.mix * p.makeup;
    for (std::size_t i = 0; i < n; ++i) {
        const float al = std::fabs(left[i]), ar = std::fabs(right[i]);
        const float a = ar > al ? ar : al;
        const float g = comp_step(p, a, env, gr, hold);
        min_gain = min_of(min_gain, g);
        const float f = dry + wet * g;
        left[i] *= f;
        right[i] *= f;
    }
    store_comp_state(st, env, gr, hold);
    return min_gain;
}

Compressor::Compressor(float sample_rate) noexcept
    : sample_rate_(sample_rate), det_(std::exp(-1.0f / (0.02f * sample_rate))) {}

void Compressor::configure(const std::optional<DynCfg>& cfg) noexcept {
    if (cfg) {
        params_ = comp_params(*cfg, sample_rate_, det_);
    } else {
        params_ = CompParams{};
        state_.gr_db = 0.0f;
    }
}

}  // namespace mixengine
