// Real-time factor of the console (seconds of audio per CPU second) at 48 kHz in 256-frame
// blocks, for a typical show and for the worst case with every stage of every channel on.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "engine/mix_engine.h"

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

void worst(MixEngine& e) {
    for (std::size_t s = 0; s < kStrips; ++s) {
        StripCfg c;
        c.hpf = Hpf{100.0, 24};
        c.gate = GateCfg{};
        c.eq = bands("peq", 8);
        c.peq32 = bands("peq", 8);
        c.geq = graphic();
        c.dyn = DynCfg{};
        c.amix = AmixCfg{uint8_t(1 + s % 2), 0.0f};
        for (int k = 0; k < 8; ++k) c.sends.push_back(SendCfg{0.2f, uint8_t(k % 3)});
        e.apply_update(update::StripSettings{s, c});
    }
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

void run(benchmark::State& state, void (*configure)(MixEngine&), std::size_t channels) {
    MixEngine engine(kFs);
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

BENCHMARK(BM_EngineTypical);
BENCHMARK(BM_EngineWorstCase);

}  // namespace
}  // namespace mixengine
