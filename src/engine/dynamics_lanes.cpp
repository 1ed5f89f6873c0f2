// Gates and compressors of eight channels side by side; see dynamics.h. Every per-sample step is
// the scalar one written over vectors, with a select where the scalar code branches, and the
// engine is built without contraction, so each lane rounds exactly as gate_run and comp_run do.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dynamics.h"
#include "dynamics_math.h"
#include "simd.h"

namespace mixengine {

static_assert(kDynamicsLanes == simd::kLanes);

namespace {

using namespace simd;

// Frames per pass: the interleaved work arrays stay on the stack and in the first-level cache.
constexpr std::size_t kPiece = 128;

MIXENGINE_LANE_INLINE Lanes abs_of(Lanes v) noexcept {
    return reinterpret_cast<Lanes>(reinterpret_cast<Mask>(v) & 0x7fffffff);
}
MIXENGINE_LANE_INLINE bool any(Mask m) noexcept {
    for (std::size_t l = 0; l < kLanes; ++l)
        if (m[l]) return true;
    return false;
}

// Per lane the parameters of gate_run; an idle lane gets a gate that is always open, whose gain
// stays exactly 1.
struct GateVec {
    Lanes open, closed, thr, depth_gain, hold_samples, att, rel, fall;
    Mask plain;
    const GateParams* scalar[kLanes] = {};
};

struct GateRun {
    Lanes env, gain, hold, min_gain;
};

// The target gain where the linear bounds do not decide: the level in dB, as gate_run finds it.
inline float gate_target_in_db(const GateParams& p, float e) noexcept {
    const bool closed = e < p.closed_lin;
    const bool plain = p.slope == 0.0f;
    const float level = lin_to_db(e);
    if (closed || !(level >= p.thr_db))
        return plain ? p.depth_gain
                     : db_to_gain(std::fmax(p.slope * (level - p.thr_db), p.depth_db));
    return 1.0f;
}

MIXENGINE_SIMD_CLONES
void gate_piece(const GateVec& p, GateRun& r, float* x, std::size_t m) noexcept {
    Lanes env = r.env, gain = r.gain, hold = r.hold, min_gain = r.min_gain;
    const Lanes one = splat(1.0f), floor = splat(1e-9f), zero = splat(0.0f);
    for (std::size_t i = 0; i < m; ++i) {
        const Lanes xv = load(x + i * kLanes);
        const Lanes a = abs_of(xv);
        env = a > env ? a : a + p.fall * (env - a);
        const Lanes e = env > floor ? env : floor;
        const Mask open = e >= p.open;
        const Mask closed = e < p.closed;
        Lanes t = open ? one : p.depth_gain;
        const Mask in_db = ~open & ~(closed & p.plain);
        if (any(in_db)) {
            for (std::size_t l = 0; l < kLanes; ++l)
                if (in_db[l]) t[l] = gate_target_in_db(*p.scalar[l], e[l]);
        }
        const Mask up = t >= gain;
        const Mask held = ~up & (hold > zero);
        const Lanes rise = t + p.att * (gain - t), fall = t + p.rel * (gain - t);
        gain = up ? rise : (held ? gain : fall);
        hold = up ? p.hold_samples : (held ? hold - one : hold);
        store(x + i * kLanes, xv * gain);
        min_gain = gain < min_gain ? gain : min_gain;
    }
    r = GateRun{env, gain, hold, min_gain};
}

// Per lane the parameters of comp_run; an idle lane gets a compressor that never leaves 0 dB.
struct CompVec {
    Lanes det, quiet, thr, ratio_less_1, slope, knee, hold_samples, att, rel, dry, wet;
    Mask expander;
};

struct CompRun {
    Lanes env, gr, hold, min_gain;
};

// The detector of every lane as the peak detector; RMS lanes are redone one by one afterwards.
MIXENGINE_SIMD_CLONES
void comp_detect(const CompVec& p, Lanes& env_io, const float* x, float* lvl,
                 std::size_t m) noexcept {
    Lanes env = env_io;
    const Lanes floor = splat(1e-9f);
    for (std::size_t i = 0; i < m; ++i) {
        const Lanes a = abs_of(load(x + i * kLanes));
        env = a > env ? a : a + p.det * (env - a);
        store(lvl + i * kLanes, env > floor ? env : floor);
    }
    env_io = env;
}

// comp_target_db and the gain smoothing; writes the smoothed gain change over the levels in dB.
MIXENGINE_SIMD_CLONES
void comp_smooth(const CompVec& p, Lanes& gr_io, Lanes& hold_io, const float* lvl, float* db,
                 std::size_t m) noexcept {
    Lanes gr = gr_io, hold = hold_io;
    const Lanes zero = splat(0.0f), one = splat(1.0f), two = splat(2.0f), limit = splat(-60.0f);
    const Lanes half = p.knee / two, width2 = two * p.knee;
    const Mask has_knee = p.knee > zero;
    for (std::size_t i = 0; i < m; ++i) {
        const Lanes d = load(db + i * kLanes) - p.thr;
        const Lanes expand = p.ratio_less_1 * d;
        const Lanes below = d < zero ? (expand >= limit ? expand : limit) : zero;
        const Lanes k = d + half;
        const Lanes in_knee = p.slope * (k * k) / width2;
        const Lanes above = d > zero ? p.slope * d : zero;
        const Lanes curve = (has_knee & (abs_of(d) <= half)) ? in_knee : above;
        Lanes target = p.expander ? below : curve;
        target = (~p.expander & (load(lvl + i * kLanes) < p.quiet)) ? zero : target;

        const Mask down = target < gr;
        const Mask held = ~down & (hold > zero);
        const Lanes attack = target + p.att * (gr - target),
                    release = target + p.rel * (gr - target);
        gr = down ? attack : (held ? gr : release);
        hold = down ? p.hold_samples : (held ? hold - one : hold);
        store(db + i * kLanes, gr);
    }
    gr_io = gr, hold_io = hold;
}

MIXENGINE_SIMD_CLONES
void comp_apply(const CompVec& p, Lanes& min_io, const float* g, float* x, std::size_t m) noexcept {
    Lanes min_gain = min_io;
    for (std::size_t i = 0; i < m; ++i) {
        const Lanes gv = load(g + i * kLanes);
        min_gain = gv < min_gain ? gv : min_gain;
        store(x + i * kLanes, load(x + i * kLanes) * (p.dry + p.wet * gv));
    }
    min_io = min_gain;
}

// The handle at lane l when its processor runs there: none beyond the span, without a buffer or
// switched off. Every lane's smallest gain, reported and running, starts at 1.
template <class Lane>
const Lane* lane_in_use(std::span<const Lane> lanes, std::size_t l, std::span<float> min_gain,
                        Lanes& run_min) noexcept {
    if (l < min_gain.size()) min_gain[l] = 1.0f;
    run_min[l] = 1.0f;
    const Lane* lane = l < lanes.size() ? &lanes[l] : nullptr;
    return lane && lane->buf && lane->params->active ? lane : nullptr;
}

// Hands each lane in use its final state (through `keep`) and its smallest gain.
template <class Lane, class Keep>
void finish_lanes(std::span<const Lane> lanes, float* const* bufs, const Lanes& run_min,
                  std::span<float> min_gain, Keep keep) noexcept {
    for (std::size_t l = 0; l < kLanes; ++l) {
        if (!bufs[l]) continue;
        keep(*lanes[l].state, l);
        if (l < min_gain.size()) min_gain[l] = run_min[l];
    }
}

}  // namespace

void gate_run_lanes(std::span<const GateLane> lanes, std::size_t n,
                    std::span<float> min_gain) noexcept {
    GateVec p{};
    GateRun r{};
    float* bufs[kLanes] = {};
    bool busy = false;
    for (std::size_t l = 0; l < kLanes; ++l) {
        const GateLane* lane = lane_in_use(lanes, l, min_gain, r.min_gain);
        if (!lane) {
            p.open[l] = 0.0f, p.closed[l] = 0.0f, p.depth_gain[l] = 1.0f, p.plain[l] = -1;
            r.gain[l] = 1.0f;
            continue;
        }
        const GateParams& q = *lane->params;
        p.open[l] = q.open_lin, p.closed[l] = q.closed_lin, p.thr[l] = q.thr_db;
        p.depth_gain[l] = q.depth_gain, p.hold_samples[l] = q.hold_samples;
        p.att[l] = q.att, p.rel[l] = q.rel, p.fall[l] = q.env_fall;
        p.plain[l] = q.slope == 0.0f ? -1 : 0;
        p.scalar[l] = &q;
        r.env[l] = lane->state->env, r.gain[l] = lane->state->gain, r.hold[l] = lane->state->hold;
        bufs[l] = lane->buf;
        busy = true;
    }
    if (!busy) return;

    float x[kPiece * kLanes];
    for (std::size_t at = 0; at < n; at += kPiece) {
        const std::size_t m = std::min(kPiece, n - at);
        interleave(bufs, at, m, x);
        gate_piece(p, r, x, m);
        deinterleave(x, at, m, bufs);
    }
    finish_lanes(lanes, bufs, r.min_gain, min_gain, [&r](GateState& st, std::size_t l) {
        store_gate_state(st, r.env[l], r.gain[l], r.hold[l]);
    });
}

void comp_run_lanes(std::span<const CompLane> lanes, std::size_t n,
                    std::span<float> min_gain) noexcept {
    CompVec p{};
    CompRun r{};
    float* bufs[kLanes] = {};
    const CompParams* rms[kLanes] = {};
    bool busy = false;
    for (std::size_t l = 0; l < kLanes; ++l) {
        const CompLane* lane = lane_in_use(lanes, l, min_gain, r.min_gain);
        if (!lane) {
            p.quiet[l] = INFINITY, p.dry[l] = 0.0f, p.wet[l] = 1.0f;
            continue;
        }
        const CompParams& q = *lane->params;
        p.det[l] = q.det, p.quiet[l] = q.quiet_lin, p.thr[l] = q.thr_db;
        p.ratio_less_1[l] = q.ratio - 1.0f;
        p.slope[l] = 1.0f / q.ratio - 1.0f;
        p.knee[l] = q.knee_width_db;
        p.hold_samples[l] = q.hold_samples, p.att[l] = q.att, p.rel[l] = q.rel;
        p.dry[l] = 1.0f - q.mix, p.wet[l] = q.mix * q.makeup;
        p.expander[l] = q.expander ? -1 : 0;
        if (q.rms) rms[l] = &q;
        r.env[l] = lane->state->env, r.gr[l] = lane->state->gr_db, r.hold[l] = lane->state->hold;
        bufs[l] = lane->buf;
        busy = true;
    }
    if (!busy) return;

    float x[kPiece * kLanes], lvl[kPiece * kLanes], db[kPiece * kLanes];
    for (std::size_t at = 0; at < n; at += kPiece) {
        const std::size_t m = std::min(kPiece, n - at);
        interleave(bufs, at, m, x);
        Lanes env = r.env;
        comp_detect(p, r.env, x, lvl, m);
        for (std::size_t l = 0; l < kLanes; ++l) {
            if (!rms[l]) continue;
            float e = env[l];
            for (std::size_t i = 0; i < m; ++i) {
                const float a = std::fabs(x[i * kLanes + l]);
                const float a2 = a * a;
                e = std::sqrt(max_of(a2 + rms[l]->det * (e * e - a2), 0.0f));
                lvl[i * kLanes + l] = floored(e);
            }
            r.env[l] = e;
        }
        block_lin_to_db(lvl, db, m * kLanes);
        comp_smooth(p, r.gr, r.hold, lvl, db, m);
        block_db_to_gain(db, lvl, m * kLanes);  // the gains replace the levels
        comp_apply(p, r.min_gain, lvl, x, m);
        deinterleave(x, at, m, bufs);
    }
    finish_lanes(lanes, bufs, r.min_gain, min_gain, [&r](CompState& st, std::size_t l) {
        store_comp_state(st, r.env[l], r.gr[l], r.hold[l]);
    });
}

}  // namespace mixengine
