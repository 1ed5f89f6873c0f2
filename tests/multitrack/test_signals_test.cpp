#include "multitrack/test_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace mixengine {
namespace {

constexpr double kPi = std::numbers::pi;

// The instruments written out from their definitions, independently of the generator's
// factoring into shared tones.
double s(double k, double f, double t) {
    return std::sin(2.0 * kPi * k * f * t);
}
double fracd(double x) {
    return x - std::trunc(x);
}

// The pitch is base * (1 + 0.03 sin(2 pi 0.3 t)), so the phase in cycles is its integral.
double voice(double base, std::size_t channel, double t) {
    const double w = 2.0 * kPi * 0.3;
    const double cycles = base * t + base * 0.03 * (1.0 - std::cos(w * t)) / w;
    double e = std::pow(0.5 + 0.5 * std::sin(2.0 * kPi * 3.7 * t + double(channel)), 2.0);
    if (std::fmod(t, 6.0) >= 4.5) e *= 0.05;
    return 0.12 * e *
           (s(1, 1.0, cycles) + 0.5 * s(2, 1.0, cycles) + 0.3 * s(3, 1.0, cycles) +
            0.15 * s(5, 1.0, cycles));
}

struct Reference {
    uint32_t state = 1;
    double draw() {
        state = state * 1664525u + 1013904223u;
        return double(state >> 9) / 4194304.0 - 1.0;
    }

    double value(std::size_t channel, double t) {
        const double floor_noise = double(0.0003f * float(draw()));
        const double tau = std::fmod(t, 0.5);
        const int bar = int(std::floor(t / 2.0)) % 4;
        const double roots[4] = {55.0, 49.0, 43.65, 61.725};
        double v = 0.0;
        switch (channel % 8) {
            case 0:
                v = voice(140.0, channel, t);
                break;
            case 1:
                v = voice(220.0, channel, t);
                break;
            case 2:
                v = 0.5 * std::exp(-18.0 * tau) *
                    std::sin(2.0 * kPi * (50.0 + 90.0 * std::exp(-40.0 * tau)) * tau);
                break;
            case 3:
                v = 0.25 * std::exp(-25.0 * fracd(t + 0.25)) * draw();
                break;
            case 4: {
                const double f = roots[bar];
                v = 0.25 * (s(1, f, t) + 0.35 * s(2, f, t) + 0.15 * s(3, f, t));
                break;
            }
            case 5:
                for (double f : {261.6, 329.6, 392.0})
                    v += 0.05 * (s(1, f, t) + 0.3 * s(2, f, t) + 0.12 * s(3, f, t));
                break;
            case 6:
                for (int k = 1; k <= 7; ++k) v += s(k, 196.0, t) / k;
                v *= 0.08 * std::exp(-2.0 * fracd(t));
                break;
            default:
                v = 0.02 * draw();
        }
        return v + floor_noise;
    }
};

// Runs the generator for `seconds` and compares chosen frames (every 97th, which walks through
// kick hits, snare bursts, bar changes and the voices' pauses) with the reference.
void expect_matches_reference(std::size_t channels, double seconds) {
    constexpr float kRate = 48000.0f;
    constexpr std::size_t kBlock = 256;
    TestSignals gen(kRate);
    Reference ref;
    std::vector<float> block(channels * kBlock);
    const auto blocks = static_cast<std::size_t>(seconds * kRate / kBlock);
    double worst = 0.0;
    for (std::size_t b = 0; b < blocks; ++b) {
        gen.fill(block.data(), channels, kBlock);
        for (std::size_t i = 0; i < kBlock; ++i) {
            const uint64_t frame = b * kBlock + i;
            const double t = double(frame) / double(kRate);
            for (std::size_t ch = 0; ch < channels; ++ch) {
                const double expected = ref.value(ch, t);  // always drawn, keeps the sequence
                if (frame % 97 != 0) continue;
                worst = std::max(worst, std::fabs(block[i * channels + ch] - expected));
                ASSERT_NEAR(block[i * channels + ch], expected, 1e-6)
                    << "channel " << ch << " at t = " << t;
            }
        }
    }
    EXPECT_EQ(gen.time_frames(), blocks * kBlock);
}

TEST(TestSignals, EightInstrumentsRepeatAcrossTenInputs) {
    expect_matches_reference(10, 6.5);
}

// The vibrato stays a vibrato: the mean pitch over a second (counted in rising zero crossings of
// the tone, a fixed number per cycle) is within the 3 % depth of the base at the start and still
// after ten minutes.
TEST(TestSignals, VoicePitchStaysWithinItsVibratoOverTime) {
    for (const auto& [instrument, base_hz] : {std::pair{0u, 140.0}, std::pair{1u, 220.0}}) {
        double first_rate = 0.0;
        for (const double start_s : {0.0, 600.0, 3600.0}) {
            constexpr int kRate = 48000;
            int crossings = 0;
            double prev = test_instrument(instrument, 0, start_s);
            for (int i = 1; i <= kRate; ++i) {
                const double v = test_instrument(instrument, 0, start_s + double(i) / kRate);
                if (prev < 0.0 && v >= 0.0) ++crossings;
                prev = v;
            }
            if (start_s == 0.0) first_rate = crossings;
            EXPECT_NEAR(crossings, first_rate, 0.06 * first_rate)
                << "instrument " << instrument << " (" << base_hz << " Hz) at " << start_s << " s";
        }
    }
}

TEST(TestSignals, OneInputIsTheLowVoiceOverItsNoiseFloor) {
    expect_matches_reference(1, 5.0);
}

}  // namespace
}  // namespace mixengine
