// Notch cascades and howl simulation; see notch.h.
#include "notch.h"

#include <cmath>
#include <complex>
#include <numbers>

namespace mixengine {

namespace {

bool within_sixth_octave(float a_hz, float b_hz) noexcept {
    return std::fabs(std::log2(a_hz / b_hz)) < 1.0f / 6.0f;
}

// An overflow upstream would leave NaN in a notch's memory until the notch is removed, silencing
// its output long after the cause is gone: such a memory starts afresh. Tiny values stay as they
// are; notches have no denormal flush.
//
// Up to four notches run in one sweep, each sample through all of them before the next: per
// sample exactly the arithmetic of one notch after another over the chunk, with their feedback
// chains overlapping.
template <std::size_t G>
void run_notches(NotchEntry* e, BiquadState NotchEntry::*side, float* buf, std::size_t n) noexcept {
    float b0[G], b1[G], b2[G], a1[G], a2[G], s1[G], s2[G];
    for (std::size_t g = 0; g < G; ++g) {
        const BiquadCoeffs& c = e[g].coeffs;
        b0[g] = c.b0, b1[g] = c.b1, b2[g] = c.b2, a1[g] = c.a1, a2[g] = c.a2;
        s1[g] = (e[g].*side).s1, s2[g] = (e[g].*side).s2;
    }
    for (std::size_t i = 0; i < n; ++i) {
        float x = buf[i];
        for (std::size_t g = 0; g < G; ++g) {
            const float y = b0[g] * x + s1[g];
            s1[g] = b1[g] * x - a1[g] * y + s2[g];
            s2[g] = b2[g] * x - a2[g] * y;
            x = y;
        }
        buf[i] = x;
    }
    for (std::size_t g = 0; g < G; ++g) {
        BiquadState& st = e[g].*side;
        st = {s1[g], s2[g]};
        if (!std::isfinite(st.s1) || !std::isfinite(st.s2)) st = BiquadState{};
    }
}

void run_all(std::vector<NotchEntry>& entries, BiquadState NotchEntry::*side, float* buf,
             std::size_t n) noexcept {
    NotchEntry* e = entries.data();
    std::size_t k = 0;
    const std::size_t count = entries.size();
    for (; k + 4 <= count; k += 4) run_notches<4>(e + k, side, buf, n);
    switch (count - k) {
        case 3:
            run_notches<3>(e + k, side, buf, n);
            break;
        case 2:
            run_notches<2>(e + k, side, buf, n);
            break;
        case 1:
            run_notches<1>(e + k, side, buf, n);
            break;
        default:
            break;
    }
}

}  // namespace

NotchCascade::NotchCascade(double sample_rate) : sample_rate_(sample_rate) {
    entries_.reserve(kMaxNotches);
}

void NotchCascade::set_notch(float freq_hz, float depth_db) {
    const BiquadCoeffs c = design_biquad("peq", freq_hz, depth_db, 12.0, sample_rate_);
    for (auto& e : entries_) {
        if (within_sixth_octave(e.freq_hz, freq_hz)) {
            e.gain_db = depth_db;
            e.coeffs = c;
            return;
        }
    }
    if (entries_.size() < kMaxNotches) entries_.push_back(NotchEntry{freq_hz, depth_db, c, {}, {}});
}

void NotchCascade::remove_notch(float freq_hz) noexcept {
    std::erase_if(entries_, [freq_hz](const NotchEntry& e) {
        return within_sixth_octave(e.freq_hz, freq_hz);
    });
}

void NotchCascade::apply(float* buf, std::size_t n) noexcept {
    run_all(entries_, &NotchEntry::left, buf, n);
}

void NotchCascade::apply(float* left, float* right, std::size_t n) noexcept {
    run_all(entries_, &NotchEntry::left, left, n);
    run_all(entries_, &NotchEntry::right, right, n);
}

float NotchCascade::attenuation_db(float freq_hz) const noexcept {
    const double w = 2.0 * std::numbers::pi * double(freq_hz) / sample_rate_;
    const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
    float att = 0.0f;
    for (const auto& e : entries_) {
        const auto& c = e.coeffs;
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
