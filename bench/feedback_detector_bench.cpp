// Time the feedback detector spends on one analysis frame (one hop of 2048 samples), for the
// signals it meets: silence, a lone howl, a band mix of harmonic tones, and loud white noise,
// whose every bin is a local peak above -60 dB and so the worst case for the peak search.
// At 48 kHz ten outputs need 234 frames a second; the counter "outputs_at_48k" says how many
// outputs one core could watch at that pace.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "suppression/feedback_detector.h"

namespace mixengine {
namespace {

constexpr float kRate = 48000.0f;
constexpr std::size_t kHop = FeedbackDetector::kHop;
constexpr std::size_t kLength = kHop * 64;

std::vector<float> make_signal(int kind) {
    std::vector<float> x(kLength);
    uint32_t seed = 12345;
    const auto noise = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    };
    for (std::size_t n = 0; n < kLength; ++n) {
        const double t = double(n) / kRate;
        double v = 0.0;
        switch (kind) {
            case 1:  // a howl
                v = 0.1 * std::sin(2.0 * std::numbers::pi * 630.0 * t);
                break;
            case 2:  // three voices of five harmonics each, over a little noise
                for (const double f0 : {196.0, 246.9, 293.7})
                    for (int h = 1; h <= 5; ++h)
                        v += 0.05 / h * std::sin(2.0 * std::numbers::pi * f0 * h * t);
                v += 0.01 * noise();
                break;
            case 3:  // loud noise
                v = noise();
                break;
            default:
                break;
        }
        x[n] = static_cast<float>(v);
    }
    return x;
}

void BM_DetectorFrame(benchmark::State& state) {
    const std::vector<float> x = make_signal(static_cast<int>(state.range(0)));
    FeedbackDetector d(kRate);
    const FbaCfg cfg;
    d.process({x.data(), FeedbackDetector::kFrame}, cfg);
    std::size_t pos = FeedbackDetector::kFrame;
    for (auto _ : state) {
        if (pos + kHop > kLength) pos = 0;
        benchmark::DoNotOptimize(d.process({x.data() + pos, kHop}, cfg));
        pos += kHop;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["outputs_at_48k"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kHop / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DetectorFrame)->ArgName("silence_howl_band_noise")->DenseRange(0, 3);

}  // namespace
}  // namespace mixengine
