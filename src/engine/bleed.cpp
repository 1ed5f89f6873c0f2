// Bleed reduction; see bleed.h.
#include "bleed.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "simd.h"

namespace mixengine {

namespace {

constexpr float kStep = 0.03f;         // normalised LMS step size
constexpr float kLeak = 0.999999f;     // per-sample weight leak (0.99999899 in single precision)
constexpr float kEnergyFloor = 1e-6f;  // keeps the normalisation finite
constexpr float kEnergyGuard = 1e-5f;  // below this the reference is too quiet to learn from
constexpr float kDuckFullDb = 12.0f;   // full depth this far over the threshold
constexpr float kDuckMaxDb = 30.0f;

using simd::kLanes;
using simd::Lanes;
static_assert(kBleedTaps % (4 * kLanes) == 0);

inline float lane_sum(const Lanes& v) noexcept {
    return ((v[0] + v[4]) + (v[1] + v[5])) + ((v[2] + v[6]) + (v[3] + v[7]));
}

// The adaptive filter over one chunk. The dot product and the window energy are summed in four
// interleaved sets of eight lanes, an order fixed in the code (so every instruction set gives the
// same bits), not the order of the scalar definition; the weight update is element-wise.
MIXENGINE_SIMD_CLONES
void nlms_chunk(float* __restrict buf, const float* __restrict ref, std::size_t n,
                float* __restrict weights, float* __restrict history, std::size_t& index_io,
                float amount) noexcept {
    std::size_t index = index_io;
    for (std::size_t k = 0; k < n; ++k) {
        const float d = buf[k];
        const float u = ref[k];
        history[index] = u;
        history[index + kBleedTaps] = u;
        const float* __restrict win = history + index + 1;

        Lanes y0{}, y1{}, y2{}, y3{}, e0{}, e1{}, e2{}, e3{};
        for (std::size_t i = 0; i < kBleedTaps; i += 4 * kLanes) {
            // One memcpy per value: arrays of lanes end up shuffled through the stack.
            Lanes x0, x1, x2, x3, w0, w1, w2, w3;
            std::memcpy(&x0, win + i, sizeof x0);
            std::memcpy(&x1, win + i + kLanes, sizeof x1);
            std::memcpy(&x2, win + i + 2 * kLanes, sizeof x2);
            std::memcpy(&x3, win + i + 3 * kLanes, sizeof x3);
            std::memcpy(&w0, weights + i, sizeof w0);
            std::memcpy(&w1, weights + i + kLanes, sizeof w1);
            std::memcpy(&w2, weights + i + 2 * kLanes, sizeof w2);
            std::memcpy(&w3, weights + i + 3 * kLanes, sizeof w3);
            y0 += w0 * x0;
            y1 += w1 * x1;
            y2 += w2 * x2;
            y3 += w3 * x3;
            e0 += x0 * x0;
            e1 += x1 * x1;
            e2 += x2 * x2;
            e3 += x3 * x3;
        }
        const Lanes ys = (y0 + y1) + (y2 + y3), es = (e0 + e1) + (e2 + e3);
        const float y = lane_sum(ys);
        const float energy = kEnergyFloor + lane_sum(es);

        if (energy > kEnergyGuard) {
            const float e = (d - y) * kStep / energy;
            for (std::size_t i = 0; i < kBleedTaps; ++i)
                weights[i] = weights[i] * kLeak + e * win[i];
        }
        buf[k] = d - y * amount;
        index = index == 0 ? kBleedTaps - 1 : index - 1;
    }
    index_io = index;
}

}  // namespace

BleedBand bleed_band(const BleedCfg& cfg, double sample_rate) noexcept {
    const double lo = std::fmin(std::fmax(double(cfg.lo), 200.0), 18000.0);
    const double hi =
        std::fmin(std::fmin(std::fmax(double(cfg.hi), 400.0), 20000.0), sample_rate / 2.2);
    return {lo, hi};
}

BleedReducer::BleedReducer(double sample_rate)
    : sample_rate_(sample_rate),
      duck_att_(static_cast<float>(std::exp(-1.0 / (sample_rate * 0.002)))),
      duck_rel_(static_cast<float>(std::exp(-1.0 / (sample_rate * 0.12)))) {
    configure(std::nullopt);
}

void BleedReducer::configure(const std::optional<BleedCfg>& cfg) {
    const BleedCfg next = cfg.value_or(BleedCfg{});
    if (next.mode != cfg_.mode || next.ref != cfg_.ref) weights_.fill(0.0f);
    const BleedBand b = bleed_band(next, sample_rate_);
    const double fs = sample_rate_;
    band_ = {
        design_biquad("hp", b.lo_hz, 0.0, 0.541, fs), design_biquad("hp", b.lo_hz, 0.0, 1.307, fs),
        design_biquad("lp", b.hi_hz, 0.0, 0.541, fs), design_biquad("lp", b.hi_hz, 0.0, 1.307, fs)};
    cfg_ = next;
}

void BleedReducer::run(float* buf, float* ref, std::size_t n) noexcept {
    if (cfg_.mode == "duck")
        run_duck(buf, ref, n);
    else
        run_cancel(buf, ref, n);
    // Tiny values are left alone: the engine's flush-to-zero mode handles those.
    restart_if_broken(ref_state_);
    restart_if_broken(sig_state_);
}

void BleedReducer::run_cancel(float* buf, float* ref, std::size_t n) noexcept {
    // The reference path does not depend on the strip, so it is filtered for the whole chunk
    // first; per sample the arithmetic is the same as filtering inside the adaptive loop.
    run_stages(band_, ref_state_, ref, n);
    const float amount = std::fmin(std::fmax(cfg_.amount, 0.0f), 1.0f);
    nlms_chunk(buf, ref, n, weights_.data(), history_.data(), index_, amount);

    // Weights that have left the float range can never come back; start learning afresh.
    float check = 0.0f;
    for (float w : weights_) check += w * 0.0f;
    if (check != 0.0f) {
        weights_.fill(0.0f);
        history_.fill(0.0f);
    }
}

void BleedReducer::run_duck(float* buf, float* ref, std::size_t n) noexcept {
    const float depth_db = -std::fmin(std::fabs(cfg_.amount), kDuckMaxDb);
    const float thr = cfg_.thr;
    const float att = duck_att_, rel = duck_rel_;
    // Below this level the envelope is surely under the threshold whatever the rounding of the
    // dB arithmetic, so the logarithm can be skipped.
    const float quiet = static_cast<float>(
        std::pow(10.0, (double(thr) - (1e-3 + 1e-6 * std::fabs(double(thr)))) / 20.0));
    run_stages(band_, ref_state_, ref, n);
    float env = duck_env_, gain = duck_gain_;
    // The strip's band is filtered a block at a time beside the strip itself, which it is
    // subtracted from.
    constexpr std::size_t kBlock = 64;
    float band[kBlock];
    for (std::size_t at = 0; at < n; at += kBlock) {
        const std::size_t m = n - at < kBlock ? n - at : kBlock;
        std::copy_n(buf + at, m, band);
        run_stages(band_, sig_state_, band, m);
        for (std::size_t k = 0; k < m; ++k) {
            const float x = buf[at + k];
            const float a = std::fabs(ref[at + k]);
            env = a + (env - a) * (a > env ? att : rel);
            float t = 1.0f;
            if (!(env < quiet)) {
                const float over = 20.0f * std::log10(std::fmax(env, 1e-9f)) - thr;
                if (over > 0.0f)
                    t = std::pow(10.0f, depth_db * std::fmin(over / kDuckFullDb, 1.0f) / 20.0f);
            }
            gain = t + (t < gain ? att : rel) * (gain - t);
            buf[at + k] = x - band[k] * (1.0f - gain);
        }
    }
    duck_env_ = std::isfinite(env) ? env : 0.0f;
    duck_gain_ = std::isfinite(gain) ? gain : 1.0f;
}

}  // namespace mixengine
