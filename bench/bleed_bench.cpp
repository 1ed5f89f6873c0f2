// Cost of bleed reduction on one strip: nanoseconds per 256-frame block at 48 kHz, for the
// adaptive canceller and for the ducker (a loud reference, so the ducker computes its curve).
// The strip carries its own signal, unrelated to the reference, as a real one mostly does.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/bleed.h"
#include "engine/denormals.h"

namespace mixengine {
namespace {

constexpr std::size_t kBlock = 256;

void run(benchmark::State& state, const char* mode) {
    ScopedFlushDenormals denormals_off;
    BleedReducer bleed(48000.0);
    BleedCfg cfg;
    cfg.on = true;
    cfg.mode = mode;
    cfg.amount = 12.0f;
    bleed.configure(cfg);
    std::vector<float> sig(kBlock), ref(kBlock), scratch(kBlock), buf(kBlock);
    uint32_t seed = 1;
    for (std::size_t i = 0; i < kBlock; ++i) {
        seed = seed * 1664525u + 1013904223u;
        ref[i] = float(seed >> 8) / float(1u << 24) - 0.5f;
        sig[i] = float((seed >> 3) % 1000) / 4000.0f - 0.125f;
    }
    for (auto _ : state) {
        std::copy(ref.begin(), ref.end(), scratch.begin());
        std::copy(sig.begin(), sig.end(), buf.begin());
        bleed.run(buf.data(), scratch.data(), kBlock);
        benchmark::DoNotOptimize(buf.data());
    }
}

void BM_BleedCancel(benchmark::State& state) {
    run(state, "cancel");
}
void BM_BleedDuck(benchmark::State& state) {
    run(state, "duck");
}

BENCHMARK(BM_BleedCancel);
BENCHMARK(BM_BleedDuck);

}  // namespace
}  // namespace mixengine
