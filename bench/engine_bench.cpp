// Real-time factor of the console (seconds of audio per CPU second) at 48 kHz in 256-frame
// blocks, for a typical show, for the worst case with every stage of every channel on, and for
// everything at once: the worst case plus bleed cancelling on every strip and 12 notches on each
// of the ten outputs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/mix_engine.h"
#include "engine/mix_engine_state.h"

namespace mixengine {
namespace {

constexpr float kFs = 48000.0f;
constexpr std::size_t kBlock = 256;

std::vector<Band> bands(const char* type, int count) {
    std::vector<Band> b;
    for (int i = 0; i < count; ++i)
        b.push_back(Band{type, 80.0 * (i + 1) * (i + 1), (i % 2 ? 4.0 : -3.0), 1.2});
    return b;
}

std::vector<float> graphic() {
    std::vector<float> g(31);
    for (std::size_t i = 0; i < g.size(); ++i) g[i] = (i % 2 ? 1.5f : -2.0f);
    return g;
}

void typical(MixEngine& e) {
    for (std::size_t s = 0; s < 16; ++s) {
        StripCfg c;
        c.hpf = Hpf{100.0, 12};
        c.eq = bands("peq", 4);
        c.gate = GateCfg{};
        c.dyn = DynCfg{};
        c.sends = {SendCfg{0.5f, 1}, SendCfg{0.3f, 2}};
        e.apply_update(update::StripSettings{s, c});
    }
    StripCfg bus;
    bus.eq = bands("peq", 4);
    bus.dyn = DynCfg{};
    for (std::size_t b = 0; b < 4; ++b) e.apply_update(update::BusSettings{b, bus});
    StripCfg main;
    main.geq = graphic();
    main.dyn = DynCfg{};
    e.apply_update(update::MainSettings{main});
}

StripCfg worst_strip(std::size_t s) {
    StripCfg c;
    c.hpf = Hpf{100.0, 24};
    c.gate = GateCfg{};
    c.eq = bands("peq", 8);
    c.peq32 = bands("peq", 8);
    c.geq = graphic();
    c.dyn = DynCfg{};
    c.amix = AmixCfg{uint8_t(1 + s % 2), 0.0f};
    for (int k = 0; k < 8; ++k) c.sends.push_back(SendCfg{0.2f, uint8_t(k % 3)});
    return c;
}

void worst_outputs(MixEngine& e) {
    StripCfg out;
    out.eq = bands("peq", 8);
    out.peq32 = bands("lshv", 8);
    out.geq = graphic();
    out.dyn = DynCfg{};
    out.pan = 0.2f;
    for (std::size_t b = 0; b < kBuses; ++b) e.apply_update(update::BusSettings{b, out});
    e.apply_update(update::MonoSettings{out});
    e.apply_update(update::MainSettings{out});
}

void worst(MixEngine& e) {
    for (std::size_t s = 0; s < kStrips; ++s)
        e.apply_update(update::StripSettings{s, worst_strip(s)});
    worst_outputs(e);
}

void everything(MixEngine& e) {
    for (std::size_t s = 0; s < kStrips; ++s) {
        StripCfg c = worst_strip(s);
        c.bleed = BleedCfg{};
        c.bleed->on = true;
        c.bleed->ref = (s + 1) % kStrips;
        e.apply_update(update::StripSettings{s, c});
    }
    worst_outputs(e);
    for (std::size_t o = 0; o < kOutputsWatched; ++o)
        for (int k = 0; k < 12; ++k)
            e.apply_update(update::SetNotch{
                o, 100.0f * std::pow(1.3f, float(k)) * (1.0f + 0.05f * float(o)), -9.0f});
}

void run(benchmark::State& state, void (*configure)(MixEngine&), std::size_t channels,
         bool reference = false) {
    MixEngine engine(kFs);
    use_reference_path(engine, reference);
    Meters meters(2);
    configure(engine);
    std::vector<float> input(kBlock * channels), output(kBlock * 2);
    uint32_t seed = 1;
    for (auto& v : input) {
        seed = seed * 1664525u + 1013904223u;
        v = float(seed >> 8) / float(1u << 24) * 0.5f - 0.25f;
    }
    for (auto _ : state) {
        engine.process(input, channels, output, 2, meters, {});
        benchmark::DoNotOptimize(output.data());
    }
    state.counters["rt_factor"] = benchmark::Counter(
        double(state.iterations()) * double(kBlock) / double(kFs), benchmark::Counter::kIsRate);
}

void BM_EngineTypical(benchmark::State& state) {
    run(state, typical, 16);
}
void BM_EngineWorstCase(benchmark::State& state) {
    run(state, worst, 32);
}

void BM_EngineEverything(benchmark::State& state) {
    run(state, everything, 32);
}

// The straightforward path the fast one is held to, for comparison.
void BM_EngineTypicalReference(benchmark::State& state) {
    run(state, typical, 16, true);
}
void BM_EngineWorstCaseReference(benchmark::State& state) {
    run(state, worst, 32, true);
}
void BM_EngineEverythingReference(benchmark::State& state) {
    run(state, everything, 32, true);
}

BENCHMARK(BM_EngineTypical);
BENCHMARK(BM_EngineWorstCase);
BENCHMARK(BM_EngineEverything);
BENCHMARK(BM_EngineTypicalReference);
BENCHMARK(BM_EngineWorstCaseReference);
BENCHMARK(BM_EngineEverythingReference);

}  // namespace
}  // namespace mixengine
