// The canceller's adaptive filter; see nlms.h.
#include "nlms.h"

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
// that and gain from the width.
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
