// Notch cascades and howl simulation; see notch.h.
#include "notch.h"

#include <cmath>
#include <complex>
#include <numbers>

namespace mixengine {

bool within_sixth_octave(float a_hz, float b_hz, bool edge_counts) noexcept {
    const float octaves = std::fabs(std::log2(a_hz / b_hz));
    return edge_counts ? octaves <= 1.0f / 6.0f : octaves < 1.0f / 6.0f;
}

NotchCascade::NotchCascade(double sample_rate) : sample_rate_(sample_rate) {
    entries_.reserve(kMaxNotches);
    stages_.reserve(kMaxNotches);
    left_.reserve(kMaxNotches);
    right_.reserve(kMaxNotches);
}

void NotchCascade::set_notch(float freq_hz, float depth_db) {
    const BiquadCoeffs c = design_biquad("peq", freq_hz, depth_db, 12.0, sample_rate_);
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        if (within_sixth_octave(entries_[k].freq_hz, freq_hz)) {
            entries_[k].gain_db = depth_db;
            stages_[k] = c;
            return;
        }
    }
    if (entries_.size() < kMaxNotches) {
        entries_.push_back(NotchEntry{freq_hz, depth_db});
        stages_.push_back(c);
        left_.emplace_back();
        right_.emplace_back();
    }
}

void NotchCascade::remove_notch(float freq_hz) noexcept {
    // Compacts the four lists alike, keeping the order of the entries that stay.
    std::size_t kept = 0;
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        if (within_sixth_octave(entries_[k].freq_hz, freq_hz)) continue;
        entries_[kept] = entries_[k];
        stages_[kept] = stages_[k];
        left_[kept] = left_[k];
        right_[kept] = right_[k];
        ++kept;
    }
    entries_.resize(kept);
    stages_.resize(kept);
    left_.resize(kept);
    right_.resize(kept);
}

void NotchCascade::clear() noexcept {
    entries_.clear();
    stages_.clear();
    left_.clear();
    right_.clear();
}

// Tiny values stay as they are: notches have no denormal flush.
void NotchCascade::restart() noexcept {
    restart_if_broken(left_);
    restart_if_broken(right_);
}

void NotchCascade::apply(float* buf, std::size_t n) noexcept {
    run_stages(stages_, left_, buf, n);
    restart_if_broken(left_);
}

void NotchCascade::apply(float* left, float* right, std::size_t n) noexcept {
    run_stages(stages_, left_, left, n);
    run_stages(stages_, right_, right, n);
    restart_if_broken(left_);
    restart_if_broken(right_);
}

float NotchCascade::attenuation_db(float freq_hz) const noexcept {
    const double w = 2.0 * std::numbers::pi * double(freq_hz) / sample_rate_;
    const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
    float att = 0.0f;
    for (const BiquadCoeffs& c : stages_) {
        const double num = std::norm(double(c.b0) + double(c.b1) * z1 + double(c.b2) * z2);
        const double den = std::norm(1.0 + double(c.a1) * z1 + double(c.a2) * z2);
        att += static_cast<float>(10.0 * std::log10(std::fmax(num / den, 1e-24)));
    }
    return att;
}

void HowlSim::advance(const NotchCascade& notches) noexcept {
    if (!(amp > 0.0f)) return;
    if (!notches.entries().empty() && notches.attenuation_db(freq_hz) <= -3.0f) {
        amp *= 0.8f;
        if (amp < 0.0015f) amp = 0.0f;
    } else {
        amp = std::fmin(amp * 1.05f + 0.0004f, 0.4f);
    }
}

void HowlSim::add(float* left, float* right, std::size_t n, float sample_rate) noexcept {
    if (!(amp > 0.0f)) return;
    constexpr float kTwoPi = 6.2831855f;
    const float inc = kTwoPi * freq_hz / sample_rate;
    float ph = phase;
    for (std::size_t i = 0; i < n; ++i) {
        const float s = std::sin(ph) * amp;
        left[i] += s;
        if (right) right[i] += s;
        ph = std::fmod(ph + inc, kTwoPi);
    }
    phase = ph;
}

}  // namespace mixengine
