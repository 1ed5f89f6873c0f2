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

// The conversions below run in two steps, each over a stretch of values before the next begins:
// the division of each first, then the rest. Done value by value in one loop, the chains are too
// long for the processor's window to keep its units busy; the arithmetic is the same.
constexpr std::size_t kStretch = 256;

// 20 log10(x) for a block of levels, x > 0, in single precision with the care of a library
// logarithm: x = 2^k (1 + f) with 1 + f in [1/sqrt 2, sqrt 2), ln(1 + f) = f - f^2/2 + a small
// correction from the atanh series in s = f / (2 + f), and the products by the constants split so
// that their leading parts are exact. That keeps it within 2 ulps of 20 log10f(x), the rounding
// of the factor 20 included, with sixteen values to a vector where double precision had eight.
// Anything not finite and positive takes the library call.
MIXENGINE_SIMD_CLONES
void block_lin_to_db(const float* x, float* db, std::size_t n) noexcept {
    constexpr uint32_t kHalfSqrt2 = 0x3f3504f4u;  // just above 1/sqrt 2 as a float
    // A minimax fit of (ln(1 + s) - ln(1 - s)) / s - 2 in s^2, good to 2^-34.
    constexpr float kLg1 = 0.66666662693f, kLg2 = 0.40000972152f, kLg3 = 0.28498786688f,
                    kLg4 = 0.24279078841f;
    // 20 log10(2) to 16 bits and the rest, so that k times it is exact for any exponent k;
    // 20 / ln(10) to 12 bits and the rest, so that it times the 12-bit head of ln(1 + f) is.
    constexpr float kDbLn2Hi = 6.0205078125f, kDbLn2Lo = 9.2100781e-05f;
    constexpr float kDbHi = 8.68359375f, kDbLo = 2.2958880e-03f;
    constexpr uint32_t kHead = 0xfffff000u;  // the leading 12 bits of a float
    float fs[kStretch], ss[kStretch];
    for (std::size_t at = 0; at < n; at += kStretch) {
        const std::size_t m = std::min(kStretch, n - at);
        for (std::size_t i = 0; i < m; ++i) {
            // Taking the bits of 1/sqrt 2 from the level's moves a mantissa above sqrt 2 into
            // the next binade, so that the exponent field is k and the mantissa bits put back
            // give 1 + f in [1/sqrt 2, sqrt 2); f is then exact.
            const uint32_t u = std::bit_cast<uint32_t>(x[at + i]) - kHalfSqrt2;
            const float f = std::bit_cast<float>((u & 0x7fffffu) + kHalfSqrt2) - 1.0f;
            fs[i] = f;
            ss[i] = f / (2.0f + f);
        }
        for (std::size_t i = 0; i < m; ++i) {
            const uint32_t u = std::bit_cast<uint32_t>(x[at + i]) - kHalfSqrt2;
            const float k = float(int32_t(u) >> 23);
            const float f = fs[i], s = ss[i];
            const float z = s * s, w = z * z;
            const float r = z * (kLg1 + w * kLg3) + w * (kLg2 + w * kLg4);
            const float hfsq = 0.5f * f * f;
            const float hi = std::bit_cast<float>(std::bit_cast<uint32_t>(f - hfsq) & kHead);
            const float lo = ((f - hi) - hfsq) + s * (hfsq + r);  // ln(1 + f) = hi + lo
            db[at + i] = k * kDbLn2Lo + (lo + hi) * kDbLo + lo * kDbHi + hi * kDbHi + k * kDbLn2Hi;
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

// 10^(db / 20) for a block of gain changes (never positive), 0 dB exactly 1, in single
// precision: 2^y for y = (db / 20) log2(10) is 2^k times a polynomial for 2^f, |f| <= 1/2. The
// product y is where precision goes, since its rounding error grows with k: the quotient's
// 12-bit head times the 12-bit head of log2(10) is exact, and the smaller products are added to
// the fraction after k has been taken off. Within 1 ulp of powf. Beyond 750 dB either way (where
// 2^k would leave the exponent range), or not finite, the library call replaces the result.
MIXENGINE_SIMD_CLONES
void block_db_to_gain(const float* db, float* gain, std::size_t n) noexcept {
    constexpr float kRound = 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
    constexpr float kLog2_10Hi = 3.3212890625f, kLog2_10Lo = 6.3903236e-04f;
    constexpr uint32_t kHead = 0xfffff000u;
    // ln(2)^j / j!: the Taylor series of 2^f, whose first term left out is below 2^-27.
    constexpr float kC[8] = {1.0f,           0.69314718056f, 0.24022650695f, 0.05550410866f,
                             0.00961812911f, 0.00133335581f, 0.00015403530f, 0.00001525273f};
    float fs[kStretch];
    uint32_t scales[kStretch];
    for (std::size_t at = 0; at < n; at += kStretch) {
        const std::size_t m = std::min(kStretch, n - at);
        for (std::size_t i = 0; i < m; ++i) {
            const float v = db[at + i] / 20.0f;  // exactly as db_to_gain has it
            const float head = std::bit_cast<float>(std::bit_cast<uint32_t>(v) & kHead);
            const float y = head * kLog2_10Hi;
            const float kr = y + kRound;  // k in its low bits
            const float k = kr - kRound;
            fs[i] = (y - k) + ((v - head) * kLog2_10Hi + v * kLog2_10Lo);
            scales[i] = std::bit_cast<uint32_t>(kr) << 23;  // k added to an exponent
        }
        for (std::size_t i = 0; i < m; ++i) {
            const float f = fs[i];
            const float p =
                kC[0] +
                f * (kC[1] +
                     f * (kC[2] +
                          f * (kC[3] + f * (kC[4] + f * (kC[5] + f * (kC[6] + f * kC[7]))))));
            gain[at + i] = std::bit_cast<float>(std::bit_cast<uint32_t>(p) + scales[i]);
        }
    }
    uint32_t odd = 0;
    for (std::size_t i = 0; i < n; ++i) odd |= !(std::fabs(db[i]) <= 750.0f);
    if (odd)
        for (std::size_t i = 0; i < n; ++i)
            if (!(std::fabs(db[i]) <= 750.0f)) gain[i] = db_to_gain(db[i]);
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
