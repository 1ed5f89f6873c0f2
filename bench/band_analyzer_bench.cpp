// The auto-EQ analysis: the per-sample cost of its 31 band filters (band by band against all bands
// in lanes), the thread's CPU share with every target on and with none on, and how long a raised
// band in pink noise takes to reach its clamp.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "analysis/auto_eq_thread.h"
#include "analysis/band_analyzer.h"
#include "control/telemetry.h"
#include "engine/biquad.h"
#include "engine/denormals.h"

namespace mixengine {
namespace {

constexpr float kRate = 48000.0f;
constexpr std::size_t kPassSamples = 960;  // one 20 ms pass at 48 kHz

// Pink-ish noise: white noise from a 32-bit LCG through a three-pole approximation of a
// -3 dB/octave slope (within about 0.5 dB from 20 Hz up).
class PinkNoise {
  public:
    float next() noexcept {
        state_ = state_ * 1664525u + 1013904223u;
        const float white = static_cast<float>(state_ >> 9) / 4194304.0f - 1.0f;
        p0_ = 0.99765f * p0_ + white * 0.0990460f;
        p1_ = 0.96300f * p1_ + white * 0.2965164f;
        p2_ = 0.57000f * p2_ + white * 1.0526913f;
        return 0.05f * (p0_ + p1_ + p2_ + white * 0.1848f);
    }

  private:
    uint32_t state_ = 1;
    float p0_ = 0.0f, p1_ = 0.0f, p2_ = 0.0f;
};

std::vector<float> pink(std::size_t n) {
    PinkNoise noise;
    std::vector<float> x(n);
    for (float& v : x) v = noise.next();
    return x;
}

BiquadBank bank_at(float rate) {
    BiquadBank bank{};
    bank.coeffs.fill(BiquadCoeffs{0.0f, 0.0f, 0.0f, 0.0f, 0.0f});
    for (std::size_t i = 0; i < kAutoEqBands; ++i)
        bank.coeffs[i] = design_biquad("bp", kGraphicCentresHz[i], 0.0, 4.32, rate);
    return bank;
}

// CPU seconds per second of audio when all 42 targets are analysed.
benchmark::Counter share_of_42(benchmark::State& state, std::size_t samples_per_iteration) {
    const double target_seconds =
        double(state.iterations()) * double(samples_per_iteration) / kRate;
    return benchmark::Counter(target_seconds / double(kAutoEqTargets),
                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// What one pass over kPassSamples costs, per sample and as a share for all 42 targets.
void report_pass_cost(benchmark::State& state) {
    state.counters["ns_per_sample"] =
        benchmark::Counter(double(state.iterations()) * kPassSamples,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["share_42"] = share_of_42(state, kPassSamples);
}

void BM_BandsOneByOne(benchmark::State& state) {
    ScopedFlushDenormals ftz;
    const BiquadBank bank = bank_at(kRate);
    std::vector<BiquadState> states(kAutoEqBands);
    std::vector<float> power(kAutoEqBands);
    const std::vector<float> x = pink(kPassSamples);
    std::vector<float> y(kPassSamples);
    for (auto _ : state) {
        for (std::size_t b = 0; b < kAutoEqBands; ++b) {
            y = x;
            run_biquad(bank.coeffs[b], states[b], y.data(), y.size());
            float p = power[b];
            for (float v : y) p += v * v;
            power[b] = p;
        }
        benchmark::DoNotOptimize(power.data());
    }
    report_pass_cost(state);
}

void BM_BandsInLanes(benchmark::State& state) {
    ScopedFlushDenormals ftz;
    BiquadBank bank = bank_at(kRate);
    const std::vector<float> x = pink(kPassSamples);
    for (auto _ : state) {
        run_bank(bank, x.data(), x.size());
        benchmark::DoNotOptimize(&bank);
    }
    report_pass_cost(state);
}

// Whole passes of the thread over 42 fed rings, with `range(0)` targets on; "cpu_share" is the
// thread's CPU seconds per second (its passes come every 20 ms). Filling the rings is the engine's
// work and is not timed.
void BM_ThreadPass(benchmark::State& state) {
    ScopedFlushDenormals ftz;
    std::string sink;
    capture_output_for_tests(&sink);
    auto [links, ends] =
        make_fed_worker<AutoEqRequest>(kAutoEqTargets, AutoEqAnalysis::kThread.samples);
    auto& tx = links.commands;
    auto& producers = links.feeds;
    auto [updates, update_ring] = make_update_ring();
    AutoEqAnalysis analysis(std::move(ends), updates, kRate);
    const auto on = static_cast<std::size_t>(state.range(0));
    for (std::size_t t = 0; t < on; ++t) {
        AutoEqCfg cfg;
        cfg.on = true;
        tx.send({t, cfg});
    }
    PinkNoise noise;
    std::vector<float> block(kPassSamples);
    EngineUpdate u;
    for (auto _ : state) {
        state.PauseTiming();
        for (auto& p : producers) {
            for (float& v : block) v = noise.next();
            p.push_some(block.data(), block.size());
        }
        while (update_ring.pop(u)) {
        }
        sink.clear();
        state.ResumeTiming();
        analysis.pass();
    }
    capture_output_for_tests(nullptr);
    state.counters["cpu_share"] =
        benchmark::Counter(double(state.iterations()) * kPassSamples / kRate,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Seconds of signal until a third-octave band raised 10 dB above pink noise reaches its clamp,
// under the worked example's settings ("flat", "amount" 1, "max_cut" 3, "speed_s" 8).
void BM_ConvergenceToClamp(benchmark::State& state) {
    ScopedFlushDenormals ftz;
    const auto band = static_cast<std::size_t>(state.range(0));
    double seconds = -1.0;
    for (auto _ : state) {
        AutoEqCfg cfg;
        cfg.on = true;
        cfg.curve = "flat";
        cfg.amount = 1.0f;
        cfg.max_cut = 3.0f;
        BandAnalyzer analyzer(kRate);
        BiquadCascade raise;
        const BiquadCoeffs peak = design_biquad("peq", kGraphicCentresHz[band], 10.0, 4.32, kRate);
        raise.set_stages({&peak, 1});
        PinkNoise noise;
        std::vector<float> block(kPassSamples);
        seconds = -1.0;
        for (std::size_t pass = 0; pass < 1500 && seconds < 0.0; ++pass) {
            for (float& v : block) v = noise.next();
            raise.run(block.data(), block.size());
            analyzer.feed(block.data(), block.size(), cfg);
            if (analyzer.corrections()[band] <= -3.0f)
                seconds = double(pass + 1) * kPassSamples / kRate;
        }
    }
    state.counters["seconds_to_clamp"] = seconds;
}

BENCHMARK(BM_BandsOneByOne);
BENCHMARK(BM_BandsInLanes);
BENCHMARK(BM_ThreadPass)->Arg(0)->Arg(42);
BENCHMARK(BM_ConvergenceToClamp)->Arg(8)->Arg(17)->Arg(26)->Iterations(1);

}  // namespace
}  // namespace mixengine
