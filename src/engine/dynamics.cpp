// Gate and compressor; see dynamics.h.
#include "dynamics.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "dynamics_math.h"
#include "simd.h"

namespace mixengine {

namespace {

// The compressor's detector: the peak (instant attack) or RMS level, falling over 20 ms.
inline float comp_detect(const CompParams& p, float a, float env) noexcept {
    if (p.rms) {
        const float a2 = a * a;
        return std::sqrt(max_of(a2 + p.det * (env * env - a2), 0.0f));
    }
    return a > env ? a : a + p.det * (env - a);
}

// The gain smoothing of both processors: `value` moves towards `target` by the attack coefficient
// while `attacking` (which restarts the hold), then stays while the hold lasts, then moves by the
// release coefficient.
inline void follow(bool attacking, float target, float att, float rel, float hold_samples,
                   float& value, float& hold) noexcept {
    if (attacking) {
        hold = hold_samples;
        value = target + att * (value - target);
    } else if (hold > 0.0f) {
        hold -= 1.0f;
    } else {
        value = target + rel * (value - target);
    }
}

// The compressor's gain change falls to its target at the attack rate.
inline void comp_smooth(const CompParams& p, float target, float& gr, float& hold) noexcept {
    follow(target < gr, target, p.att, p.rel, p.hold_samples, gr, hold);
}

// One compressor step: detector, static curve, smoothing. Returns the linear gain.
inline float comp_step(const CompParams& p, float a, float& env, float& gr, float& hold) noexcept {
    env = comp_detect(p, a, env);
    // Clearly below the knee the curve is flat at 0 dB, so the logarithm can be skipped there.
    const float e = floored(env);
    const float target = !p.expander && e < p.quiet_lin ? 0.0f : comp_target_db(p, lin_to_db(e));
    comp_smooth(p, target, gr, hold);
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
        follow(t >= gain, t, p.att, p.rel, p.hold_samples, gain, hold);  // opens at the attack rate
        buf[i] = x * gain;
        min_gain = min_of(min_gain, gain);
    }
    store_gate_state(st, env, gain, hold);
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

// The conversions below run in steps, each over a stretch of values before the next begins. Done
// value by value in one loop, each value's chain of operations is some seventy cycles long, and
// the processor's window holds too few of them at once to keep its units busy; short chains
// side by side do (a third faster on Zen 5). The arithmetic and its order are the same.
constexpr std::size_t kStretch = 256;

// 20 log10(x) for a block of levels, x > 0. The logarithm is taken in double precision (exponent
// and a short atanh series on the mantissa, good to about 5e-11 since |t| < 0.172) and rounded to
// float, so it lands on log10f's result or next to it: within 1 ulp. Anything not finite and
// positive takes the library call. Plain arithmetic in loops, which the compiler vectorises.
MIXENGINE_SIMD_CLONES
void block_lin_to_db(const float* x, float* db, std::size_t n) noexcept {
    constexpr double kLog10_2 = 0.30102999566398119521;
    constexpr double kLog10_e2 = 0.86858896380650365530;  // 2 log10(e)
    constexpr uint32_t kHalfSqrt2 = 0x3f3504f4u;          // just above 1/sqrt 2 as a float
    double ts[kStretch], es[kStretch];
    for (std::size_t at = 0; at < n; at += kStretch) {
        const std::size_t m = std::min(kStretch, n - at);
        for (std::size_t i = 0; i < m; ++i) {
            // Taking the bits of 1/sqrt 2 from the level's moves a mantissa above sqrt 2 into
            // the next binade, so that the exponent field is e and the mantissa bits put back
            // give mf in [1/sqrt 2, sqrt 2).
            const uint32_t u = std::bit_cast<uint32_t>(x[at + i]) - kHalfSqrt2;
            const int32_t e = int32_t(u) >> 23;
            const float mf = std::bit_cast<float>((u & 0x7fffffu) + kHalfSqrt2);
            // t = (mf - 1) / (mf + 1) from a single-precision reciprocal and one Newton step,
            // which leaves a relative error near 2^-46: a double division costs more than all
            // the rest on some processors.
            const double md = double(mf), num = md - 1.0, den = md + 1.0;
            const double r = double(1.0f / (mf + 1.0f));
            const double t0 = num * r;
            ts[i] = t0 + r * (num - t0 * den);
            es[i] = double(e) * kLog10_2;
        }
        for (std::size_t i = 0; i < m; ++i) {
            const double t = ts[i], t2 = t * t;
            const double series =
                1.0 +
                t2 * (1.0 / 3 + t2 * (1.0 / 5 + t2 * (1.0 / 7 + t2 * (1.0 / 9 + t2 * (1.0 / 11)))));
            db[at + i] = 20.0f * float(es[i] + kLog10_e2 * t * series);
        }
    }
    // Checked in one vectorised sweep first, such levels being rare: positive normal floats are
    // exactly the bit patterns 0x00800000 to 0x7f7fffff.
    uint32_t odd = 0;
    for (std::size_t i = 0; i < n; ++i)
        odd |= std::bit_cast<uint32_t>(x[i]) - 0x00800000u > 0x7f7fffffu - 0x00800000u;
    if (odd)
        for (std::size_t i = 0; i < n; ++i)
            if (!(x[i] >= 1.17549435e-38f && x[i] <= 3.40282347e+38f)) db[i] = lin_to_db(x[i]);
}

// 10^(db / 20) for a block of gain changes (never positive), 0 dB exactly 1. The power is taken
// in double precision (2^k times a polynomial for e^f, good to about 1.1e-10) and rounded to float:
// within 1 ulp of powf. Below -6000 dB (where 2^k would leave the exponent range), or not
// finite, the library call replaces the result.
MIXENGINE_SIMD_CLONES
void block_db_to_gain(const float* db, float* gain, std::size_t n) noexcept {
    constexpr double kLog2_10 = 3.32192809488736234787;
    constexpr double kLn2 = 0.69314718055994530942;
    constexpr double kRound = 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to an integer
    // e^f = 1 + f + c2 f^2 + ... + c7 f^7 for |f| <= ln 2 / 2: a Chebyshev fit of (e^f - 1) / f,
    // a degree lower than the Taylor series for the same error.
    constexpr double kC[8] = {1.0,
                              1.0,
                              0.5000000047117757,
                              0.16666666718997508,
                              0.04166635289677516,
                              0.008333298483754886,
                              0.0013941108433972674,
                              0.0001989927395864936};
    double fs[kStretch], scales[kStretch], tails[kStretch];
    for (std::size_t at = 0; at < n; at += kStretch) {
        const std::size_t m = std::min(kStretch, n - at);
        for (std::size_t i = 0; i < m; ++i) {
            // db / 20 exactly as db_to_gain has it: the divider works beside the other units.
            const float v = db[at + i] / 20.0f;
            const double y = double(v) * kLog2_10;
            const double kr = y + kRound;  // k in its low bits
            const double k = kr - kRound;
            fs[i] = (y - k) * kLn2;  // |f| <= ln 2 / 2
            scales[i] = std::bit_cast<double>((std::bit_cast<uint64_t>(kr) + 1023u) << 52);
        }
        for (std::size_t i = 0; i < m; ++i) {
            const double f = fs[i];
            tails[i] = kC[4] + f * (kC[5] + f * (kC[6] + f * kC[7]));
        }
        for (std::size_t i = 0; i < m; ++i) {
            const double f = fs[i];
            const double p = 1.0 + f * (1.0 + f * (kC[2] + f * (kC[3] + f * tails[i])));
            gain[at + i] = float(p * scales[i]);  // 0 dB gives exactly 1
        }
    }
    uint32_t odd = 0;
    for (std::size_t i = 0; i < n; ++i) odd |= !(db[i] >= -6000.0f);
    if (odd)
        for (std::size_t i = 0; i < n; ++i)
            if (!(db[i] >= -6000.0f)) gain[i] = db_to_gain(db[i]);
}

namespace {

// The compressor over one block of detector inputs, in passes: the detector (a recursion, one
// sample after another), the levels in dB (a whole block at once), the gain smoothing (a
// recursion), the linear gains (a whole block). Per sample it is comp_step, except that the two
// transcendental functions come from block_lin_to_db and block_db_to_gain.
constexpr std::size_t kCompBlock = 256;
void comp_gains(const CompParams& p, float& env_io, float& gr_io, float& hold_io, const float* a,
                float* gain, std::size_t n) noexcept {
    float lvl[kCompBlock] = {}, db[kCompBlock] = {};
    float env = env_io, gr = gr_io, hold = hold_io;
    for (std::size_t i = 0; i < n; ++i) {
        env = comp_detect(p, a[i], env);
        lvl[i] = floored(env);
    }
    block_lin_to_db(lvl, db, n);
    for (std::size_t i = 0; i < n; ++i) {
        const float target = !p.expander && lvl[i] < p.quiet_lin ? 0.0f : comp_target_db(p, db[i]);
        comp_smooth(p, target, gr, hold);
        db[i] = gr;
    }
    block_db_to_gain(db, gain, n);
    env_io = env, gr_io = gr, hold_io = hold;
}

}  // namespace

namespace {

// The compressor's one loop, for a mono or a linked stereo signal: `level(i)` is what the detector
// hears of sample i, `scale(i, f)` multiplies sample i by f. The block form takes a block of gains
// at a time from comp_gains; the per-sample form one gain after another from comp_step.
template <bool kPerSample, class Level, class Scale>
float comp_loop(const CompParams& p, CompState& st, std::size_t n, Level level,
                Scale scale) noexcept {
    if (!p.active) return 1.0f;
    float env = st.env, gr = st.gr_db, hold = st.hold;
    float min_gain = 1.0f;
    const float dry = 1.0f - p.mix, wet = p.mix * p.makeup;
    if constexpr (kPerSample) {
        for (std::size_t i = 0; i < n; ++i) {
            const float g = comp_step(p, level(i), env, gr, hold);
            min_gain = min_of(min_gain, g);
            scale(i, dry + wet * g);
        }
    } else {
        float a[kCompBlock], g[kCompBlock];
        for (std::size_t at = 0; at < n; at += kCompBlock) {
            const std::size_t m = std::min(kCompBlock, n - at);
            for (std::size_t i = 0; i < m; ++i) a[i] = level(at + i);
            comp_gains(p, env, gr, hold, a, g, m);
            for (std::size_t i = 0; i < m; ++i) {
                min_gain = min_of(min_gain, g[i]);
                scale(at + i, dry + wet * g[i]);
            }
        }
    }
    store_comp_state(st, env, gr, hold);
    return min_gain;
}

template <bool kPerSample>
float comp_mono(const CompParams& p, CompState& st, float* buf, std::size_t n) noexcept {
    return comp_loop<kPerSample>(
        p, st, n, [buf](std::size_t i) { return std::fabs(buf[i]); },
        [buf](std::size_t i, float f) { buf[i] = buf[i] * f; });
}

template <bool kPerSample>
float comp_linked(const CompParams& p, CompState& st, float* left, float* right,
                  std::size_t n) noexcept {
    return comp_loop<kPerSample>(
        p, st, n,
        [left, right](std::size_t i) {
            const float al = std::fabs(left[i]), ar = std::fabs(right[i]);
            return ar > al ? ar : al;
        },
        [left, right](std::size_t i, float f) {
            left[i] *= f;
            right[i] *= f;
        });
}

}  // namespace

float comp_run(const CompParams& p, CompState& st, float* buf, std::size_t n) noexcept {
    return comp_mono<false>(p, st, buf, n);
}

float comp_run_linked(const CompParams& p, CompState& st, float* left, float* right,
                      std::size_t n) noexcept {
    return comp_linked<false>(p, st, left, right, n);
}

float comp_run_per_sample(const CompParams& p, CompState& st, float* buf, std::size_t n) noexcept {
    return comp_mono<true>(p, st, buf, n);
}

float comp_run_linked_per_sample(const CompParams& p, CompState& st, float* left, float* right,
                                std::size_t n) noexcept {
    return comp_linked<true>(p, st, left, right, n);
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
