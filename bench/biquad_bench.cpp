// A 31-band graphic equaliser over 256-sample chunks: the one-stage-at-a-time reference against
// the cascade's sweep of several stages at once (which must stay bit-identical to it).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "engine/biquad.h"

namespace mixengine {
namespace {

std::vector<BiquadCoeffs> graphic_stages() {
    std::vector<float> gains(31);
    for (std::size_t i = 0; i < gains.size(); ++i) gains[i] = (i % 2 ? 1.5f : -2.0f);
    return design_graphic(gains, 48000.0);
}

std::vector<float> signal() {
    std::vector<float> s(256);
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = 0.3f * std::sin(0.05f * float(i));
    return s;
}

void BM_GraphicReference(benchmark::State& state) {
    const auto stages = graphic_stages();
    std::vector<BiquadState> states(stages.size());
    auto buf = signal();
    for (auto _ : state) {
        for (std::size_t k = 0; k < stages.size(); ++k) {
            run_biquad(stages[k], states[k], buf.data(), buf.size());
            flush_biquad_state(states[k]);
        }
        benchmark::DoNotOptimize(buf.data());
    }
    state.counters["stage_samples"] =
        benchmark::Counter(double(state.iterations()) * double(buf.size() * stages.size()),
                           benchmark::Counter::kIsRate);
}

void BM_GraphicCascade(benchmark::State& state) {
    BiquadCascade cascade;
    cascade.set_stages(graphic_stages());
    auto buf = signal();
    for (auto _ : state) {
        cascade.run(buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    state.counters["stage_samples"] = benchmark::Counter(
        double(state.iterations()) * double(buf.size() * cascade.stages().size()),
        benchmark::Counter::kIsRate);
}

BENCHMARK(BM_GraphicReference);
BENCHMARK(BM_GraphicCascade);

}  // namespace
}  // namespace mixengine
