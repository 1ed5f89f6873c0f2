#include "loudness.h"

#include <cmath>

#include "numeric.h"

namespace mixengine {

KWeighting design_k_weighting(double fs) noexcept {
    KWeighting k;
    {
        // High shelf: +4 dB gain, centred near 1682 Hz.
        const double K = std::tan(5284.078578647628 / fs);
        const double Q = 0.7071752369554196;
        const double Vh = 1.5848647011308556;
        const double Vb = 1.2587209302325617;
        const double a0 = 1.0 + K / Q + K * K;
        k.b0 = (Vh + Vb * K / Q + K * K) / a0;
        k.b1 = 2.0 * (K * K - Vh) / a0;
        k.b2 = (Vh - Vb * K / Q + K * K) / a0;
        k.a1 = 2.0 * (K * K - 1.0) / a0;
        k.a2 = (1.0 - K / Q + K * K) / a0;
    }
    {
        // High-pass near 38 Hz.
        const double K = std::tan(119.8061151453059 / fs);
        const double Q = 0.5003270373238773;
        const double a0 = 1.0 + K / Q + K * K;
        k.hp_a1 = 2.0 * (K * K - 1.0) / a0;
        k.hp_a2 = (1.0 - K / Q + K * K) / a0;
    }
    return k;
}

uint32_t loudness_block_frames(float sample_rate) noexcept {
    if (!(sample_rate > 0.0f) || !std::isfinite(sample_rate)) return 0;
    return saturating_cast<uint32_t>(std::floor(static_cast<double>(sample_rate) * 0.1));
}

LoudnessMeter::LoudnessMeter(float sample_rate)
    : sample_rate_(sample_rate), block_frames_(loudness_block_frames(sample_rate)) {}

void LoudnessMeter::reset() noexcept {
    ch_ = {};
    sum_ = 0.0;
    count_ = 0;
    designed_rate_ = 0.0f;
}

void LoudnessMeter::run(const float* left, const float* right, std::size_t frames,
                        Meters& meters) noexcept {
    if (block_frames_ == 0 || left == nullptr) return;
    if (designed_rate_ != sample_rate_) {
        k_ = design_k_weighting(sample_rate_);
        designed_rate_ = sample_rate_;
    }
    const KWeighting k = k_;
    const auto step = [&k](Channel& c, double x) noexcept {
        const double y = k.b0 * x + k.b1 * c.x1 + k.b2 * c.x2 - k.a1 * c.y1 - k.a2 * c.y2;
        c.x2 = c.x1;
        c.x1 = x;
        c.y2 = c.y1;
        c.y1 = y;
        const double w = y - 2.0 * c.u1 + c.u2 - k.hp_a1 * c.w1 - k.hp_a2 * c.w2;
        c.u2 = c.u1;
        c.u1 = y;
        c.w2 = c.w1;
        c.w1 = w;
        return static_cast<float>(w);
    };

    Channel l = ch_[0];
    Channel r = ch_[1];
    double sum = sum_;
    uint32_t count = count_;
    for (std::size_t i = 0; i < frames; ++i) {
        const float wl = step(l, static_cast<double>(left[i]));
        float power = wl * wl;
        if (right != nullptr) {
            const float wr = step(r, static_cast<double>(right[i]));
            power += wr * wr;
        }
        sum += static_cast<double>(power);
        if (++count == block_frames_) {
            meter_store(meters.loud_ms, static_cast<float>(sum / count));
            // Release pairs with the reader's acquire load of the count, so a reader that sees
            // the new count also sees this block's mean square.
            meters.loud_blocks.fetch_add(1, std::memory_order_release);
            // A NaN or infinite sample would otherwise stay in the recursive memories for good
            // and silence the meter until the source is chosen again.
            if (!std::isfinite(sum)) l = r = Channel{};
            sum = 0.0;
            count = 0;
        }
    }
    ch_[0] = l;
    ch_[1] = r;
    sum_ = sum;
    count_ = count;
}

}  // namespace mixengine
