// The canceller's adaptive filter; see nlms.h.
#include "nlms.h"

#include <algorithm>
#include <cstring>

#include "simd.h"

namespace mixengine {

namespace {

constexpr float kStep = 0.03f;         // normalised LMS step size
constexpr float kLeak = 0.999999f;     // per-sample weight leak (0.99999899 in single precision)
constexpr float kEnergyFloor = 1e-6f;  // keeps the normalisation finite
constexpr float kEnergyGuard = 1e-5f;  // below this the reference is too quiet to learn from

using simd::Lanes;
// Sixteen taps as one value: one AVX-512 register, two AVX2 ones, four SSE ones, and in each case
// lane for lane the same arithmetic. A job alone runs in eight-tap values: wider ones cross a
// cache line on most loads of the sliding window and measured slower there; interleaved jobs hide
// that and gain from the width. Groups of sixteen jobs take one job to a lane.
typedef float Wide __attribute__((vector_size(64)));
constexpr std::size_t kTaps = kBleedTaps;
static_assert(kTaps % 32 == 0);

// The dot product is summed in 32 partial sums, tap i going to sum i % 32, each over its taps in
// order; the partial sums are then added in a tree fixed here. That order is the code's, not the
// scalar definition's, and the same for every instruction set and for either width below.
MIXENGINE_LANE_INLINE float lane_total(Lanes v) noexcept {
    return ((v[0] + v[4]) + (v[1] + v[5])) + ((v[2] + v[6]) + (v[3] + v[7]));
}
MIXENGINE_LANE_INLINE float total(const Lanes (&a)[4]) noexcept {
    return lane_total((a[0] + a[1]) + (a[2] + a[3]));
}
MIXENGINE_LANE_INLINE float total(const Wide (&a)[2]) noexcept {
    Lanes h[4];
    std::memcpy(h, a, sizeof h);
    return lane_total((h[0] + h[1]) + (h[2] + h[3]));
}

template <class V>
MIXENGINE_LANE_INLINE V load_v(const float* p) noexcept {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The leak, as applied once per update, in double: the weights are kept divided by the leak's
// running power, so an update is one multiply-add per tap instead of two multiplies and an add.
constexpr double kLeakD = double(kLeak);
constexpr double kUnleakD = 1.0 / double(kLeak);

// One job's running values inside nlms_run. The weights in memory are the filter's weights
// divided by `leak` (the leak factor to the power of the updates so far in this call); the window
// energy is a running sum in double, taken afresh from the whole ring at each call, so that it
// cannot drift further than one block's worth of rounding.
struct Running {
    float* w;
    float* win;
    std::size_t index;
    double energy;
    double leak = 1.0, unleak = 1.0;
};

// Writes the job's next reference sample into the ring (both copies) and moves the energy by it.
MIXENGINE_LANE_INLINE void push(Running& r, float u) noexcept {
    const float old = r.win[r.index];
    r.energy += double(u) * double(u) - double(old) * double(old);
    r.win[r.index] = u;
    r.win[r.index + kTaps] = u;
}

MIXENGINE_LANE_INLINE std::size_t next_index(std::size_t i) noexcept {
    return i == 0 ? kTaps - 1 : i - 1;
}

// One pass over the taps of a job at sample k: with kUpdate, the weights learn from window k by
// `step`; with kDot, the dot product of sample k + 1 is summed from the (new) weights. Window
// k + 1 is window k one place down, except its last tap, the sample k + 1 itself, which is not yet
// in the ring (that place still holds what window k needs): it comes in as `u_next`.
template <bool kUpdate, bool kDot, class V>
MIXENGINE_LANE_INLINE void pass(const Running& r, float step, float u_next,
                                V (&y)[32 / (sizeof(V) / sizeof(float))]) noexcept {
    constexpr std::size_t kWidth = sizeof(V) / sizeof(float);
    constexpr std::size_t kSums = 32 / kWidth;
    const V ev = V{} + step;
    const float* x = r.win + r.index + 1;  // window k
    const float* x1 = r.win + r.index;     // window k + 1 but its last tap
    for (std::size_t j = 0; j < kSums; ++j) y[j] = V{};
    for (std::size_t i = 0; i < kTaps; i += 32) {
        for (std::size_t j = 0; j < kSums; ++j) {
            const std::size_t t = i + j * kWidth;
            V wv = load_v<V>(r.w + t);
            if constexpr (kUpdate) {
                wv = wv + ev * load_v<V>(x + t);
                std::memcpy(r.w + t, &wv, sizeof wv);
            }
            if constexpr (kDot) {
                V xv = load_v<V>(x1 + t);
                if (t + kWidth == kTaps) xv[kWidth - 1] = u_next;
                y[j] += wv * xv;
            }
        }
    }
}

// P jobs side by side, sample by sample, in values V of 8 or 16 taps. Each sample of a job
// depends on the weights its previous sample updated, a chain of some eighty cycles; the P chains
// are independent, so the processor overlaps them. A sample's weight update and the next
// sample's dot product share one pass over the weights.
template <std::size_t P, class V>
MIXENGINE_LANE_INLINE void run_jobs(const NlmsJob* jobs, std::size_t n) noexcept {
    constexpr std::size_t kWidth = sizeof(V) / sizeof(float);
    constexpr std::size_t kSums = 32 / kWidth;
    if (n == 0) return;
    Running r[P];
    V y[P][kSums];
    for (std::size_t p = 0; p < P; ++p) {
        NlmsFilter& f = *jobs[p].filter;
        double e = 0.0;
        for (std::size_t i = 0; i < kTaps; ++i) e += double(f.window[i]) * double(f.window[i]);
        r[p] = Running{f.weights.data(), f.window.data(), f.index, e};
        push(r[p], jobs[p].ref[0]);
        // The first sample's dot product: a pass over window 0 as "window k + 1" of the sample
        // before, whose last tap is the sample just written.
        r[p].index += 1;
        pass<false, true>(r[p], 0.0f, jobs[p].ref[0], y[p]);
        r[p].index -= 1;
    }
    for (std::size_t k = 0; k < n; ++k) {
        const bool more = k + 1 < n;
        for (std::size_t p = 0; p < P; ++p) {
            Running& rp = r[p];
            const float d = jobs[p].buf[k];
            const float yp = total(y[p]) * float(rp.leak);
            const float energy = kEnergyFloor + float(rp.energy > 0.0 ? rp.energy : 0.0);
            const float u_next = more ? jobs[p].ref[k + 1] : 0.0f;
            if (energy > kEnergyGuard) {
                rp.leak *= kLeakD;
                rp.unleak *= kUnleakD;
                const float step = (d - yp) * float(double(kStep) / double(energy) * rp.unleak);
                if (more)
                    pass<true, true>(rp, step, u_next, y[p]);
                else
                    pass<true, false>(rp, step, u_next, y[p]);
            } else if (more) {
                pass<false, true>(rp, 0.0f, u_next, y[p]);
            }
            jobs[p].buf[k] = d - yp * jobs[p].amount;
            rp.index = next_index(rp.index);
            if (more) push(rp, u_next);
        }
    }
    for (std::size_t p = 0; p < P; ++p) {
        NlmsFilter& f = *jobs[p].filter;
        f.index = r[p].index;
        if (r[p].leak != 1.0) {
            const V scale = V{} + float(r[p].leak);
            for (std::size_t i = 0; i < kTaps; i += kWidth) {
                const V wv = load_v<V>(f.weights.data() + i) * scale;
                std::memcpy(f.weights.data() + i, &wv, sizeof wv);
            }
        }
    }
}

// Sixteen jobs in the lanes of one value: lane l of every value belongs to job l, so that each
// tap is one aligned load of the sixteen references instead of a sliding load per job, and the
// jobs' chains are the lanes of one. Per lane the arithmetic is run_jobs' to the bit: the same
// partial sums in the same tree, the same running leak and energy, the same order of updates.
// The history holds the 192 samples before a piece and the piece itself (and the sample after
// it), a row of sixteen per sample.
constexpr std::size_t kGroup = sizeof(Wide) / sizeof(float);
constexpr std::size_t kPiece = 64;
constexpr std::size_t kRows = kTaps + kPiece + 1;
// A group costs the same however many lanes it fills. Measured on a Zen 5 core: 35 us per
// 256-frame block, where jobs three at a time take 4.8 us each, so from nine jobs a group is the
// faster; taking the jobs' memories into lanes and back costs it some samples' worth, so in
// chunks under 32 frames only from twelve, and under 16 frames never.
constexpr std::size_t kGroupFromFrames = 16;
constexpr std::size_t group_from(std::size_t n) noexcept {
    return n < 32 ? 12 : 9;
}

struct GroupMemory {
    Wide w[kTaps];
    Wide h[kRows];
    Wide d[kPiece];
};

typedef int32_t WideMask __attribute__((vector_size(sizeof(Wide))));

// A sample's terms of its step that depend on the references alone: the leak its estimate is
// scaled by, its factor, which lanes learn.
enum class Learning : uint8_t { None, Some, All };
struct SampleTerms {
    Wide leak, factor;
    WideMask on;
    Learning learning;
};

// One tap of a pass: x is its sample in this window, x_next in the next one.
template <bool kUpdate, bool kMasked, bool kDot>
MIXENGINE_LANE_INLINE Wide group_tap(Wide& weight, Wide x, Wide x_next, Wide step,
                                     WideMask on) noexcept {
    Wide w = weight;
    if constexpr (kUpdate) {
        const Wide nw = w + step * x;
        w = kMasked ? (on ? nw : w) : nw;
        weight = w;
    }
    return kDot ? w * x_next : Wide{};
}

// One run of a pass (see group_pass): the partial sums j .. j + 7, over taps j + 32 k .. j + 32 k
// + 7 for k = 0 .. 5, eight neighbours that share their rows: a row is one tap's sample in this
// window and the next tap's in the next, so the run loads nine rows where its taps one by one
// would load sixteen. Tap i < 191 of a window is the sample i + 1 before it, tap 191 the sample
// itself; `newest` is the sample's row.
constexpr std::size_t kRun = 8;
template <bool kUpdate, bool kMasked, bool kDot>
MIXENGINE_LANE_INLINE void group_run(GroupMemory& g, const Wide* newest, std::size_t j, Wide step,
                                     WideMask on, Wide (&sum)[kRun]) noexcept {
    // The loop over the taps stays a loop: unrolled whole, GCC would hold the stacked weights in
    // registers and spill them.
    for (std::size_t r = 0; r < kRun; ++r) sum[r] = Wide{};
#pragma GCC unroll 1
    for (std::size_t i = j; i < kTaps; i += 32) {
        const bool last = i + kRun == kTaps;  // tap 191 has rows of its own
        Wide next = newest[-std::ptrdiff_t(i)];
#pragma GCC unroll 8
        for (std::size_t r = 0; r < kRun; ++r) {
            const bool own = last && r + 1 == kRun;
            const Wide x = *(own ? newest : newest - (i + r + 1));
            sum[r] +=
                group_tap<kUpdate, kMasked, kDot>(g.w[i + r], x, own ? newest[1] : next, step, on);
            next = x;
        }
    }
}

// One pass at the sample in row `row`: the update from its window where `on` is set (all lanes,
// or only the masked ones), then the next sample's estimate from the new weights, its 32 partial
// sums (tap i to sum i % 32) added in run_jobs' tree lane by lane. The tree takes each run's sums
// as the run ends, so that little of it waits for the last one.
template <bool kUpdate, bool kMasked, bool kDot>
MIXENGINE_LANE_INLINE Wide group_pass(GroupMemory& g, std::size_t row, Wide step,
                                      WideMask on) noexcept {
    const Wide* newest = g.h + row;
    Wide a[kRun], b[kRun], t[kRun];
    group_run<kUpdate, kMasked, kDot>(g, newest, 0, step, on, a);
    group_run<kUpdate, kMasked, kDot>(g, newest, 8, step, on, b);
    for (std::size_t r = 0; r < kRun; ++r) t[r] = a[r] + b[r];
    group_run<kUpdate, kMasked, kDot>(g, newest, 16, step, on, a);
    group_run<kUpdate, kMasked, kDot>(g, newest, 24, step, on, b);
    for (std::size_t r = 0; r < kRun; ++r) t[r] = t[r] + (a[r] + b[r]);
    return ((t[0] + t[4]) + (t[1] + t[5])) + ((t[2] + t[6]) + (t[3] + t[7]));
}

typedef double Doubles __attribute__((vector_size(sizeof(Wide))));  // eight
typedef int64_t DoublesMask __attribute__((vector_size(sizeof(Wide))));

// The running values of run_jobs for sixteen jobs, in two halves of eight doubles.
struct GroupRunning {
    Doubles energy[2]{}, leak[2], unleak[2];

    static MIXENGINE_LANE_INLINE Doubles half(Wide v, std::size_t h) noexcept {
        Lanes x;
        std::memcpy(&x, reinterpret_cast<const float*>(&v) + 8 * h, sizeof x);
        return __builtin_convertvector(x, Doubles);
    }
    static MIXENGINE_LANE_INLINE Wide join(Doubles lo, Doubles hi) noexcept {
        const Lanes a = __builtin_convertvector(lo, Lanes), b = __builtin_convertvector(hi, Lanes);
        Wide v;
        std::memcpy(&v, &a, sizeof a);
        std::memcpy(reinterpret_cast<float*>(&v) + 8, &b, sizeof b);
        return v;
    }
};

MIXENGINE_SIMD_CLONES
void run_group(const NlmsJob* jobs, std::size_t count, std::size_t n) noexcept {
    static_assert(kGroup == 16);
    GroupMemory g;  // 32 KiB of stack and 16 for the terms, well within any audio thread's
    GroupRunning r;
    for (std::size_t h = 0; h < 2; ++h) r.leak[h] = r.unleak[h] = Doubles{} + 1.0;
    Wide amount{};
    // Lane l of row r at [r * kGroup + l]: the jobs' memories come in and go out through the
    // eight-lane transposes, a half of the lanes at a time. Lanes without a job stay silent.
    float* const lane_w = reinterpret_cast<float*>(g.w);
    float* const lane_h = reinterpret_cast<float*>(g.h);
    float* const lane_d = reinterpret_cast<float*>(g.d);
    const float* from[kGroup] = {};
    float* to[kGroup] = {};
    auto rows_in = [&](std::size_t at, std::size_t rows, float* dst) {
        for (std::size_t h = 0; h < kGroup; h += simd::kLanes)
            simd::interleave(from + h, at, rows, dst + h, kGroup);
    };
    auto rows_out = [&](const float* src, std::size_t at, std::size_t rows) {
        for (std::size_t h = 0; h < kGroup; h += simd::kLanes)
            simd::deinterleave(src + h, at, rows, to + h, kGroup);
    };
    std::memset(g.h, 0, sizeof g.h);
    // The window energies, each summed in the order run_jobs sums it, all jobs at once.
    for (std::size_t l = 0; l < count; ++l) from[l] = jobs[l].filter->window.data();
    rows_in(0, kTaps, lane_h);
    for (std::size_t i = 0; i < kTaps; ++i)
        for (std::size_t h = 0; h < 2; ++h) {
            const Doubles x = GroupRunning::half(g.h[i], h);
            r.energy[h] += x * x;
        }
    for (std::size_t l = 0; l < count; ++l) from[l] = jobs[l].filter->weights.data();
    rows_in(0, kTaps, lane_w);
    // Row r holds the sample 192 - r before the first one: the window from the oldest, reversed.
    for (std::size_t l = 0; l < count; ++l)
        from[l] = jobs[l].filter->window.data() + jobs[l].filter->index + 1;
    rows_in(0, kTaps, lane_h);
    std::reverse(g.h, g.h + kTaps);
    for (std::size_t l = 0; l < count; ++l) amount[l] = jobs[l].amount;
    Wide estimate{};  // of the next sample, before the leak
    SampleTerms terms[kPiece];
    std::size_t filled = 0;  // samples of the call in the history so far
    for (std::size_t first = 0; first < n; first += kPiece) {
        const std::size_t m = n - first < kPiece ? n - first : kPiece;
        if (first > 0) std::memmove(g.h, g.h + kPiece, (kTaps + 1) * sizeof(Wide));
        const std::size_t fill_to = std::min(n, first + m + 1);
        for (std::size_t l = 0; l < count; ++l) from[l] = jobs[l].ref;
        rows_in(filled, fill_to - filled, lane_h + (kTaps + filled - first) * kGroup);
        filled = fill_to;
        for (std::size_t l = 0; l < count; ++l) from[l] = jobs[l].buf;
        rows_in(first, m, lane_d);
        if (first == 0) estimate = group_pass<false, false, true>(g, kTaps - 1, Wide{}, WideMask{});
        // What a sample's step takes that no pass changes, a sample ahead of the passes: its
        // divisions then run beside the pass before, on a unit the passes leave idle.
        auto take_terms = [&](std::size_t k) {
            const Wide u = g.h[kTaps + k], old = g.h[k];
            Doubles en_d[2];
            for (std::size_t h = 0; h < 2; ++h) {
                const Doubles ud = GroupRunning::half(u, h), od = GroupRunning::half(old, h);
                r.energy[h] += ud * ud - od * od;
                en_d[h] = r.energy[h] > 0.0 ? r.energy[h] : Doubles{};
            }
            const Wide en = kEnergyFloor + GroupRunning::join(en_d[0], en_d[1]);
            SampleTerms& t = terms[k];
            t.leak = GroupRunning::join(r.leak[0], r.leak[1]);
            t.on = en > kEnergyGuard;
            Doubles factor[2];
            for (std::size_t h = 0; h < 2; ++h) {
                const Doubles en_h = GroupRunning::half(en, h);
                const DoublesMask learn = en_h > double(kEnergyGuard);
                r.leak[h] = learn ? r.leak[h] * kLeakD : r.leak[h];
                r.unleak[h] = learn ? r.unleak[h] * kUnleakD : r.unleak[h];
                factor[h] = double(kStep) / en_h * r.unleak[h];
            }
            t.factor = GroupRunning::join(factor[0], factor[1]);
            int32_t all = -1, any = 0;
            for (std::size_t l = 0; l < kGroup; ++l) all &= t.on[l], any |= t.on[l];
            t.learning = all ? Learning::All : any ? Learning::Some : Learning::None;
        };
        take_terms(0);
        for (std::size_t k = 0; k < m; ++k) {
            const std::size_t row = kTaps + k;
            const bool more = first + k + 1 < n;
            if (k + 1 < m) take_terms(k + 1);
            const SampleTerms& t = terms[k];
            const Wide yp = estimate * t.leak;
            const Wide step = t.on ? (g.d[k] - yp) * t.factor : Wide{};
            if (t.learning == Learning::All)
                estimate = more ? group_pass<true, false, true>(g, row, step, t.on)
                                : group_pass<true, false, false>(g, row, step, t.on);
            else if (t.learning == Learning::Some)
                estimate = more ? group_pass<true, true, true>(g, row, step, t.on)
                                : group_pass<true, true, false>(g, row, step, t.on);
            else if (more)
                estimate = group_pass<false, false, true>(g, row, step, t.on);
            g.d[k] = g.d[k] - yp * amount;
        }
        for (std::size_t l = 0; l < count; ++l) to[l] = jobs[l].buf;
        rows_out(lane_d, first, m);
        if (first + m == n) {
            // The ring as run_jobs leaves it: the sample `back` before the next one at
            // index + back, the last 192 rows reversed, and each half copied to the other.
            const std::size_t last = kTaps + m - 1;
            std::reverse(g.h + last + 1 - kTaps, g.h + last + 1);
            for (std::size_t l = 0; l < count; ++l) {
                NlmsFilter& f = *jobs[l].filter;
                f.index = (f.index + kTaps - n % kTaps) % kTaps;
                to[l] = f.window.data() + f.index + 1;
            }
            rows_out(lane_h + (last + 1 - kTaps) * kGroup, 0, kTaps);
            for (std::size_t l = 0; l < count; ++l) {
                NlmsFilter& f = *jobs[l].filter;
                float* w = f.window.data();
                const std::size_t lo = f.index + 1;  // written: lo .. lo + 191
                std::copy(w + lo, w + kTaps, w + lo + kTaps);
                std::copy(w + kTaps, w + lo + kTaps, w);
            }
        }
    }
    for (std::size_t l = 0; l < count; ++l) to[l] = jobs[l].filter->weights.data();
    rows_out(lane_w, 0, kTaps);
    for (std::size_t l = 0; l < count; ++l) {
        const double leak = r.leak[l / 8][l % 8];
        if (leak != 1.0)
            for (float& w : jobs[l].filter->weights) w *= float(leak);
    }
}

// Measured on one core for 32 cancelling strips: alone in eight-tap values as fast as before,
// pairs and triples of jobs in sixteen-tap values a quarter faster; fours gain nothing more. The
// shared update-and-dot pass, the leak kept aside and the running energy made the triples a
// fifth faster again (6.2 to 5.0 us per strip and 256-frame block); writing the three jobs'
// passes side by side gained nothing more: the loads of the sliding window, most of which cross
// a cache line, bound it.
MIXENGINE_SIMD_CLONES
void run_one(const NlmsJob* jobs, std::size_t n) noexcept {
    run_jobs<1, Lanes>(jobs, n);
}
MIXENGINE_SIMD_CLONES
void run_two(const NlmsJob* jobs, std::size_t n) noexcept {
    run_jobs<2, Wide>(jobs, n);
}
MIXENGINE_SIMD_CLONES
void run_three(const NlmsJob* jobs, std::size_t n) noexcept {
    run_jobs<3, Wide>(jobs, n);
}

}  // namespace

void nlms_run(std::span<const NlmsJob> jobs, std::size_t n) noexcept {
    std::size_t j = 0;
    if (n >= kGroupFromFrames)
        for (; jobs.size() - j >= group_from(n); j += std::min(kGroup, jobs.size() - j))
            run_group(jobs.data() + j, std::min(kGroup, jobs.size() - j), n);
    for (; j + 3 <= jobs.size(); j += 3) run_three(jobs.data() + j, n);
    if (jobs.size() - j == 2) run_two(jobs.data() + j, n);
    if (jobs.size() - j == 1) run_one(jobs.data() + j, n);
    for (const NlmsJob& job : jobs) {
        // Weights that have left the float range can never come back; start learning afresh.
        float check = 0.0f;
        for (float w : job.filter->weights) check += w * 0.0f;
        if (check != 0.0f) {
            job.filter->forget_weights();
            job.filter->forget_window();
        }
    }
}

}  // namespace mixengine
