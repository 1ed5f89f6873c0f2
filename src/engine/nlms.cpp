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

// The dot product and the window energy are summed in 32 partial sums, tap i going to sum i % 32,
// each over its taps in order; the partial sums are then added in a tree fixed here. That order
// is the code's, not the scalar definition's, and the same for every instruction set and for
// either width below.
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

// P jobs side by side, sample by sample, in values V of 8 or 16 taps. Each sample of a job
// depends on the weights its previous sample updated, a chain of some eighty cycles; the P chains
// are independent, so the processor overlaps them.
template <std::size_t P, class V>
MIXENGINE_LANE_INLINE void run_jobs(const NlmsJob* jobs, std::size_t n) noexcept {
    constexpr std::size_t kWidth = sizeof(V) / sizeof(float);
    constexpr std::size_t kSums = 32 / kWidth;
    float* w[P];
    float* win[P];
    float* sq[P];
    std::size_t index[P];
    for (std::size_t p = 0; p < P; ++p) {
        w[p] = jobs[p].filter->weights.data();
        win[p] = jobs[p].filter->window.data();
        sq[p] = jobs[p].filter->squares.data();
        index[p] = jobs[p].filter->index;
    }
    for (std::size_t k = 0; k < n; ++k) {
        float d[P];
        V y[P][kSums], e[P][kSums];
        for (std::size_t p = 0; p < P; ++p) {
            d[p] = jobs[p].buf[k];
            const float u = jobs[p].ref[k];
            const float u2 = u * u;
            win[p][index[p]] = u;
            win[p][index[p] + kTaps] = u;
            sq[p][index[p]] = u2;
            sq[p][index[p] + kTaps] = u2;
            for (std::size_t j = 0; j < kSums; ++j) y[p][j] = e[p][j] = V{};
        }
        for (std::size_t i = 0; i < kTaps; i += 32) {
            for (std::size_t p = 0; p < P; ++p) {
                const float* x = win[p] + index[p] + 1 + i;
                const float* x2 = sq[p] + index[p] + 1 + i;
                for (std::size_t j = 0; j < kSums; ++j) {
                    y[p][j] += load_v<V>(w[p] + i + j * kWidth) * load_v<V>(x + j * kWidth);
                    e[p][j] += load_v<V>(x2 + j * kWidth);
                }
            }
        }
        for (std::size_t p = 0; p < P; ++p) {
            const float yp = total(y[p]);
            const float energy = kEnergyFloor + total(e[p]);
            if (energy > kEnergyGuard) {
                const float step = (d[p] - yp) * kStep / energy;
                const V leak = V{} + kLeak, ev = V{} + step;
                const float* x = win[p] + index[p] + 1;
                for (std::size_t i = 0; i < kTaps; i += kWidth) {
                    const V nw = load_v<V>(w[p] + i) * leak + ev * load_v<V>(x + i);
                    std::memcpy(w[p] + i, &nw, sizeof nw);
                }
            }
            jobs[p].buf[k] = d[p] - yp * jobs[p].amount;
            index[p] = index[p] == 0 ? kTaps - 1 : index[p] - 1;
        }
    }
    for (std::size_t p = 0; p < P; ++p) jobs[p].filter->index = index[p];
}

// Measured on one core for 32 cancelling strips: alone in eight-tap values as fast as before,
// pairs and triples of jobs in sixteen-tap values a quarter faster; fours gain nothing more.
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
