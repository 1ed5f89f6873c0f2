#include "multitrack/test_signals.h"

#include <cmath>
#include <numbers>

namespace mixengine {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr float kNoiseFloor = 0.0003f;

double frac(double x) noexcept {
    return x - std::trunc(x);
}

// sin(2 pi k f t) for k = 1..n weighted by w[k-1].
double harmonics(double f, double t, const double* w, int n) noexcept {
    double sum = 0.0;
    for (int k = 1; k <= n; ++k) sum += w[k - 1] * std::sin(kTwoPi * k * f * t);
    return sum;
}

// A voice without its envelope: vibrato of 3 % at 0.3 Hz, harmonics 1, 2, 3 and 5. The phase is
// the integral of the wobbling frequency; sin(2 pi f(t) t) would add t f'(t) to the pitch, and
// the vibrato would grow into a siren sweeping hundreds of hertz after a minute.
double voice_tone(double base_hz, double t) noexcept {
    constexpr double kVibratoHz = 0.3;
    constexpr double kDepth = 0.03;
    const double cycles =
        base_hz * (t + kDepth / (kTwoPi * kVibratoHz) * (1.0 - std::cos(kTwoPi * kVibratoHz * t)));
    const double x = kTwoPi * cycles;
    return std::sin(x) + 0.5 * std::sin(2.0 * x) + 0.3 * std::sin(3.0 * x) +
           0.15 * std::sin(5.0 * x);
}

// Syllables at 3.7 Hz, phase-shifted per input, and a 1.5 s breath in every 6 s.
double voice_amplitude(std::size_t channel, double t) noexcept {
    const double s = 0.5 + 0.5 * std::sin(kTwoPi * 3.7 * t + static_cast<double>(channel));
    double e = s * s;
    if (std::fmod(t, 6.0) >= 4.5) e *= 0.05;
    return 0.12 * e;
}

double kick(double t) noexcept {
    const double tau = std::fmod(t, 0.5);
    return 0.5 * std::exp(-18.0 * tau) *
           std::sin(kTwoPi * (50.0 + 90.0 * std::exp(-40.0 * tau)) * tau);
}

double bass(double t) noexcept {
    static constexpr double kRoots[4] = {55.0, 49.0, 43.65, 61.725};
    static constexpr double kW[3] = {1.0, 0.35, 0.15};
    const auto bar = static_cast<std::size_t>(std::fmod(std::floor(t / 2.0), 4.0));
    return 0.25 * harmonics(kRoots[bar & 3u], t, kW, 3);
}

double keys(double t) noexcept {
    static constexpr double kW[3] = {1.0, 0.3, 0.12};
    return 0.05 *
           (harmonics(261.6, t, kW, 3) + harmonics(329.6, t, kW, 3) + harmonics(392.0, t, kW, 3));
}

double guitar(double t) noexcept {
    static constexpr double kW[7] = {1.0, 1.0 / 2, 1.0 / 3, 1.0 / 4, 1.0 / 5, 1.0 / 6, 1.0 / 7};
    return 0.08 * std::exp(-2.0 * frac(t)) * harmonics(196.0, t, kW, 7);
}

// The snare and room noise are scaled noise draws; these give their scale at time t.
double snare_scale(double t) noexcept {
    return 0.25 * std::exp(-25.0 * frac(t + 0.25));
}
constexpr double kRoomScale = 0.02;

}  // namespace

double test_instrument(unsigned c, std::size_t channel, double t) noexcept {
    switch (c) {
        case 0:
            return voice_amplitude(channel, t) * voice_tone(140.0, t);
        case 1:
            return voice_amplitude(channel, t) * voice_tone(220.0, t);
        case 2:
            return kick(t);
        case 4:
            return bass(t);
        case 5:
            return keys(t);
        case 6:
            return guitar(t);
        default:
            return 0.0;  // 3 and 7 are noise, drawn by the caller
    }
}

void TestSignals::fill(float* block, std::size_t channels, std::size_t frames) noexcept {
    const double rate = static_cast<double>(rate_);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(time_ + i) / rate;
        // Every eighth input repeats an instrument; only the voices' envelopes differ per input,
        // so each tone is computed once per frame.
        double tone[8] = {};
        const std::size_t used = channels < 8 ? channels : 8;
        if (used > 0) tone[0] = voice_tone(140.0, t);
        if (used > 1) tone[1] = voice_tone(220.0, t);
        if (used > 2) tone[2] = kick(t);
        const double snare = used > 3 ? snare_scale(t) : 0.0;
        if (used > 4) tone[4] = bass(t);
        if (used > 5) tone[5] = keys(t);
        if (used > 6) tone[6] = guitar(t);

        float* frame = block + i * channels;
        for (std::size_t ch = 0; ch < channels; ++ch) {
            const unsigned c = static_cast<unsigned>(ch % 8);
            const double floor_noise = kNoiseFloor * noise_.draw();
            double v;
            if (c <= 1) {
                v = voice_amplitude(ch, t) * tone[c];
            } else if (c == 3) {
                v = snare * noise_.draw();
            } else if (c == 7) {
                v = kRoomScale * noise_.draw();
            } else {
                v = tone[c];
            }
            frame[ch] = static_cast<float>(v + floor_noise);
        }
    }
    time_ += frames;
}

}  // namespace mixengine
