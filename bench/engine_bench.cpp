// Real-time factor of the console (seconds of audio per CPU second) at 48 kHz in 256-frame
// blocks, for a typical show, for the worst case with every stage of every channel on, and for
// everything at once: the worst case plus bleed cancelling on every strip and 12 notches on each
// of the ten outputs.
#include <benchmark/benchmark.h>

#include <vector>

#include "engine/engine_probe.h"
#include "engine/mix_engine.h"
#include "engine_loads.h"

namespace mixengine {
namespace {

constexpr float kFs = 48000.0f;
constexpr std::size_t kBlock = 256;

void run(benchmark::State& state, const bench::Load& load, BlockPath path = BlockPath::Lanes) {
    MixEngine engine(kFs);
    EngineProbe(engine).set_path(path);
    Meters meters(2);
    bench::configure(engine, load);
    const std::size_t channels = load.channels;
    const std::vector<float> input = bench::noise(kBlock * channels);
    std::vector<float> output(kBlock * 2);
    for (auto _ : state) {
        engine.process(input, channels, output, 2, meters, {});
        benchmark::DoNotOptimize(output.data());
    }
    state.counters["rt_factor"] = benchmark::Counter(
        double(state.iterations()) * double(kBlock) / double(kFs), benchmark::Counter::kIsRate);
}

void BM_EngineTypical(benchmark::State& state) {
    run(state, bench::kTypical);
}
void BM_EngineWorstCase(benchmark::State& state) {
    run(state, bench::kWorst);
}

void BM_EngineEverything(benchmark::State& state) {
    run(state, bench::kEverything);
}

// The one-at-a-time path the lanes are held to, for comparison.
void BM_EngineTypicalOneAtATime(benchmark::State& state) {
    run(state, bench::kTypical, BlockPath::OneAtATime);
}
void BM_EngineWorstCaseOneAtATime(benchmark::State& state) {
    run(state, bench::kWorst, BlockPath::OneAtATime);
}
void BM_EngineEverythingOneAtATime(benchmark::State& state) {
    run(state, bench::kEverything, BlockPath::OneAtATime);
}

BENCHMARK(BM_EngineTypical);
BENCHMARK(BM_EngineWorstCase);
BENCHMARK(BM_EngineEverything);
BENCHMARK(BM_EngineTypicalOneAtATime);
BENCHMARK(BM_EngineWorstCaseOneAtATime);
BENCHMARK(BM_EngineEverythingOneAtATime);

}  // namespace
}  // namespace mixengine
