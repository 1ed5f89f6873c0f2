// Gate and compressor; see dynamics.h.
#include "dynamics.h"

#include <cmath>

namespace mixengine {

namespace {

inline float lin_to_db_floored(float env) noexcept {
    return 20.0f * std::log10(std::fmax(env, 1e-9f));
}
inline float db_to_gain(float db) noexcept { return std::pow(10.0f, db / 20.0f); }

// One compressor step: detector, static curve, smoothing. Returns the linear gain.
inline float comp_step(const CompParams& p, float a, float& env, float& gr, float& hold) noexcept {
    if (p.rms) {
        const float a2 = a * a;
        env = std::sqrt(std::fmax(a2 + p.det * (env * env - a2), 0.0f));
    } else {
        env = a > env ? a : a + p.det * (env - a);
    }
    const float target = comp_target_db(p, lin_to_db_floored(env));
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
    if (cfg.mode == "exp2") r = 2.0f;
    else if (cfg.mode == "exp3") r = 3.0f;
    else if (cfg.mode == "exp4") r = 4.0f;
    p.slope = r > 0.0f ? r - 1.0f : 0.0f;
    p.thr_db = cfg.thr;
    p.depth_db = -std::fabs(cfg.range);
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
        const float level = lin_to_db_floored(env);
        float target_db = 0.0f;
        if (level < p.thr_db)
            target_db = plain ? p.depth_db : std::fmax(p.slope * (level - p.thr_db), p.depth_db);
        const float t = db_to_gain(target_db);
        if (t >= gain) {
            hold = p.hold_samples;
            gain = t + p.att * (gain - t);
        } else if (hold > 0.0f) {
            hold -= 1.0f;
        } else {
            gain = t + p.rel * (gain - t);
        }
        buf[i] = x * gain;
        min_gain = std::fmin(min_gain, gain);
    }
    st.env = env;
    st.gain = gain;
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
    p.makeup = db_to_gain(cfg.mgain);
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
        return slope * k * k / (2.0f * w);
    }
    return d > 0.0f ? slope * d : 0.0f;
}

float comp_run(const CompParams& p, CompState& st, float* buf, std::size_t n) noexcept {
    if (!p.active) return 1.0f;
    float env = st.env, gr = st.gr_db, hold = st.hold;
    float min_gain = 1.0f;
    const float dry = 1.0f - p.mix, wet = p.mix * p.makeup;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = buf[i];
        const float g = comp_step(p, std::fabs(x), env, gr, hold);
        min_gain = std::fmin(min_gain, g);
        buf[i] = x * (dry + wet * g);
    }
    st.env = env;
    st.gr_db = gr;
    st.hold = hold;
    return min_gain;
}

float comp_run_linked(const CompParams& p, CompState& st, float* left, float* right,
                      std::size_t n) noexcept {
    if (!p.active) return 1.0f;
    float env = st.env, gr = st.gr_db, hold = st.hold;
    float min_gain = 1.0f;
    const float dry = 1.0f - p.mix, wet = p.mix * p.makeup;
    for (std::size_t i = 0; i < n; ++i) {
        const float a = std::fmax(std::fabs(left[i]), std::fabs(right[i]));
        const float g = comp_step(p, a, env, gr, hold);
        min_gain = std::fmin(min_gain, g);
        const float f = dry + wet * g;
        left[i] *= f;
        right[i] *= f;
    }
    st.env = env;
    st.gr_db = gr;
    st.hold = hold;
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
