// Bleed reduction; see bleed.h.
#include "bleed.h"

#include <algorithm>
#include <cmath>

#include "dynamics_math.h"

namespace mixengine {

namespace {

constexpr float kDuckFullDb = 12.0f;  // full depth this far over the threshold
constexpr float kDuckMaxDb = 30.0f;

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
    if (next.mode != cfg_.mode || next.ref != cfg_.ref) nlms_.forget_weights();
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
    restart_bands();
}

void BleedReducer::restart_bands() noexcept {
    // Tiny values are left alone: the engine's flush-to-zero mode handles those.
    restart_if_broken(ref_state_);
    restart_if_broken(sig_state_);
}

NlmsJob BleedReducer::cancel_job(float* buf, const float* ref) noexcept {
    return NlmsJob{&nlms_, buf, ref, std::fmin(std::fmax(cfg_.amount, 0.0f), 1.0f)};
}

void cancel_in_lanes(std::span<const CancelLane> lanes, std::size_t n, float* scratch) noexcept {
    // Batches of 32: four sets of band lanes, then the adaptive filters sixteen side by side.
    constexpr std::size_t kBatch = 4 * kBiquadLanes;
    for (std::size_t first = 0; first < lanes.size(); first += kBatch) {
        const std::size_t count = std::min(lanes.size() - first, kBatch);
        std::array<NlmsJob, kBatch> jobs;
        std::array<LaneStages, kBatch> bands;
        for (std::size_t j = 0; j < count; ++j) {
            const CancelLane& c = lanes[first + j];
            bands[j] = LaneStages{c.ref, c.reducer->band_, c.reducer->ref_state_};
        }
        run_stages_in_lanes(std::span<const LaneStages>(bands.data(), count), n, scratch);
        for (std::size_t j = 0; j < count; ++j) {
            const CancelLane& c = lanes[first + j];
            jobs[j] = c.reducer->cancel_job(c.buf, c.ref);
        }
        nlms_run(std::span<const NlmsJob>(jobs.data(), count), n);
        for (std::size_t j = 0; j < count; ++j) lanes[first + j].reducer->restart_bands();
    }
}

void BleedReducer::run_cancel(float* buf, float* ref, std::size_t n) noexcept {
    // The reference path does not depend on the strip, so it is filtered for the whole chunk
    // first; per sample the arithmetic is the same as filtering inside the adaptive loop.
    run_stages(band_, ref_state_, ref, n);
    const NlmsJob job = cancel_job(buf, ref);
    nlms_run(std::span<const NlmsJob>(&job, 1), n);
}

void BleedReducer::run_duck(float* buf, float* ref, std::size_t n) noexcept {
    const float depth_db = -std::fmin(std::fabs(cfg_.amount), kDuckMaxDb);
    const float thr = cfg_.thr;
    const float att = duck_att_, rel = duck_rel_;
    // Below this level the envelope is surely under the threshold whatever the rounding of the
    // dB arithmetic, so the logarithm can be skipped. Levels under 1e-9 all read as the floor of
    // -180 dB: where the floor itself is over the threshold, every level is, and none is skipped.
    const float floor_over = lin_to_db(floored(0.0f)) - thr;
    const float quiet =
        floor_over > 0.0f ? 0.0f : level_at(thr, -rounding_margin_db(std::fabs(double(thr))));
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
                const float over = lin_to_db(floored(env)) - thr;
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
