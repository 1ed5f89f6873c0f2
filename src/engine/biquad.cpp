// Biquad design and cascades; see biquad.h.
#include "biquad.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <utility>

#include "simd.h"

namespace mixengine {

namespace {

using simd::Lanes;
static_assert(kBiquadLanes == simd::kLanes);
static_assert(kBankStages % kBiquadLanes == 0);

// Coefficients and memory of one stage, as one channel's floats or as eight channels' lanes.
template <class V>
struct Tdf2 {
    V b0, b1, b2, a1, a2, s1, s2;
};

// The transposed-direct-form-II step: every filter of the console runs through it, one channel
// at a time or eight in lanes, so that both forms round alike, lane for lane.
template <class V>
MIXENGINE_LANE_INLINE V tdf2_step(Tdf2<V>& f, V x) noexcept {
    const V y = f.b0 * x + f.s1;
    f.s1 = f.b1 * x - f.a1 * y + f.s2;
    f.s2 = f.b2 * x - f.a2 * y;
    return y;
}

// Runs G consecutive stages in one sweep: each sample passes through all G stages before the
// next sample is read. Per sample the arithmetic is exactly that of running the stages one after
// another over the whole chunk, so the output is identical; the sweep only lets the processor
// overlap the stages' independent feedback chains, which a stage-at-a-time loop leaves waiting
// on one another.
template <std::size_t G>
void run_sweep(const BiquadCoeffs* c, BiquadState* st, float* buf, std::size_t n) noexcept {
    Tdf2<float> f[G];
    for (std::size_t g = 0; g < G; ++g)
        f[g] = {c[g].b0, c[g].b1, c[g].b2, c[g].a1, c[g].a2, st[g].s1, st[g].s2};
    for (std::size_t i = 0; i < n; ++i) {
        float x = buf[i];
        for (std::size_t g = 0; g < G; ++g) x = tdf2_step(f[g], x);
        buf[i] = x;
    }
    for (std::size_t g = 0; g < G; ++g) st[g] = {f[g].s1, f[g].s2};
}

// The lane form's one adapter between the stage layout (coefficients beside their state) and
// lanes: lane l of every value belongs to the l-th channel.
void set_lane(Tdf2<Lanes>& f, std::size_t l, const BiquadCoeffs& c, const BiquadState& s) noexcept {
    f.b0[l] = c.b0, f.b1[l] = c.b1, f.b2[l] = c.b2, f.a1[l] = c.a1, f.a2[l] = c.a2;
    f.s1[l] = s.s1, f.s2[l] = s.s2;
}
BiquadState lane_state(const Tdf2<Lanes>& f, std::size_t l) noexcept {
    return {f.s1[l], f.s2[l]};
}

constexpr std::size_t kSweep = 4;  // stages per pass over the chunk: four feedback chains overlap

// G stages in series over n interleaved frames of as many channels as V has lanes.
template <std::size_t G = kSweep, class V = Lanes>
MIXENGINE_LANE_INLINE void lane_sweep_inline(Tdf2<V>* stages, float* data, std::size_t n) noexcept {
    constexpr std::size_t kWidth = sizeof(V) / sizeof(float);
    Tdf2<V> f[G];
    for (std::size_t g = 0; g < G; ++g) f[g] = stages[g];
    for (std::size_t i = 0; i < n; ++i) {
        V x = simd::load<V>(data + i * kWidth);
        for (std::size_t g = 0; g < G; ++g) x = tdf2_step(f[g], x);
        simd::store(data + i * kWidth, x);
    }
    for (std::size_t g = 0; g < G; ++g) stages[g] = f[g];
}

MIXENGINE_SIMD_CLONES
void lane_sweep(Tdf2<Lanes>* stages, float* data, std::size_t n) noexcept {
    lane_sweep_inline(stages, data, n);
}

// The tiny-state flush of flush_biquad_state on eight lanes at once, with the same comparisons.
MIXENGINE_LANE_INLINE Lanes flushed(Lanes s) noexcept {
    typedef int32_t Bits __attribute__((vector_size(4 * kBiquadLanes)));
    const Lanes a = reinterpret_cast<Lanes>(reinterpret_cast<Bits>(s) & 0x7fffffff);
    const Lanes below = simd::splat(kBiquadFlushBelow), top = simd::splat(kBiquadFiniteMax);
    return ((a >= below) & (a <= top)) ? s : Lanes{};
}

static_assert(sizeof(BiquadState) == 2 * sizeof(float));  // four states are eight floats

// Where a plan's sweep finds its states: per stage and lane, or per lane four side by side.
struct SweepHomes {
    BiquadState* const* home;  // [stage][lane]; null: a pass-through
    bool whole;
    BiquadState* spare;
    bool flush;  // tiny states go back as zero
};

// Gathers the states of a sweep's G stages into lanes.
template <std::size_t G>
MIXENGINE_LANE_INLINE void gather_states(Tdf2<Lanes> (&st)[G], const SweepHomes& h) noexcept {
    if constexpr (G == kSweep) {
        if (h.whole) {
            Lanes r[kBiquadLanes];
            for (std::size_t l = 0; l < kBiquadLanes; ++l)
                r[l] = simd::load(&(h.home[l] ? h.home[l] : h.spare)->s1);
            simd::transpose(r);
            for (std::size_t g = 0; g < G; ++g) st[g].s1 = r[2 * g], st[g].s2 = r[2 * g + 1];
            return;
        }
    }
    for (std::size_t g = 0; g < G; ++g)
        for (std::size_t l = 0; l < kBiquadLanes; ++l) {
            const BiquadState* s = h.home[g * kBiquadLanes + l];
            st[g].s1[l] = s ? s->s1 : 0.0f;
            st[g].s2[l] = s ? s->s2 : 0.0f;
        }
}

// Puts the states of a sweep's G stages back where they live, flushed if the plan says so.
template <std::size_t G>
MIXENGINE_LANE_INLINE void scatter_states(const Tdf2<Lanes> (&st)[G],
                                          const SweepHomes& h) noexcept {
    Lanes r[kBiquadLanes];
    for (std::size_t g = 0; g < G; ++g) {
        r[2 * g] = h.flush ? flushed(st[g].s1) : st[g].s1;
        r[2 * g + 1] = h.flush ? flushed(st[g].s2) : st[g].s2;
    }
    if constexpr (G == kSweep) {
        if (h.whole) {
            simd::transpose(r);
            for (std::size_t l = 0; l < kBiquadLanes; ++l)
                simd::store(&(h.home[l] ? h.home[l] : h.spare)->s1, r[l]);
            return;
        }
    }
    for (std::size_t g = 0; g < G; ++g)
        for (std::size_t l = 0; l < kBiquadLanes; ++l)
            if (BiquadState* s = h.home[g * kBiquadLanes + l])
                *s = BiquadState{r[2 * g][l], r[2 * g + 1][l]};
}

}  // namespace

// What a plan's sweeps read: see LanePlan.
struct SweepPlan {
    const float* coeffs;
    BiquadState* const* homes;
    const bool* whole;
    BiquadState* spare;
    std::size_t sweeps, last_stages;
    bool flush;

    // Stages of sweep sw that some lane uses; none past the last sweep.
    std::size_t stages(std::size_t sw) const noexcept {
        return sw + 1 < sweeps ? kSweep : sw + 1 == sweeps ? last_stages : 0;
    }
    const float* sweep_coeffs(std::size_t sw) const noexcept {
        return coeffs + sw * kSweep * 5 * kBiquadLanes;
    }
    SweepHomes sweep_homes(std::size_t sw) const noexcept {
        return {homes + sw * kSweep * kBiquadLanes, whole[sw], spare, flush};
    }
};

SweepPlan LanePlan::sweeps() noexcept {
    return {coeffs_.data(), homes_.data(), whole_.data(), spare_.data(),
            sweeps_,        last_stages_,  true};
}

namespace {

// The first G stages of one sweep in lanes, coefficients [stage][b0..a2][lane], with their states.
template <std::size_t G>
MIXENGINE_LANE_INLINE void load_sweep(Tdf2<Lanes> (&st)[G], const float* c,
                                      const SweepHomes& h) noexcept {
    for (std::size_t g = 0; g < G; ++g) {
        const float* k = c + g * 5 * kBiquadLanes;
        st[g].b0 = simd::load(k), st[g].b1 = simd::load(k + kBiquadLanes);
        st[g].b2 = simd::load(k + 2 * kBiquadLanes);
        st[g].a1 = simd::load(k + 3 * kBiquadLanes);
        st[g].a2 = simd::load(k + 4 * kBiquadLanes);
    }
    gather_states(st, h);
}

template <std::size_t G>
MIXENGINE_LANE_INLINE void planned_sweep(const float* c, const SweepHomes& h, float* data,
                                         std::size_t n) noexcept {
    Tdf2<Lanes> st[G]{};
    load_sweep(st, c, h);
    lane_sweep_inline<G>(st, data, n);
    scatter_states(st, h);
}

// Sweep sw of a plan over n interleaved frames, of the last sweep only the stages some lane
// uses, since a pass-through costs as much as a stage.
MIXENGINE_LANE_INLINE void planned_sweep(const SweepPlan& p, std::size_t sw, float* data,
                                         std::size_t n) noexcept {
    const float* c = p.sweep_coeffs(sw);
    const SweepHomes h = p.sweep_homes(sw);
    switch (p.stages(sw)) {
        case 1:
            planned_sweep<1>(c, h, data, n);
            break;
        case 2:
            planned_sweep<2>(c, h, data, n);
            break;
        case 3:
            planned_sweep<3>(c, h, data, n);
            break;
        default:
            planned_sweep<kSweep>(c, h, data, n);
            break;
    }
}

MIXENGINE_SIMD_CLONES
void planned_sweeps(const SweepPlan& p, float* data, std::size_t n) noexcept {
    for (std::size_t sw = 0; sw < p.sweeps; ++sw) planned_sweep(p, sw, data, n);
}

#if MIXENGINE_HAS_WIDE
using simd::Wide;

// Sixteen lanes hold two sweeps of eight, the first in lanes 0-7: each lane does exactly what it
// does in its own sweep, but one instruction steps twice as many lanes, which on processors with
// 512-bit vectors doubles the work of every port in flight. The halves are either the same sweep
// of two sets side by side, or two consecutive sweeps of one set, the second a sample behind the
// first so that it takes what the first gave a step earlier. A half whose set has no such sweep
// passes its lanes through, as a sweep does for its short lanes.
MIXENGINE_LANE_INLINE Wide join(Lanes lo, Lanes hi) noexcept {
    return __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}
MIXENGINE_LANE_INLINE Lanes half(Wide w, std::size_t h) noexcept {
    return h == 0 ? __builtin_shufflevector(w, w, 0, 1, 2, 3, 4, 5, 6, 7)
                  : __builtin_shufflevector(w, w, 8, 9, 10, 11, 12, 13, 14, 15);
}
// The low half of a, the high half of b.
MIXENGINE_LANE_INLINE Wide low_high(Wide a, Wide b) noexcept {
    return __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7, 24, 25, 26, 27, 28, 29, 30, 31);
}

struct WideHalf {
    const SweepPlan* plan;
    std::size_t sweep;
    bool used() const noexcept { return plan->stages(sweep) > 0; }
};

template <std::size_t G>
MIXENGINE_LANE_INLINE Wide wide_step(Tdf2<Wide> (&w)[G], Wide x) noexcept {
    for (std::size_t g = 0; g < G; ++g) x = tdf2_step(w[g], x);
    return x;
}

// One step of a set's two sweeps where one half lies outside the chunk (the first step for the
// second sweep, the last for the first): that half keeps its states.
template <std::size_t G, bool kKeepLow>
MIXENGINE_LANE_INLINE Wide edge_step(Tdf2<Wide> (&w)[G], Wide x) noexcept {
    Tdf2<Wide> was[G];
    for (std::size_t g = 0; g < G; ++g) was[g] = w[g];
    x = wide_step(w, x);
    for (std::size_t g = 0; g < G; ++g) {
        w[g].s1 = kKeepLow ? low_high(was[g].s1, w[g].s1) : low_high(w[g].s1, was[g].s1);
        w[g].s2 = kKeepLow ? low_high(was[g].s2, w[g].s2) : low_high(w[g].s2, was[g].s2);
    }
    return x;
}

// G stages of both halves over n frames. Two sets: n frames of sixteen interleaved channels.
// kLagged, a set's two sweeps: its n > kLag interleaved frames of eight, where at step i the
// first half takes sample i and the second what the first gave of sample i - kLag. A lag of one
// would chain every step's first stage to the step before's last; three let the steps overlap.
constexpr std::size_t kLag = 3;
template <std::size_t G, bool kLagged>
MIXENGINE_LANE_INLINE void wide_sweep(const WideHalf (&half_of)[2], float* data,
                                      std::size_t n) noexcept {
    Tdf2<Lanes> st[2][G]{};
    for (std::size_t h = 0; h < 2; ++h) {
        const WideHalf& k = half_of[h];
        if (k.used())
            load_sweep(st[h], k.plan->sweep_coeffs(k.sweep), k.plan->sweep_homes(k.sweep));
        else
            for (Tdf2<Lanes>& f : st[h]) f = Tdf2<Lanes>{simd::splat(1.0f), {}, {}, {}, {}, {}, {}};
    }
    Tdf2<Wide> w[G];
    for (std::size_t g = 0; g < G; ++g) {
        const Tdf2<Lanes>&a = st[0][g], &b = st[1][g];
        w[g] = {join(a.b0, b.b0), join(a.b1, b.b1), join(a.b2, b.b2), join(a.a1, b.a1),
                join(a.a2, b.a2), join(a.s1, b.s1), join(a.s2, b.s2)};
    }
    if constexpr (kLagged) {
        // The first half's output of a frame goes back in place, where the second half takes it
        // kLag steps later and leaves its own.
        auto row = [&](std::size_t i) { return data + i * kBiquadLanes; };
        for (std::size_t i = 0; i < kLag; ++i)
            simd::store(row(i), half(edge_step<G, false>(w, join(simd::load(row(i)), Lanes{})), 0));
        for (std::size_t i = kLag; i < n; ++i) {
            const Wide y = wide_step(w, join(simd::load(row(i)), simd::load(row(i - kLag))));
            simd::store(row(i), half(y, 0));
            simd::store(row(i - kLag), half(y, 1));
        }
        for (std::size_t i = n; i < n + kLag; ++i)
            simd::store(row(i - kLag),
                        half(edge_step<G, true>(w, join(Lanes{}, simd::load(row(i - kLag)))), 1));
    } else {
        lane_sweep_inline<G>(w, data, n);
    }
    for (std::size_t h = 0; h < 2; ++h) {
        const WideHalf& k = half_of[h];
        if (!k.used()) continue;
        for (std::size_t g = 0; g < G; ++g)
            st[h][g].s1 = half(w[g].s1, h), st[h][g].s2 = half(w[g].s2, h);
        scatter_states(st[h], k.plan->sweep_homes(k.sweep));
    }
}

// Two sets' sweeps over n frames of sixteen interleaved channels.
MIXENGINE_WIDE
void wide_sweeps(const SweepPlan (&p)[2], float* data, std::size_t n) noexcept {
    for (std::size_t sw = 0; sw < std::max(p[0].sweeps, p[1].sweeps); ++sw) {
        const WideHalf halves[2] = {{&p[0], sw}, {&p[1], sw}};
        switch (std::max(p[0].stages(sw), p[1].stages(sw))) {
            case 1:
                wide_sweep<1, false>(halves, data, n);
                break;
            case 2:
                wide_sweep<2, false>(halves, data, n);
                break;
            case 3:
                wide_sweep<3, false>(halves, data, n);
                break;
            default:
                wide_sweep<kSweep, false>(halves, data, n);
                break;
        }
    }
}

constexpr std::size_t kLaggedFrom = 16;  // frames

// One set's sweeps over n > 0 interleaved frames, two at a time, the last of an odd count alone.
MIXENGINE_WIDE
void lagged_sweeps(const SweepPlan& p, float* data, std::size_t n) noexcept {
    std::size_t sw = 0;
    for (; sw + 1 < p.sweeps; sw += 2) {
        const WideHalf halves[2] = {{&p, sw}, {&p, sw + 1}};
        wide_sweep<kSweep, true>(halves, data, n);
    }
    if (sw < p.sweeps) planned_sweep(p, sw, data, n);
}
#endif

// The skewed form of a plan (see LanePlan). At step t, lane l of a channel's unit v runs stage
// W v + l on sample t - W v - l, for units of W lanes; its input is what the lane before it gave
// a step earlier, and lane 0 takes the last lane of the unit before, or the channel's own sample.
// Units are updated from the last to the first, so each reads what its predecessor gave the step
// before. A lane outside its chunk at a step (the pipeline filling or draining) keeps its states
// and gives silence, so the states at the end are those of running the stages over the chunk one
// by one. The plan's units are eight lanes wide; where the processor has 512-bit vectors, two
// consecutive ones of a channel run as one of sixteen, which halves the instructions a step.
using Unit = LanePlan::Unit;

// The lanes of a unit moved one place on: lane 0 takes the last lane of `feed`, lane l lane
// l - 1 of y.
MIXENGINE_LANE_INLINE Lanes shifted(Lanes feed, Lanes y) noexcept {
    using simd::Order;
    return MIXENGINE_MIX(feed, y, 7, 8, 9, 10, 11, 12, 13, 14);
}

// Lane l takes the step's new states and output where its sample first - l lies in [0, n); the
// others keep their states and give silence.
MIXENGINE_LANE_INLINE void step_inside(std::ptrdiff_t first, std::ptrdiff_t n, const Tdf2<Lanes>& f,
                                       Lanes out, Lanes& s1, Lanes& s2, Lanes& y) noexcept {
    using simd::Mask;
    const Mask lane = {0, 1, 2, 3, 4, 5, 6, 7};
    const Mask i = Mask{} + int32_t(first) - lane;  // each lane's sample
    const Mask valid = (i >= 0) & (i < int32_t(n));
    s1 = valid ? f.s1 : s1;
    s2 = valid ? f.s2 : s2;
    y = valid ? out : Lanes{};
}

#if MIXENGINE_HAS_WIDE
struct WideUnit {
    float coeffs[5][2 * kBiquadLanes];
    std::array<BiquadState*, 2 * kBiquadLanes> home;  // null: a pass-through
};

MIXENGINE_LANE_INLINE Wide shifted(Wide feed, Wide y) noexcept {
    return __builtin_shufflevector(feed, y, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28,
                                   29, 30);
}
// The lanes inside are consecutive, so their mask is two loads from sliding windows, and the
// selects are bit operations: GCC would split a 64-byte comparison into single lanes.
typedef int32_t WideBits __attribute__((vector_size(sizeof(Wide))));
constexpr std::ptrdiff_t kWideLanes = 2 * kBiquadLanes;
struct SlidingMasks {
    int32_t from[2 * kWideLanes];   // from + W - lo: lanes lo and up
    int32_t below[2 * kWideLanes];  // below + W - hi: lanes under hi
};
constexpr SlidingMasks kSliding = [] {
    SlidingMasks m{};
    for (std::ptrdiff_t i = 0; i < kWideLanes; ++i) m.from[kWideLanes + i] = -1, m.below[i] = -1;
    return m;
}();
MIXENGINE_LANE_INLINE Wide pick(WideBits m, Wide a, Wide b) noexcept {
    return reinterpret_cast<Wide>((reinterpret_cast<WideBits>(a) & m) |
                                  (reinterpret_cast<WideBits>(b) & ~m));
}
MIXENGINE_LANE_INLINE void step_inside(std::ptrdiff_t first, std::ptrdiff_t n, const Tdf2<Wide>& f,
                                       Wide out, Wide& s1, Wide& s2, Wide& y) noexcept {
    // Lane l's sample first - l lies in [0, n) for lanes lo .. hi - 1.
    const std::ptrdiff_t lo = std::clamp<std::ptrdiff_t>(first - n + 1, 0, kWideLanes);
    const std::ptrdiff_t hi = std::clamp<std::ptrdiff_t>(first + 1, 0, kWideLanes);
    WideBits up, under;
    std::memcpy(&up, kSliding.from + kWideLanes - lo, sizeof up);
    std::memcpy(&under, kSliding.below + kWideLanes - hi, sizeof under);
    const WideBits inside = up & under;
    s1 = pick(inside, f.s1, s1);
    s2 = pick(inside, f.s2, s2);
    y = pick(inside, out, Wide{});
}
MIXENGINE_LANE_INLINE Wide flushed(Wide s) noexcept {
    return join(flushed(half(s, 0)), flushed(half(s, 1)));
}
#endif

// One unit's place in a skewed pass: its channel's samples, whether it takes them (the channel's
// first unit) or gives them back (the last, `lag` steps behind the input).
template <class U>
struct SkewedLink {
    const U* unit;
    float* buf;
    std::ptrdiff_t v;  // the unit's place in its channel
    std::ptrdiff_t lag;
    bool first, last;
};

template <class V>
constexpr std::ptrdiff_t kWidthOf = sizeof(V) / sizeof(float);

// One step of unit J of a pass of N. kEdge: the step lies where the pipeline fills or drains, so
// the unit may be idle, or some of its lanes outside the chunk.
template <class V, class U, std::size_t N, std::size_t J, bool kEdge>
MIXENGINE_LANE_INLINE void skewed_step(const SkewedLink<U>* link, V (&s1)[N], V (&s2)[N], V (&y)[N],
                                       std::ptrdiff_t t, std::ptrdiff_t n) noexcept {
    constexpr std::ptrdiff_t kWidth = kWidthOf<V>;
    const SkewedLink<U>& k = link[J];
    const std::ptrdiff_t first = t - kWidth * k.v;  // lane 0's sample
    constexpr std::ptrdiff_t kLast = kWidth - 1;
    // An idle unit's outputs are never read: the next unit's lanes are idle a step later too.
    if (kEdge && (first < 0 || first - kLast >= n)) return;
    V feed{};
    if constexpr (J > 0) feed = y[J - 1];
    if (k.first) feed = V{} + (!kEdge || t < n ? k.buf[t] : 0.0f);
    const U& u = *k.unit;
    using simd::load;
    Tdf2<V> f{load<V>(u.coeffs[0]),
              load<V>(u.coeffs[1]),
              load<V>(u.coeffs[2]),
              load<V>(u.coeffs[3]),
              load<V>(u.coeffs[4]),
              s1[J],
              s2[J]};
    const V out = tdf2_step(f, shifted(feed, y[J]));
    if (kEdge && (first < kLast || first >= n))
        step_inside(first, n, f, out, s1[J], s2[J], y[J]);
    else
        s1[J] = f.s1, s2[J] = f.s2, y[J] = out;
    const std::ptrdiff_t at = t - k.lag;
    if (k.last && (!kEdge || (at >= 0 && at < n))) k.buf[at] = y[J][kLast];
}

// Steps from..to of a pass of N units, whose states and outputs stay in registers; the units
// are updated from the last to the first.
template <class V, class U, std::size_t N, bool kEdge, std::size_t... J>
MIXENGINE_LANE_INLINE void skewed_steps(const SkewedLink<U>* link, V (&s1)[N], V (&s2)[N],
                                        V (&y)[N], std::ptrdiff_t from, std::ptrdiff_t to,
                                        std::ptrdiff_t n, std::index_sequence<J...>) noexcept {
    for (std::ptrdiff_t t = from; t < to; ++t)
        (skewed_step<V, U, N, N - 1 - J, kEdge>(link, s1, s2, y, t, n), ...);
}

// A pass of N units over n samples; the pipeline is `depth` steps long.
template <class V, class U, std::size_t N>
MIXENGINE_LANE_INLINE void skewed_pass(const SkewedLink<U>* link, std::ptrdiff_t n,
                                       std::ptrdiff_t depth, const BiquadState* spare) noexcept {
    constexpr std::size_t kWidth = kWidthOf<V>;
    V s1[N], s2[N], y[N];
    for (std::size_t j = 0; j < N; ++j) {
        float a[kWidth], b[kWidth];
        for (std::size_t l = 0; l < kWidth; ++l) {
            const BiquadState* h = link[j].unit->home[l] ? link[j].unit->home[l] : spare;
            a[l] = h->s1, b[l] = h->s2;
        }
        s1[j] = simd::load<V>(a), s2[j] = simd::load<V>(b), y[j] = V{};
    }
    constexpr auto units = std::make_index_sequence<N>{};
    if (n > depth) {
        skewed_steps<V, U, N, true>(link, s1, s2, y, 0, depth, n, units);
        skewed_steps<V, U, N, false>(link, s1, s2, y, depth, n, n, units);
        skewed_steps<V, U, N, true>(link, s1, s2, y, n, n + depth, n, units);
    } else {
        skewed_steps<V, U, N, true>(link, s1, s2, y, 0, n + depth, n, units);
    }
    for (std::size_t j = 0; j < N; ++j) {
        const V a = flushed(s1[j]), b = flushed(s2[j]);
        for (std::size_t l = 0; l < kWidth; ++l)
            if (BiquadState* h = link[j].unit->home[l]) *h = BiquadState{a[l], b[l]};
    }
}

// Units in one pass at most: their states and outputs take three registers each. A channel's
// units always fit in one pass.
constexpr std::size_t kPassUnits = 8;
static_assert(LanePlan::kUnits <= kPassUnits);

template <class V, class U, std::size_t... N>
MIXENGINE_LANE_INLINE void skewed_pass_of(std::size_t units, const SkewedLink<U>* link,
                                          std::ptrdiff_t n, std::ptrdiff_t depth,
                                          const BiquadState* spare,
                                          std::index_sequence<N...>) noexcept {
    ((units == N + 1 ? skewed_pass<V, U, N + 1>(link, n, depth, spare) : void()), ...);
}

// The skewed form of a plan over n frames: channels in passes of up to kPassUnits units, each
// unit of kPair of the plan's side by side (made by `unit`, which also counts them).
template <class V, class U, std::size_t kPair, class MakeUnit>
MIXENGINE_LANE_INLINE void skewed_passes(const std::size_t* counts, float* const* bufs,
                                         const BiquadState* spare, std::size_t n,
                                         MakeUnit unit) noexcept {
    SkewedLink<U> link[kPassUnits];
    std::size_t used = 0;
    std::ptrdiff_t depth = 0;
    for (std::size_t c = 0; c <= kBiquadLanes; ++c) {
        const std::size_t count = c < kBiquadLanes ? (counts[c] + kPair - 1) / kPair : 0;
        if (c < kBiquadLanes && count == 0) continue;
        if (used > 0 && (c == kBiquadLanes || used + count > kPassUnits)) {
            skewed_pass_of<V, U>(used, link, std::ptrdiff_t(n), depth, spare,
                                 std::make_index_sequence<kPassUnits>{});
            used = 0, depth = 0;
        }
        if (c == kBiquadLanes) break;
        const std::ptrdiff_t lag = kWidthOf<V> * std::ptrdiff_t(count) - 1;
        depth = std::max(depth, lag);
        for (std::size_t v = 0; v < count; ++v, ++used)
            link[used] = SkewedLink<U>{unit(c, v, used), bufs[c], std::ptrdiff_t(v), lag, v == 0,
                                       v + 1 == count};
    }
}

MIXENGINE_SIMD_CLONES
void skewed_sweeps(const Unit* units, const std::size_t* counts, float* const* bufs,
                   const BiquadState* spare, std::size_t n) noexcept {
    // A lambda would be compiled apart from this function's versions, for the plain machine.
    struct Plain {
        const Unit* units;
        const Unit* operator()(std::size_t c, std::size_t v, std::size_t) const noexcept {
            return &units[c * LanePlan::kUnits + v];
        }
    };
    skewed_passes<Lanes, Unit, 1>(counts, bufs, spare, n, Plain{units});
}

#if MIXENGINE_HAS_WIDE
MIXENGINE_WIDE
void wide_skewed_sweeps(const Unit* units, const std::size_t* counts, float* const* bufs,
                        const BiquadState* spare, std::size_t n) noexcept {
    // Units v = 2 w and 2 w + 1 of a channel in lanes 0-7 and 8-15 of its wide unit w; a channel
    // of an odd count passes the last one's upper lanes through.
    struct Paired {
        const Unit* units;
        const std::size_t* counts;
        WideUnit* made;
        const WideUnit* operator()(std::size_t c, std::size_t w, std::size_t slot) const noexcept {
            WideUnit& u = made[slot];
            for (std::size_t h = 0; h < 2; ++h) {
                const std::size_t v = 2 * w + h, at = h * kBiquadLanes;
                if (v < counts[c]) {
                    const Unit& from = units[c * LanePlan::kUnits + v];
                    for (std::size_t k = 0; k < 5; ++k)
                        std::memcpy(u.coeffs[k] + at, from.coeffs[k], sizeof from.coeffs[k]);
                    std::copy(from.home.begin(), from.home.end(), u.home.begin() + at);
                } else {
                    for (std::size_t k = 0; k < 5; ++k)
                        std::fill_n(u.coeffs[k] + at, kBiquadLanes, k == 0 ? 1.0f : 0.0f);
                    std::fill_n(u.home.begin() + at, kBiquadLanes, nullptr);
                }
            }
            return &u;
        }
    };
    WideUnit made[kPassUnits];
    skewed_passes<Wide, WideUnit, 2>(counts, bufs, spare, n, Paired{units, counts, made});
}
#endif

constexpr std::size_t kBankGroups = kBankStages / kBiquadLanes;

// Every stage of a bank over the same n samples, summing the squares of the outputs.
MIXENGINE_SIMD_CLONES
void bank_sweep(Tdf2<Lanes>* stages, Lanes* power, const float* samples, std::size_t n) noexcept {
    Tdf2<Lanes> f[kBankGroups];
    Lanes p[kBankGroups];
    for (std::size_t g = 0; g < kBankGroups; ++g) f[g] = stages[g], p[g] = power[g];
    for (std::size_t i = 0; i < n; ++i) {
        const Lanes x = simd::splat(samples[i]);
        for (std::size_t g = 0; g < kBankGroups; ++g) {
            const Lanes y = tdf2_step(f[g], x);
            p[g] += y * y;
        }
    }
    for (std::size_t g = 0; g < kBankGroups; ++g) stages[g] = f[g], power[g] = p[g];
}

// Walks a channel's stage lists (up to four, run in order as one) stage by stage.
struct StageCursor {
    std::array<LaneStages, 4> lists{};
    std::size_t list = 0, stage = 0;

    bool next(const BiquadCoeffs*& c, BiquadState*& s) noexcept {
        for (; list < lists.size(); ++list, stage = 0) {
            const LaneStages& k = lists[list];
            const std::size_t count = std::min(k.stages.size(), k.states.size());
            if (stage < count) {
                c = &k.stages[stage];
                s = &k.states[stage];
                ++stage;
                return true;
            }
        }
        return false;
    }
};

// The lane form, for either kind of channel list: four stages of every lane per sweep over the
// interleaved chunk, flushing tiny states afterwards only when `flush` says so.
void run_cursors_in_lanes(StageCursor (&cursor)[kBiquadLanes], float* const (&bufs)[kBiquadLanes],
                          std::size_t n, float* scratch, bool flush) noexcept {
    bool loaded = false;
    for (;;) {
        Tdf2<Lanes> st[kSweep];
        BiquadState* home[kSweep][kBiquadLanes] = {};
        bool any = false;
        for (std::size_t g = 0; g < kSweep; ++g) {
            for (std::size_t l = 0; l < kBiquadLanes; ++l) {
                const BiquadCoeffs* c = nullptr;
                BiquadState* s = nullptr;
                if (cursor[l].next(c, s)) {
                    set_lane(st[g], l, *c, *s);
                    home[g][l] = s;
                    any = true;
                } else {
                    set_lane(st[g], l, BiquadCoeffs{}, BiquadState{});  // pass-through
                }
            }
        }
        if (!any) break;
        if (!loaded) {
            simd::interleave(bufs, 0, n, scratch);
            loaded = true;
        }
        lane_sweep(st, scratch, n);
        for (std::size_t g = 0; g < kSweep; ++g) {
            for (std::size_t l = 0; l < kBiquadLanes; ++l) {
                if (!home[g][l]) continue;
                *home[g][l] = lane_state(st[g], l);
                if (flush) flush_biquad_state(*home[g][l]);
            }
        }
    }
    if (loaded) simd::deinterleave(scratch, 0, n, bufs);
}

}  // namespace

void run_stages(std::span<const BiquadCoeffs> stages, std::span<BiquadState> states, float* buf,
                std::size_t n) noexcept {
    const std::size_t count = stages.size() < states.size() ? stages.size() : states.size();
    const BiquadCoeffs* c = stages.data();
    BiquadState* st = states.data();
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) run_sweep<4>(c + k, st + k, buf, n);
    switch (count - k) {
        case 3:
            run_sweep<3>(c + k, st + k, buf, n);
            break;
        case 2:
            run_sweep<2>(c + k, st + k, buf, n);
            break;
        case 1:
            run_sweep<1>(c + k, st + k, buf, n);
            break;
        default:
            break;
    }
}

void run_biquad(const BiquadCoeffs& c, BiquadState& st, float* buf, std::size_t n) noexcept {
    run_sweep<1>(&c, &st, buf, n);
}

// Tiny states are zeroed so that decaying filters never reach denormals. A state that is not
// finite (an overflow upstream) is zeroed too: it would otherwise stay NaN for good, because
// states survive redesigns, and silence everything summed after it.
void flush_biquad_state(BiquadState& st) noexcept {
    if (!(std::fabs(st.s1) >= kBiquadFlushBelow && std::fabs(st.s1) <= kBiquadFiniteMax))
        st.s1 = 0.0f;
    if (!(std::fabs(st.s2) >= kBiquadFlushBelow && std::fabs(st.s2) <= kBiquadFiniteMax))
        st.s2 = 0.0f;
}

void restart_if_broken(std::span<BiquadState> states) noexcept {
    for (BiquadState& s : states)
        if (!std::isfinite(s.s1) || !std::isfinite(s.s2)) s = BiquadState{};
}

namespace {

void channel_cursors(std::span<const LaneChannel> channels, StageCursor (&cursor)[kBiquadLanes],
                     float* (&bufs)[kBiquadLanes]) noexcept {
    const std::size_t lanes = std::min(channels.size(), kBiquadLanes);
    for (std::size_t l = 0; l < lanes; ++l) {
        for (std::size_t k = 0; k < 4; ++k)
            if (BiquadCascade* c = channels[l].cascades[k])
                cursor[l].lists[k] = LaneStages{nullptr, c->stages(), c->states()};
        bufs[l] = channels[l].buf;
    }
}

// Lays a planned set out for the skewed form: each channel's stages eight to a unit, the last
// unit filled up with pass-throughs.
using Units = std::array<LanePlan::Unit, kBiquadLanes * LanePlan::kUnits>;
void skew(std::span<const LaneChannel> channels, Units& units,
          std::array<std::size_t, kBiquadLanes>& unit_count) noexcept {
    StageCursor walk[kBiquadLanes];
    float* bufs[kBiquadLanes] = {};
    channel_cursors(channels, walk, bufs);
    for (std::size_t c = 0; c < kBiquadLanes; ++c) {
        std::size_t stages = 0;
        const BiquadCoeffs* k = nullptr;
        BiquadState* st = nullptr;
        for (bool more = walk[c].next(k, st); more; ++stages) {
            LanePlan::Unit& u = units[c * LanePlan::kUnits + stages / kBiquadLanes];
            const std::size_t l = stages % kBiquadLanes;
            u.coeffs[0][l] = k->b0, u.coeffs[1][l] = k->b1, u.coeffs[2][l] = k->b2;
            u.coeffs[3][l] = k->a1, u.coeffs[4][l] = k->a2;
            u.home[l] = st;
            more = walk[c].next(k, st);
        }
        unit_count[c] = (stages + kBiquadLanes - 1) / kBiquadLanes;
        for (; stages % kBiquadLanes != 0; ++stages) {
            LanePlan::Unit& u = units[c * LanePlan::kUnits + stages / kBiquadLanes];
            const std::size_t l = stages % kBiquadLanes;
            u.coeffs[0][l] = 1.0f;
            u.coeffs[1][l] = u.coeffs[2][l] = u.coeffs[3][l] = u.coeffs[4][l] = 0.0f;
            u.home[l] = nullptr;
        }
    }
}

// Whether the skewed form is the cheaper for n frames: the plain one runs every sweep over the
// chunk whatever its lanes hold; the skewed one runs each unit over the chunk and seven steps
// more, and a unit step costs about a third more than a stage of a sweep (the lane shift). A
// chunk no longer than the pipeline never runs it full, and the steps at its ends, with their
// masks and tests, cost the gain: measured with the latency benchmark.
bool skewed_pays(const std::array<std::size_t, kBiquadLanes>& unit_count, std::size_t stages,
                 std::size_t n) noexcept {
    std::size_t units = 0, longest = 0;
    for (std::size_t c : unit_count) units += c, longest = std::max(longest, c);
    if (n < kBiquadLanes * longest) return false;
    return 4 * units * (n + kBiquadLanes - 1) < 3 * stages * n;
}

// Lays the stages the cursors walk out as sweeps of four stages of every lane, at most `max` of
// them, into coeffs [sweep][stage][b0, b1, b2, a1, a2][lane] and homes [sweep][stage][lane] (null:
// a pass-through), each sweep marked whole where every lane keeps its four states side by side;
// whether they all fit.
bool gather_sweeps(StageCursor (&walk)[kBiquadLanes], std::size_t max, float* coeffs_out,
                   BiquadState** homes_out, bool* whole_out, std::size_t& sweeps,
                   std::size_t& last_stages) noexcept {
    sweeps = 0;
    for (;;) {
        float coeffs[kSweep][5][kBiquadLanes];
        BiquadState* home[kSweep][kBiquadLanes] = {};
        bool any = false;
        std::size_t used = 0;
        for (std::size_t g = 0; g < kSweep; ++g)
            for (std::size_t l = 0; l < kBiquadLanes; ++l) {
                const BiquadCoeffs* c = nullptr;
                BiquadState* s = nullptr;
                const BiquadCoeffs pass{};
                if (walk[l].next(c, s)) {
                    home[g][l] = s;
                    any = true;
                    used = g + 1;
                } else {
                    c = &pass;
                }
                coeffs[g][0][l] = c->b0, coeffs[g][1][l] = c->b1, coeffs[g][2][l] = c->b2;
                coeffs[g][3][l] = c->a1, coeffs[g][4][l] = c->a2;
            }
        if (!any) return true;
        if (sweeps == max) return false;
        std::memcpy(coeffs_out + sweeps * sizeof coeffs / sizeof(float), coeffs, sizeof coeffs);
        std::memcpy(homes_out + sweeps * kSweep * kBiquadLanes, home, sizeof home);
        bool whole = used == kSweep;
        for (std::size_t l = 0; l < kBiquadLanes && whole; ++l)
            for (std::size_t g = 1; g < kSweep && whole; ++g)
                whole = home[0][l] ? home[g][l] == home[0][l] + g : !home[g][l];
        whole_out[sweeps] = whole;
        ++sweeps;
        last_stages = used;
    }
}

}  // namespace

bool LanePlan::follow(std::span<const LaneChannel> channels) noexcept {
    const std::size_t lanes = std::min(channels.size(), kBiquadLanes);
    bool same = built_ && lanes_ == lanes;
    for (std::size_t l = 0; l < lanes && same; ++l)
        for (std::size_t k = 0; k < 4 && same; ++k) {
            const BiquadCascade* c = channels[l].cascades[k];
            same = cascades_[l * 4 + k] == c && (!c || versions_[l * 4 + k] == c->version());
        }
    if (same) return fits_;
    built_ = true;
    lanes_ = lanes;
    for (std::size_t l = 0; l < kBiquadLanes; ++l)
        for (std::size_t k = 0; k < 4; ++k) {
            const BiquadCascade* c = l < lanes ? channels[l].cascades[k] : nullptr;
            cascades_[l * 4 + k] = c;
            versions_[l * 4 + k] = c ? c->version() : 0;
        }
    StageCursor walk[kBiquadLanes];
    float* bufs[kBiquadLanes] = {};
    channel_cursors(channels, walk, bufs);
    fits_ = gather_sweeps(walk, kSweeps, coeffs_.data(), homes_.data(), whole_.data(), sweeps_,
                          last_stages_);
    if (fits_) skew(channels, units_, unit_count_);
    return fits_;
}

bool LanePlan::skewed(std::size_t n) const noexcept {
    return sweeps_ > 0 && skewed_pays(unit_count_, (sweeps_ - 1) * kSweep + last_stages_, n);
}

namespace {

void run_unplanned(std::span<const LaneChannel> channels, std::size_t n, float* scratch) noexcept {
    StageCursor cursor[kBiquadLanes];
    float* bufs[kBiquadLanes] = {};
    channel_cursors(channels, cursor, bufs);
    run_cursors_in_lanes(cursor, bufs, n, scratch, true);
}

}  // namespace

void LanePlan::run(std::span<const LaneChannel> channels, std::size_t n, float* scratch) noexcept {
    if (sweeps_ == 0) return;
    float* bufs[kBiquadLanes] = {};
    for (std::size_t l = 0; l < lanes_; ++l) bufs[l] = channels[l].buf;
    if (skewed(n)) {
#if MIXENGINE_HAS_WIDE
        if (simd::wide())
            return wide_skewed_sweeps(units_.data(), unit_count_.data(), bufs, spare_.data(), n);
#endif
        return skewed_sweeps(units_.data(), unit_count_.data(), bufs, spare_.data(), n);
    }
    simd::interleave(bufs, 0, n, scratch);
#if MIXENGINE_HAS_WIDE
    // The two steps at the chunk's ends, where half the lanes idle, cost what a short chunk saves.
    if (simd::wide() && sweeps_ > 1 && n >= kLaggedFrom)
        lagged_sweeps(sweeps(), scratch, n);
    else
#endif
        planned_sweeps(sweeps(), scratch, n);
    simd::deinterleave(scratch, 0, n, bufs);
}

void run_in_lanes(std::span<const LaneChannel> channels, std::size_t n, float* scratch,
                  LanePlan* plan) noexcept {
    if (plan && plan->follow(channels)) return plan->run(channels, n, scratch);
    run_unplanned(channels, n, scratch);
}

void run_sets_in_lanes(std::span<const LaneChannel> channels, std::span<LanePlan> plans,
                       std::size_t n, float* scratch, [[maybe_unused]] FramesHook then) noexcept {
    const std::size_t sets =
        std::min(plans.size(), (channels.size() + kBiquadLanes - 1) / kBiquadLanes);
    auto set = [&](std::size_t k) {
        const std::size_t first = k * kBiquadLanes;
        return channels.subspan(first, std::min(kBiquadLanes, channels.size() - first));
    };
    // Each plan follows its set once a chunk, a set ahead, so that a pair is known before it runs.
    auto follows = [&](std::size_t k) { return k < sets && plans[k].follow(set(k)); };
    bool fits = follows(0);
    for (std::size_t k = 0; k < sets; ++k) {
        const bool next_fits = follows(k + 1);
#if MIXENGINE_HAS_WIDE
        // Sets that run skewed keep that form: their lanes are full already.
        auto pairs = [&](const LanePlan& p) { return p.sweeps_ > 0 && !p.skewed(n); };
        if (simd::wide() && fits && next_fits && pairs(plans[k]) && pairs(plans[k + 1])) {
            float* bufs[2][kBiquadLanes] = {};
            for (std::size_t h = 0; h < 2; ++h) {
                for (std::size_t l = 0; l < plans[k + h].lanes_; ++l)
                    bufs[h][l] = set(k + h)[l].buf;
                simd::interleave(bufs[h], 0, n, scratch + h * kBiquadLanes, simd::kWideLanes);
            }
            const SweepPlan both[2] = {plans[k].sweeps(), plans[k + 1].sweeps()};
            wide_sweeps(both, scratch, n);
            if (then.run && plans[k].lanes_ + plans[k + 1].lanes_ == simd::kWideLanes)
                then.run(then.context, k * kBiquadLanes, scratch, n);
            for (std::size_t h = 0; h < 2; ++h)
                simd::deinterleave(scratch + h * kBiquadLanes, 0, n, bufs[h], simd::kWideLanes);
            ++k;
            fits = follows(k + 1);
            continue;
        }
#endif
        if (fits)
            plans[k].run(set(k), n, scratch);
        else
            run_unplanned(set(k), n, scratch);
        fits = next_fits;
    }
}

namespace {

// The stages of one set of stage lists, gathered for one call: lists that change too often to
// keep a plan for (the notches), or cost too little to gather to need one.
struct CallSweeps {
    static constexpr std::size_t kMax = 4;  // sweeps: sixteen stages a lane
    float coeffs[kMax * kSweep * 5 * kBiquadLanes];
    BiquadState* homes[kMax * kSweep * kBiquadLanes];
    bool whole[kMax];
    BiquadState spare[kSweep] = {};
    std::size_t sweeps = 0, last_stages = 0;
    float* bufs[kBiquadLanes] = {};

    // Whether the set fits.
    bool gather(std::span<const LaneStages> set) noexcept {
        StageCursor walk[kBiquadLanes];
        for (std::size_t l = 0; l < set.size(); ++l) {
            walk[l].lists[0] = set[l];
            bufs[l] = set[l].buf;
        }
        return gather_sweeps(walk, kMax, coeffs, homes, whole, sweeps, last_stages);
    }
    SweepPlan plan() noexcept { return {coeffs, homes, whole, spare, sweeps, last_stages, false}; }
};

void run_stage_set(std::span<const LaneStages> set, std::size_t n, float* scratch) noexcept {
    StageCursor cursor[kBiquadLanes];
    float* bufs[kBiquadLanes] = {};
    for (std::size_t l = 0; l < set.size(); ++l) {
        cursor[l].lists[0] = set[l];
        bufs[l] = set[l].buf;
    }
    run_cursors_in_lanes(cursor, bufs, n, scratch, false);
}

#if MIXENGINE_HAS_WIDE
// Sets of eight in sixteen lanes: two sets side by side, or a set alone with its sweeps two at a
// time, the second a few samples behind the first, as planned sets run. Gives how many of the
// channels it ran: sets whose stages do not fit a call's gathering run as run_stage_set does.
std::size_t run_stage_sets_wide(std::span<const LaneStages> channels, std::size_t n,
                                float* scratch) noexcept {
    std::size_t first = 0;
    while (first < channels.size()) {
        const std::size_t a_lanes = std::min(channels.size() - first, kBiquadLanes);
        const std::size_t b_lanes = std::min(channels.size() - first - a_lanes, kBiquadLanes);
        CallSweeps a, b;
        if (!a.gather(channels.subspan(first, a_lanes))) return first;
        if (b_lanes > 0 && b.gather(channels.subspan(first + a_lanes, b_lanes)) && a.sweeps > 0 &&
            b.sweeps > 0) {
            simd::interleave(a.bufs, 0, n, scratch, simd::kWideLanes);
            simd::interleave(b.bufs, 0, n, scratch + kBiquadLanes, simd::kWideLanes);
            const SweepPlan both[2] = {a.plan(), b.plan()};
            wide_sweeps(both, scratch, n);
            simd::deinterleave(scratch, 0, n, a.bufs, simd::kWideLanes);
            simd::deinterleave(scratch + kBiquadLanes, 0, n, b.bufs, simd::kWideLanes);
            first += a_lanes + b_lanes;
            continue;
        }
        first += a_lanes;
        if (a.sweeps == 0) continue;  // no stages: nothing to move
        simd::interleave(a.bufs, 0, n, scratch);
        if (a.sweeps > 1)
            lagged_sweeps(a.plan(), scratch, n);
        else
            planned_sweeps(a.plan(), scratch, n);
        simd::deinterleave(scratch, 0, n, a.bufs);
    }
    return first;
}
#endif

}  // namespace

void run_stages_in_lanes(std::span<const LaneStages> channels, std::size_t n,
                         float* scratch) noexcept {
    std::size_t first = 0;
#if MIXENGINE_HAS_WIDE
    if (simd::wide() && n >= kLaggedFrom) first = run_stage_sets_wide(channels, n, scratch);
#endif
    for (; first < channels.size(); first += kBiquadLanes)
        run_stage_set(channels.subspan(first, std::min(channels.size() - first, kBiquadLanes)), n,
                      scratch);
}

void run_bank(BiquadBank& bank, const float* samples, std::size_t n) noexcept {
    Tdf2<Lanes> st[kBankGroups];
    Lanes power[kBankGroups];
    for (std::size_t g = 0; g < kBankGroups; ++g) {
        for (std::size_t l = 0; l < kBiquadLanes; ++l) {
            const std::size_t k = g * kBiquadLanes + l;
            set_lane(st[g], l, bank.coeffs[k], bank.states[k]);
            power[g][l] = bank.power[k];
        }
    }
    bank_sweep(st, power, samples, n);
    for (std::size_t g = 0; g < kBankGroups; ++g) {
        for (std::size_t l = 0; l < kBiquadLanes; ++l) {
            const std::size_t k = g * kBiquadLanes + l;
            bank.states[k] = lane_state(st[g], l);
            bank.power[k] = power[g][l];
        }
    }
}

BiquadCascade::BiquadCascade() {
    stages_.reserve(kCascadeReserve);
    states_.reserve(kCascadeReserve);
}

void BiquadCascade::set_stages(std::span<const BiquadCoeffs> stages) {
    ++version_;
    stages_.assign(stages.begin(), stages.end());
    if (states_.size() < stages_.size()) states_.resize(stages_.size());
}

void BiquadCascade::run(float* buf, std::size_t n) noexcept {
    run_stages(stages_, states_, buf, n);
    const std::size_t used = std::min(stages_.size(), states_.size());
    for (std::size_t k = 0; k < used; ++k) flush_biquad_state(states_[k]);
}

BiquadCoeffs design_biquad(std::string_view type, double f_hz, double g_db, double q,
                           double sample_rate) {
    const double fs = sample_rate;
    const double fmax = fs / 2.1;
    if (!(fmax >= 10.0)) return {};

    constexpr double kButterworthQ = 0.7071067811865476;
    if (type == "lcut") {
        type = "hp";
        q = kButterworthQ;
        g_db = 0.0;
    } else if (type == "hcut") {
        type = "lp";
        q = kButterworthQ;
        g_db = 0.0;
    }
    // A gain that is not a number would poison the stage's state for good; treat it as flat.
    if (!std::isfinite(g_db)) g_db = 0.0;

    const double f = std::fmin(std::fmax(f_hz, 10.0), fmax);
    const double w0 = 2.0 * std::numbers::pi * f / fs;
    const double c = std::cos(w0);
    const double sn = std::sin(w0);
    const double A = std::pow(10.0, g_db / 40.0);
    const double Q = std::fmax(q, 0.1);  // fmax also turns a NaN q into 0.1
    const double alpha = sn / (2.0 * Q);

    double b0, b1, b2, a0, a1, a2;
    if (type == "hp") {
        b0 = (1.0 + c) / 2.0;
        b1 = -(1.0 + c);
        b2 = (1.0 + c) / 2.0;
        a0 = 1.0 + alpha;
        a1 = -2.0 * c;
        a2 = 1.0 - alpha;
    } else if (type == "lp") {
        b0 = (1.0 - c) / 2.0;
        b1 = 1.0 - c;
        b2 = (1.0 - c) / 2.0;
        a0 = 1.0 + alpha;
        a1 = -2.0 * c;
        a2 = 1.0 - alpha;
    } else if (type == "bp") {
        b0 = alpha;
        b1 = 0.0;
        b2 = -alpha;
        a0 = 1.0 + alpha;
        a1 = -2.0 * c;
        a2 = 1.0 - alpha;
    } else if (type == "hp1") {
        const double K = std::tan(w0 / 2.0);
        b0 = 1.0;
        b1 = -1.0;
        b2 = 0.0;
        a0 = K + 1.0;
        a1 = K - 1.0;
        a2 = 0.0;
    } else if (type == "lshv") {
        const double sa = 2.0 * std::sqrt(A) * alpha;
        b0 = A * ((A + 1.0) - (A - 1.0) * c + sa);
        b1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * c);
        b2 = A * ((A + 1.0) - (A - 1.0) * c - sa);
        a0 = (A + 1.0) + (A - 1.0) * c + sa;
        a1 = -2.0 * ((A - 1.0) + (A + 1.0) * c);
        a2 = (A + 1.0) + (A - 1.0) * c - sa;
    } else if (type == "hshv") {
        const double sa = 2.0 * std::sqrt(A) * alpha;
        b0 = A * ((A + 1.0) + (A - 1.0) * c + sa);
        b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * c);
        b2 = A * ((A + 1.0) + (A - 1.0) * c - sa);
        a0 = (A + 1.0) - (A - 1.0) * c + sa;
        a1 = 2.0 * ((A - 1.0) - (A + 1.0) * c);
        a2 = (A + 1.0) - (A - 1.0) * c - sa;
    } else {
        b0 = 1.0 + alpha * A;
        b1 = -2.0 * c;
        b2 = 1.0 - alpha * A;
        a0 = 1.0 + alpha / A;
        a1 = -2.0 * c;
        a2 = 1.0 - alpha / A;
    }
    return {static_cast<float>(b0 / a0), static_cast<float>(b1 / a0), static_cast<float>(b2 / a0),
            static_cast<float>(a1 / a0), static_cast<float>(a2 / a0)};
}

std::vector<BiquadCoeffs> design_graphic(std::span<const float> gains_db, double sample_rate) {
    std::vector<BiquadCoeffs> out;
    const std::size_t n = gains_db.size() < 31 ? gains_db.size() : 31;
    for (std::size_t i = 0; i < n; ++i) {
        const float g = gains_db[i];
        // A non-finite gain (a broken correction curve) is skipped like an inaudible one.
        if (!std::isfinite(g) || std::fabs(g) < 0.05f) continue;
        if (!(kGraphicCentresHz[i] < sample_rate / 2.2)) continue;
        out.push_back(design_biquad("peq", kGraphicCentresHz[i], g, 4.32, sample_rate));
    }
    return out;
}

std::vector<BiquadCoeffs> design_hpf(const Hpf& hpf, double sample_rate) {
    const double f = hpf.f;
    switch (hpf.slope) {
        case 18:
            return {design_biquad("hp1", f, 0.0, 0.0, sample_rate),
                    design_biquad("hp", f, 0.0, 1.0, sample_rate)};
        case 24:
            return {design_biquad("hp", f, 0.0, 0.541, sample_rate),
                    design_biquad("hp", f, 0.0, 1.307, sample_rate)};
        default:
            return {design_biquad("hp", f, 0.0, 0.7071067811865476, sample_rate)};
    }
}

std::vector<BiquadCoeffs> design_bands(std::span<const Band> bands, double sample_rate) {
    std::vector<BiquadCoeffs> out;
    out.reserve(bands.size());
    for (const Band& b : bands) out.push_back(design_biquad(b.type, b.f, b.g, b.q, sample_rate));
    return out;
}

}  // namespace mixengine
