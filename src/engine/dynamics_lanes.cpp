// Gates and compressors of up to sixteen channels side by side; see dynamics.h. Every per-sample
// step is the scalar one written over vectors, with a select where the scalar code branches, and
// the engine is built without contraction, so each lane rounds exactly as gate_run and comp_run
// do.
//
// Channels come in sets of eight lanes, and the kernels step two sets in one loop: the detectors
// and the gain smoothing are recursions a few operations long, so a second set's chain runs in
// the first one's shadow. Where the processor has 512-bit registers, two sets run as one vector
// of sixteen lanes instead, in fewer instructions (a gate step in two thirds of the time).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "dynamics.h"
#include "dynamics_math.h"
#include "simd.h"

#if MIXENGINE_HAS_WIDE
#include <immintrin.h>
#endif

namespace mixengine {

namespace {

using namespace simd;

constexpr std::size_t kSets = kDynamicsLanes / kLanes;
static_assert(kSets == 2);

// Frames per pass: the interleaved work arrays stay on the stack and in the first-level cache.
constexpr std::size_t kPiece = 128;

// Halves folded onto each other: lane by lane the branches of an early exit cost a gate step
// a third.
MIXENGINE_LANE_INLINE bool any(Mask m) noexcept {
    m |= MIXENGINE_MIX(m, m, 4, 5, 6, 7, 0, 1, 2, 3);
    m |= MIXENGINE_MIX(m, m, 2, 3, 0, 1, 6, 7, 4, 5);
    m |= MIXENGINE_MIX(m, m, 1, 0, 3, 2, 5, 4, 7, 6);
    return m[0] != 0;
}

// Frames at..at+m of S sets of eight channels into m frames of 8 S lanes, and back.
void interleave_sets(float* const* bufs, std::size_t sets, std::size_t at, std::size_t m,
                     float* x) noexcept {
    for (std::size_t s = 0; s < sets; ++s)
        interleave(bufs + s * kLanes, at, m, x + s * kLanes, sets * kLanes);
}
void deinterleave_sets(const float* x, std::size_t sets, std::size_t at, std::size_t m,
                       float* const* bufs) noexcept {
    for (std::size_t s = 0; s < sets; ++s)
        deinterleave(x + s * kLanes, at, m, bufs + s * kLanes, sets * kLanes);
}

// Per lane the parameters of gate_run; an idle lane gets a gate that is always open, whose gain
// stays exactly 1. V holds eight lanes (a set) or sixteen (two sets joined).
template <class V, class M>
struct GateVecOf {
    V open, closed, thr, depth_gain, hold_samples, att, rel, fall;
    M plain;
    const GateParams* scalar[sizeof(V) / sizeof(float)] = {};
};
using GateVec = GateVecOf<Lanes, Mask>;

template <class V>
struct GateRunOf {
    V env, gain, hold, min_gain;
};
using GateRun = GateRunOf<Lanes>;

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

// Per lane the parameters of comp_run; an idle lane gets a compressor that never leaves 0 dB.
template <class V, class M>
struct CompVecOf {
    V det, quiet, thr, ratio_less_1, slope, knee, hold_samples, att, rel, dry, wet;
    M expander;
};
using CompVec = CompVecOf<Lanes, Mask>;

template <class V>
struct CompRunOf {
    V env, gr, hold, min_gain;
};
using CompRun = CompRunOf<Lanes>;

#include "dynamics_steps.inc"

// Each kernel steps its S sets sample by sample, set J at lanes 8 J of the interleaved frames.
template <class Pick>
MIXENGINE_LANE_INLINE void gate_sets(const GateVec* p, GateRun* r, float* x, std::size_t m,
                                     std::size_t sets) noexcept {
    if (sets == 2)
        gate_frames<Pick>(p, r, x, m, std::make_index_sequence<2>{});
    else
        gate_frames<Pick>(p, r, x, m, std::make_index_sequence<1>{});
}

MIXENGINE_SIMD_CLONES
void gate_piece(const GateVec* p, GateRun* r, float* x, std::size_t m, std::size_t sets) noexcept {
    gate_sets<Select>(p, r, x, m, sets);
}
#if MIXENGINE_HAS_WIDE
MIXENGINE_WIDE
void gate_piece_v4(const GateVec* p, GateRun* r, float* x, std::size_t m,
                   std::size_t sets) noexcept {
    gate_sets<BitSelect>(p, r, x, m, sets);
}
#endif

enum class CompPass { Detect, Smooth, PlainSmooth, Apply };

// One pass of the compressor over the S sets: `a` is what it reads, `b` what it writes.
template <CompPass kPass, class Pick, std::size_t... J>
MIXENGINE_LANE_INLINE void comp_sets(const CompVec* p, CompRun* r_io, const float* a, float* b,
                                     std::size_t m, std::index_sequence<J...>) noexcept {
    constexpr std::size_t S = sizeof...(J);
    CompRun r[S] = {r_io[J]...};
    for (std::size_t i = 0; i < m; ++i) {
        if constexpr (kPass == CompPass::Detect)
            (detect_step<Pick>(p[J], r[J], a + (i * S + J) * kLanes, b + (i * S + J) * kLanes),
             ...);
        else if constexpr (kPass == CompPass::Smooth || kPass == CompPass::PlainSmooth)
            (smooth_step<Pick, kPass == CompPass::PlainSmooth>(p[J], r[J], a + (i * S + J) * kLanes,
                                                               b + (i * S + J) * kLanes),
             ...);
        else
            (apply_step(p[J], r[J], a + (i * S + J) * kLanes, b + (i * S + J) * kLanes), ...);
    }
    ((r_io[J] = r[J]), ...);
}

// Whether a lane of the sets expands or holds (or is holding): else they smooth plainly.
bool expands_or_holds(const CompVec* p, const CompRun* r, std::size_t sets) noexcept {
    Mask m{};
    for (std::size_t s = 0; s < sets; ++s)
        m |= p[s].expander | (p[s].hold_samples != 0.0f) | (r[s].hold != 0.0f);
    return any(m);
}

template <CompPass kPass, class Pick = Select>
MIXENGINE_LANE_INLINE void comp_pass(const CompVec* p, CompRun* r, const float* a, float* b,
                                     std::size_t m, std::size_t sets) noexcept {
    if constexpr (kPass == CompPass::Smooth)
        if (!expands_or_holds(p, r, sets))
            return comp_pass<CompPass::PlainSmooth, Pick>(p, r, a, b, m, sets);
    if (sets == 2)
        comp_sets<kPass, Pick>(p, r, a, b, m, std::make_index_sequence<2>{});
    else
        comp_sets<kPass, Pick>(p, r, a, b, m, std::make_index_sequence<1>{});
}

MIXENGINE_SIMD_CLONES
void comp_detect(const CompVec* p, CompRun* r, const float* x, float* lvl, std::size_t m,
                 std::size_t sets) noexcept {
    comp_pass<CompPass::Detect>(p, r, x, lvl, m, sets);
}

MIXENGINE_SIMD_CLONES
void comp_smooth(const CompVec* p, CompRun* r, const float* lvl, float* db, std::size_t m,
                 std::size_t sets) noexcept {
    comp_pass<CompPass::Smooth>(p, r, lvl, db, m, sets);
}

#if MIXENGINE_HAS_WIDE
MIXENGINE_WIDE
void comp_detect_v4(const CompVec* p, CompRun* r, const float* x, float* lvl, std::size_t m,
                    std::size_t sets) noexcept {
    comp_pass<CompPass::Detect, BitSelect>(p, r, x, lvl, m, sets);
}

MIXENGINE_WIDE
void comp_smooth_v4(const CompVec* p, CompRun* r, const float* lvl, float* db, std::size_t m,
                    std::size_t sets) noexcept {
    comp_pass<CompPass::Smooth, BitSelect>(p, r, lvl, db, m, sets);
}
#endif

MIXENGINE_SIMD_CLONES
void comp_apply(const CompVec* p, CompRun* r, const float* g, float* x, std::size_t m,
                std::size_t sets) noexcept {
    comp_pass<CompPass::Apply>(p, r, g, x, m, sets);
}

// The detector over the frames xb of one piece (levels to lvlb) beside the smoothing of the
// piece before (levels lvla, dB dba): two recursions of different states in one loop, each filling
// the other's waits.
template <bool kPlain, class Pick, std::size_t... J>
MIXENGINE_LANE_INLINE void detect_smooth_sets(const CompVec* p, CompRun* r_io, const float* xb,
                                              float* lvlb, const float* lvla, float* dba,
                                              std::size_t m, std::index_sequence<J...>) noexcept {
    constexpr std::size_t kFrame = sizeof...(J) * kLanes;
    CompRun r[sizeof...(J)] = {r_io[J]...};
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t at = i * kFrame;
        (detect_step<Pick>(p[J], r[J], xb + at + J * kLanes, lvlb + at + J * kLanes), ...);
        (smooth_step<Pick, kPlain>(p[J], r[J], lvla + at + J * kLanes, dba + at + J * kLanes), ...);
    }
    ((r_io[J] = r[J]), ...);
}

template <class Pick>
MIXENGINE_LANE_INLINE void detect_smooth_with(const CompVec* p, CompRun* r, const float* xb,
                                              float* lvlb, const float* lvla, float* dba,
                                              std::size_t m, std::size_t sets) noexcept {
    const bool plain = !expands_or_holds(p, r, sets);
    if (sets == 2 && plain)
        detect_smooth_sets<true, Pick>(p, r, xb, lvlb, lvla, dba, m, std::make_index_sequence<2>{});
    else if (sets == 2)
        detect_smooth_sets<false, Pick>(p, r, xb, lvlb, lvla, dba, m,
                                        std::make_index_sequence<2>{});
    else if (plain)
        detect_smooth_sets<true, Pick>(p, r, xb, lvlb, lvla, dba, m, std::make_index_sequence<1>{});
    else
        detect_smooth_sets<false, Pick>(p, r, xb, lvlb, lvla, dba, m,
                                        std::make_index_sequence<1>{});
}

MIXENGINE_SIMD_CLONES
void comp_detect_smooth(const CompVec* p, CompRun* r, const float* xb, float* lvlb,
                        const float* lvla, float* dba, std::size_t m, std::size_t sets) noexcept {
    detect_smooth_with<Select>(p, r, xb, lvlb, lvla, dba, m, sets);
}
#if MIXENGINE_HAS_WIDE
MIXENGINE_WIDE
void comp_detect_smooth_v4(const CompVec* p, CompRun* r, const float* xb, float* lvlb,
                           const float* lvla, float* dba, std::size_t m,
                           std::size_t sets) noexcept {
    detect_smooth_with<BitSelect>(p, r, xb, lvlb, lvla, dba, m, sets);
}
#endif

#if MIXENGINE_HAS_WIDE
// Two sets as one vector of sixteen lanes, where the processor has 512-bit registers: the same
// steps lane for lane in half the instructions, the selects on mask registers.
#pragma GCC push_options
#pragma GCC target("arch=x86-64-v4")
namespace sixteen {

typedef int32_t WideMask __attribute__((vector_size(sizeof(Wide))));

struct MaskSelect {
    static MIXENGINE_LANE_INLINE Wide of(WideMask m, Wide a, Wide b) noexcept { return m ? a : b; }
};
MIXENGINE_LANE_INLINE bool any(WideMask m) noexcept {
    const __m512i bits = reinterpret_cast<__m512i>(m);
    return _mm512_test_epi32_mask(bits, bits) != 0;
}

#include "dynamics_steps.inc"

template <class V>
MIXENGINE_LANE_INLINE auto join(V a, V b) noexcept {
    return __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}
MIXENGINE_LANE_INLINE void split(Wide w, Lanes& low, Lanes& high) noexcept {
    low = __builtin_shufflevector(w, w, 0, 1, 2, 3, 4, 5, 6, 7);
    high = __builtin_shufflevector(w, w, 8, 9, 10, 11, 12, 13, 14, 15);
}

GateVecOf<Wide, WideMask> joined(const GateVec* p) noexcept {
    GateVecOf<Wide, WideMask> q;
    q.open = join(p[0].open, p[1].open), q.closed = join(p[0].closed, p[1].closed);
    q.thr = join(p[0].thr, p[1].thr), q.depth_gain = join(p[0].depth_gain, p[1].depth_gain);
    q.hold_samples = join(p[0].hold_samples, p[1].hold_samples);
    q.att = join(p[0].att, p[1].att), q.rel = join(p[0].rel, p[1].rel);
    q.fall = join(p[0].fall, p[1].fall), q.plain = join(p[0].plain, p[1].plain);
    for (std::size_t l = 0; l < kLanes; ++l)
        q.scalar[l] = p[0].scalar[l], q.scalar[kLanes + l] = p[1].scalar[l];
    return q;
}
CompVecOf<Wide, WideMask> joined(const CompVec* p) noexcept {
    CompVecOf<Wide, WideMask> q;
    q.det = join(p[0].det, p[1].det), q.quiet = join(p[0].quiet, p[1].quiet);
    q.thr = join(p[0].thr, p[1].thr), q.ratio_less_1 = join(p[0].ratio_less_1, p[1].ratio_less_1);
    q.slope = join(p[0].slope, p[1].slope), q.knee = join(p[0].knee, p[1].knee);
    q.hold_samples = join(p[0].hold_samples, p[1].hold_samples);
    q.att = join(p[0].att, p[1].att), q.rel = join(p[0].rel, p[1].rel);
    q.dry = join(p[0].dry, p[1].dry), q.wet = join(p[0].wet, p[1].wet);
    q.expander = join(p[0].expander, p[1].expander);
    return q;
}
GateRunOf<Wide> joined(const GateRun* r) noexcept {
    return {join(r[0].env, r[1].env), join(r[0].gain, r[1].gain), join(r[0].hold, r[1].hold),
            join(r[0].min_gain, r[1].min_gain)};
}
CompRunOf<Wide> joined(const CompRun* r) noexcept {
    return {join(r[0].env, r[1].env), join(r[0].gr, r[1].gr), join(r[0].hold, r[1].hold),
            join(r[0].min_gain, r[1].min_gain)};
}
void keep(const GateRunOf<Wide>& w, GateRun* r) noexcept {
    split(w.env, r[0].env, r[1].env), split(w.gain, r[0].gain, r[1].gain);
    split(w.hold, r[0].hold, r[1].hold), split(w.min_gain, r[0].min_gain, r[1].min_gain);
}
void keep(const CompRunOf<Wide>& w, CompRun* r) noexcept {
    split(w.env, r[0].env, r[1].env), split(w.gr, r[0].gr, r[1].gr);
    split(w.hold, r[0].hold, r[1].hold), split(w.min_gain, r[0].min_gain, r[1].min_gain);
}

// The kernels over m frames of both sets, sixteen floats a frame (the steps named in full: the
// plain ones are found through their arguments too).
void gate_piece(const GateVec* p, GateRun* r, float* x, std::size_t m, std::size_t) noexcept {
    const GateVecOf<Wide, WideMask> q = joined(p);
    GateRunOf<Wide> w = joined(r);
    sixteen::gate_frames<MaskSelect>(&q, &w, x, m, std::make_index_sequence<1>{});
    keep(w, r);
}

// One pass of the compressor over the frames: `a` is what it reads, `b` what it writes.
template <CompPass kPass>
void comp_frames(const CompVec* p, CompRun* r, const float* a, float* b, std::size_t m,
                 std::size_t) noexcept {
    const CompVecOf<Wide, WideMask> q = joined(p);
    CompRunOf<Wide> w = joined(r);
    for (std::size_t i = 0; i < m; ++i) {
        const float* in = a + i * kWideLanes;
        float* out = b + i * kWideLanes;
        if constexpr (kPass == CompPass::Detect)
            sixteen::detect_step<MaskSelect>(q, w, in, out);
        else if constexpr (kPass == CompPass::Smooth || kPass == CompPass::PlainSmooth)
            sixteen::smooth_step<MaskSelect, kPass == CompPass::PlainSmooth>(q, w, in, out);
        else
            sixteen::apply_step(q, w, in, out);
    }
    keep(w, r);
}

template <bool kPlain>
void detect_smooth_frames(const CompVec* p, CompRun* r, const float* xb, float* lvlb,
                          const float* lvla, float* dba, std::size_t m) noexcept {
    const CompVecOf<Wide, WideMask> q = joined(p);
    CompRunOf<Wide> w = joined(r);
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t at = i * kWideLanes;
        sixteen::detect_step<MaskSelect>(q, w, xb + at, lvlb + at);
        sixteen::smooth_step<MaskSelect, kPlain>(q, w, lvla + at, dba + at);
    }
    keep(w, r);
}
void comp_detect_smooth(const CompVec* p, CompRun* r, const float* xb, float* lvlb,
                        const float* lvla, float* dba, std::size_t m, std::size_t) noexcept {
    (expands_or_holds(p, r, kSets) ? detect_smooth_frames<false>
                                   : detect_smooth_frames<true>)(p, r, xb, lvlb, lvla, dba, m);
}

constexpr auto* comp_detect = &comp_frames<CompPass::Detect>;
constexpr auto* comp_apply = &comp_frames<CompPass::Apply>;
void comp_smooth(const CompVec* p, CompRun* r, const float* lvl, float* db, std::size_t m,
                 std::size_t sets) noexcept {
    (expands_or_holds(p, r, kSets) ? comp_frames<CompPass::Smooth>
                                   : comp_frames<CompPass::PlainSmooth>)(p, r, lvl, db, m, sets);
}

}  // namespace sixteen
#pragma GCC pop_options
#else
// Nothing apart to run on machines without the x86-64-v4 kernels.
constexpr auto* gate_piece_v4 = &gate_piece;
constexpr auto* comp_detect_v4 = &comp_detect;
constexpr auto* comp_smooth_v4 = &comp_smooth;
constexpr auto* comp_detect_smooth_v4 = &comp_detect_smooth;
namespace sixteen {
constexpr auto* comp_detect_smooth = &mixengine::comp_detect_smooth;
constexpr auto* gate_piece = &mixengine::gate_piece;
constexpr auto* comp_detect = &mixengine::comp_detect;
constexpr auto* comp_smooth = &mixengine::comp_smooth;
constexpr auto* comp_apply = &mixengine::comp_apply;
}  // namespace sixteen
#endif

// The kernel for this processor and this many sets: with selects in the form for it, and two
// sets as sixteen lanes where it has the registers.
template <class F>
F* kernel_for(F* plain, F* v4, F* two_sets, std::size_t sets) noexcept {
    return !wide() ? plain : sets == kSets ? two_sets : v4;
}

// The handle at lane l when its processor runs there: none beyond the span, without a buffer or
// switched off. Every lane's smallest gain, reported and running, starts at 1.
template <class Lane>
const Lane* lane_in_use(std::span<const Lane> lanes, std::size_t l, std::span<float> min_gain,
                        Lanes& run_min) noexcept {
    if (l < min_gain.size()) min_gain[l] = 1.0f;
    run_min[l % kLanes] = 1.0f;
    const Lane* lane = l < lanes.size() ? &lanes[l] : nullptr;
    return lane && lane->buf && lane->params->active ? lane : nullptr;
}

// The sets to run: two when the second holds a lane in use, else one.
std::size_t sets_in_use(float* const* bufs) noexcept {
    for (std::size_t l = kLanes; l < kDynamicsLanes; ++l)
        if (bufs[l]) return 2;
    return 1;
}

// Hands each lane in use its final state (through `keep`) and its smallest gain.
template <class Lane, class Run, class Keep>
void finish_lanes(std::span<const Lane> lanes, float* const* bufs, const Run* run,
                  std::span<float> min_gain, Keep keep) noexcept {
    for (std::size_t l = 0; l < kDynamicsLanes; ++l) {
        if (!bufs[l]) continue;
        keep(*lanes[l].state, run[l / kLanes], l % kLanes);
        if (l < min_gain.size()) min_gain[l] = run[l / kLanes].min_gain[l % kLanes];
    }
}

// The gates' parameters and states in lanes, `run(p, r, bufs)` over the frames, then the lanes'
// final states and smallest gains.
template <class Run>
void gates_in_lanes(std::span<const GateLane> lanes, std::span<float> min_gain, Run run) noexcept {
    GateVec p[kSets]{};
    GateRun r[kSets]{};
    float* bufs[kDynamicsLanes] = {};
    bool busy = false;
    for (std::size_t l = 0; l < kDynamicsLanes; ++l) {
        GateVec& v = p[l / kLanes];
        GateRun& w = r[l / kLanes];
        const std::size_t k = l % kLanes;
        const GateLane* lane = lane_in_use(lanes, l, min_gain, w.min_gain);
        if (!lane) {
            v.open[k] = 0.0f, v.closed[k] = 0.0f, v.depth_gain[k] = 1.0f, v.plain[k] = -1;
            w.gain[k] = 1.0f;
            continue;
        }
        const GateParams& q = *lane->params;
        v.open[k] = q.open_lin, v.closed[k] = q.closed_lin, v.thr[k] = q.thr_db;
        v.depth_gain[k] = q.depth_gain, v.hold_samples[k] = q.hold_samples;
        v.att[k] = q.att, v.rel[k] = q.rel, v.fall[k] = q.env_fall;
        v.plain[k] = q.slope == 0.0f ? -1 : 0;
        v.scalar[k] = &q;
        w.env[k] = lane->state->env, w.gain[k] = lane->state->gain, w.hold[k] = lane->state->hold;
        bufs[l] = lane->buf;
        busy = true;
    }
    if (!busy) return;
    run(p, r, bufs);
    finish_lanes(lanes, bufs, r, min_gain, [](GateState& st, const GateRun& w, std::size_t k) {
        store_gate_state(st, w.env[k], w.gain[k], w.hold[k]);
    });
}

// The same for compressors; `rms` marks the lanes whose detector is the RMS one.
template <class Run>
void comps_in_lanes(std::span<const CompLane> lanes, std::span<float> min_gain, Run run) noexcept {
    CompVec p[kSets]{};
    CompRun r[kSets]{};
    float* bufs[kDynamicsLanes] = {};
    const CompParams* rms[kDynamicsLanes] = {};
    bool busy = false;
    for (std::size_t l = 0; l < kDynamicsLanes; ++l) {
        CompVec& v = p[l / kLanes];
        CompRun& w = r[l / kLanes];
        const std::size_t k = l % kLanes;
        const CompLane* lane = lane_in_use(lanes, l, min_gain, w.min_gain);
        if (!lane) {
            v.quiet[k] = INFINITY, v.dry[k] = 0.0f, v.wet[k] = 1.0f;
            continue;
        }
        const CompParams& q = *lane->params;
        v.det[k] = q.det, v.quiet[k] = q.quiet_lin, v.thr[k] = q.thr_db;
        v.ratio_less_1[k] = q.ratio - 1.0f;
        v.slope[k] = 1.0f / q.ratio - 1.0f;
        v.knee[k] = q.knee_width_db;
        v.hold_samples[k] = q.hold_samples, v.att[k] = q.att, v.rel[k] = q.rel;
        v.dry[k] = 1.0f - q.mix, v.wet[k] = q.mix * q.makeup;
        v.expander[k] = q.expander ? -1 : 0;
        if (q.rms) rms[l] = &q;
        w.env[k] = lane->state->env, w.gr[k] = lane->state->gr_db, w.hold[k] = lane->state->hold;
        bufs[l] = lane->buf;
        busy = true;
    }
    if (!busy) return;
    run(p, r, bufs, rms);
    finish_lanes(lanes, bufs, r, min_gain, [](CompState& st, const CompRun& w, std::size_t k) {
        store_comp_state(st, w.env[k], w.gr[k], w.hold[k]);
    });
}

// The compressor's passes over m interleaved frames of `sets` sets in x, where some lanes detect
// RMS levels (comp_overlapped takes the others).
void comp_piece(const CompVec* p, CompRun* r, const CompParams* const* rms, float* x, std::size_t m,
                std::size_t sets) noexcept {
    const std::size_t width = sets * kLanes;
    float lvl[kPiece * kDynamicsLanes], db[kPiece * kDynamicsLanes];
    float env[kDynamicsLanes];
    for (std::size_t l = 0; l < width; ++l) env[l] = r[l / kLanes].env[l % kLanes];
    kernel_for(comp_detect, comp_detect_v4, sixteen::comp_detect, sets)(p, r, x, lvl, m, sets);
    for (std::size_t l = 0; l < width; ++l) {
        if (!rms[l]) continue;
        float e = env[l];
        for (std::size_t i = 0; i < m; ++i) {
            const float a = std::fabs(x[i * width + l]);
            const float a2 = a * a;
            e = std::sqrt(max_of(a2 + rms[l]->det * (e * e - a2), 0.0f));
            lvl[i * width + l] = floored(e);
        }
        r[l / kLanes].env[l % kLanes] = e;
    }
    block_lin_to_db(lvl, db, m * width);
    kernel_for(comp_smooth, comp_smooth_v4, sixteen::comp_smooth, sets)(p, r, lvl, db, m, sets);
    block_db_to_gain(db, lvl, m * width);  // the gains replace the levels
    kernel_for(comp_apply, comp_apply, sixteen::comp_apply, sets)(p, r, lvl, x, m, sets);
}

// Frames per piece where the detector and the smoothing overlap: short, so that two pieces' work
// arrays stay in the first-level cache and a 64-frame block has two pieces.
constexpr std::size_t kOverlap = 32;
// Frames of piece k of n (only the last piece is short).
constexpr std::size_t overlap_length(std::size_t n, std::size_t k) noexcept {
    return std::min(kOverlap, n - k * kOverlap);
}

// The compressor of lanes that all detect peaks over n frames in pieces of kOverlap: the detector
// of a piece runs beside the smoothing of the piece before it (see comp_detect_smooth), the dB of
// its levels and the gains of the other's smoothing in between, so that the two recursions, each
// waiting on its own chain most of the time, take about the time of one. Per lane every value is
// what comp_piece gives. `frames.in(k)` makes piece k's frames ready and gives them,
// `frames.in_place(k)` gives them again, `frames.out(k, x)` takes them back once done.
template <class Frames>
void comp_overlapped(const CompVec* p, CompRun* r, std::size_t n, std::size_t sets,
                     Frames& frames) noexcept {
    if (n == 0) return;
    const std::size_t width = sets * kLanes;
    const std::size_t pieces = (n + kOverlap - 1) / kOverlap;
    auto* const detect = kernel_for(comp_detect, comp_detect_v4, sixteen::comp_detect, sets);
    auto* const smooth = kernel_for(comp_smooth, comp_smooth_v4, sixteen::comp_smooth, sets);
    auto* const both =
        kernel_for(comp_detect_smooth, comp_detect_smooth_v4, sixteen::comp_detect_smooth, sets);
    auto* const apply = kernel_for(comp_apply, comp_apply, sixteen::comp_apply, sets);
    float lvl[2][kOverlap * kDynamicsLanes], db[2][kOverlap * kDynamicsLanes];
    float* x = frames.in(0);
    detect(p, r, x, lvl[0], overlap_length(n, 0), sets);
    block_lin_to_db(lvl[0], db[0], overlap_length(n, 0) * width);
    for (std::size_t k = 0; k < pieces; ++k) {
        const std::size_t a = k % 2, b = 1 - a, m = overlap_length(n, k);
        if (k + 1 < pieces) {
            const std::size_t next = overlap_length(n, k + 1);
            both(p, r, frames.in(k + 1), lvl[b], lvl[a], db[a], next, sets);
            if (next < m) smooth(p, r, lvl[a] + next * width, db[a] + next * width, m - next, sets);
            block_lin_to_db(lvl[b], db[b], next * width);
        } else {
            smooth(p, r, lvl[a], db[a], m, sets);
        }
        block_db_to_gain(db[a], lvl[a], m * width);  // the gains replace the levels
        apply(p, r, lvl[a], x, m, sets);
        frames.out(k, x);
        if (k + 1 < pieces) x = frames.in_place(k + 1);
    }
}

bool any_rms(const CompParams* const* rms, std::size_t sets) noexcept {
    for (std::size_t l = 0; l < sets * kLanes; ++l)
        if (rms[l]) return true;
    return false;
}

}  // namespace

void gate_run_lanes(std::span<const GateLane> lanes, std::size_t n,
                    std::span<float> min_gain) noexcept {
    gates_in_lanes(lanes, min_gain, [n](const GateVec* p, GateRun* r, float* const* bufs) {
        const std::size_t sets = sets_in_use(bufs);
        float x[kPiece * kDynamicsLanes];
        for (std::size_t at = 0; at < n; at += kPiece) {
            const std::size_t m = std::min(kPiece, n - at);
            interleave_sets(bufs, sets, at, m, x);
            kernel_for(gate_piece, gate_piece_v4, sixteen::gate_piece, sets)(p, r, x, m, sets);
            deinterleave_sets(x, sets, at, m, bufs);
        }
    });
}

void gate_run_frames(std::span<const GateLane> lanes, float* frames, std::size_t n,
                     std::span<float> min_gain) noexcept {
    gates_in_lanes(lanes, min_gain, [frames, n](const GateVec* p, GateRun* r, float* const*) {
        kernel_for(gate_piece, gate_piece_v4, sixteen::gate_piece, kSets)(p, r, frames, n, kSets);
    });
}

void comp_run_lanes(std::span<const CompLane> lanes, std::size_t n,
                    std::span<float> min_gain) noexcept {
    comps_in_lanes(
        lanes, min_gain,
        [n](const CompVec* p, CompRun* r, float* const* bufs, const CompParams* const* rms) {
            const std::size_t sets = sets_in_use(bufs);
            if (!any_rms(rms, sets)) {
                // Two pieces interleaved at a time, the one being finished and the next.
                float x[2][kOverlap * kDynamicsLanes];
                struct Pieces {
                    float* const* bufs;
                    std::size_t sets, n;
                    float (*x)[kOverlap * kDynamicsLanes];
                    float* in(std::size_t k) noexcept {
                        float* to = in_place(k);
                        interleave_sets(bufs, sets, k * kOverlap, overlap_length(n, k), to);
                        return to;
                    }
                    float* in_place(std::size_t k) noexcept { return x[k % 2]; }
                    void out(std::size_t k, const float* from) noexcept {
                        deinterleave_sets(from, sets, k * kOverlap, overlap_length(n, k), bufs);
                    }
                } pieces{bufs, sets, n, x};
                return comp_overlapped(p, r, n, sets, pieces);
            }
            float x[kPiece * kDynamicsLanes];
            for (std::size_t at = 0; at < n; at += kPiece) {
                const std::size_t m = std::min(kPiece, n - at);
                interleave_sets(bufs, sets, at, m, x);
                comp_piece(p, r, rms, x, m, sets);
                deinterleave_sets(x, sets, at, m, bufs);
            }
        });
}

void comp_run_frames(std::span<const CompLane> lanes, float* frames, std::size_t n,
                     std::span<float> min_gain) noexcept {
    comps_in_lanes(
        lanes, min_gain,
        [frames, n](const CompVec* p, CompRun* r, float* const*, const CompParams* const* rms) {
            if (!any_rms(rms, kSets)) {
                struct InPlace {
                    float* frames;
                    float* in(std::size_t k) const noexcept { return in_place(k); }
                    float* in_place(std::size_t k) const noexcept {
                        return frames + k * kOverlap * kDynamicsLanes;
                    }
                    void out(std::size_t, const float*) const noexcept {}
                } pieces{frames};
                return comp_overlapped(p, r, n, kSets, pieces);
            }
            for (std::size_t at = 0; at < n; at += kPiece)
                comp_piece(p, r, rms, frames + at * kDynamicsLanes, std::min(kPiece, n - at),
                           kSets);
        });
}

}  // namespace mixengine
