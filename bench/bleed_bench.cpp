// Cost of bleed reduction on one strip: nanoseconds per 256-frame block at 48 kHz, for the
// adaptive canceller and for the ducker (a loud reference, so the ducker computes its curve).
// The strip carries its own signal, unrelated to the reference, as a real one mostly does.
// BM_BleedCancelSideBySide runs 32 cancelling strips as the console's fast path does and reports
// the time per strip.
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

void BM_BleedCancelSideBySide(benchmark::State& state) {
    ScopedFlushDenormals denormals_off;
    constexpr std::size_t kStrips = 32;
    std::vector<BleedReducer> bleed;
    BleedCfg cfg;
    cfg.on = true;
    cfg.amount = 12.0f;
    for (std::size_t s = 0; s < kStrips; ++s) {
        bleed.emplace_back(48000.0);
        cfg.ref = s;
        bleed.back().configure(cfg);
    }
    std::vector<float> sig(kBlock), ref(kBlock), scratch(16 * kBlock);
    std::vector<std::vector<float>> bufs(kStrips, std::vector<float>(kBlock)), refs = bufs;
    uint32_t seed = 1;
    for (std::size_t i = 0; i < kBlock; ++i) {
        seed = seed * 1664525u + 1013904223u;
        ref[i] = float(seed >> 8) / float(1u << 24) - 0.5f;
        sig[i] = float((seed >> 3) % 1000) / 4000.0f - 0.125f;
    }
    std::vector<CancelLane> lanes;
    for (std::size_t s = 0; s < kStrips; ++s)
        lanes.push_back(CancelLane{&bleed[s], bufs[s].data(), refs[s].data()});
    for (auto _ : state) {
        for (std::size_t s = 0; s < kStrips; ++s) {
            std::copy(ref.begin(), ref.end(), refs[s].begin());
            std::copy(sig.begin(), sig.end(), bufs[s].begin());
        }
        cancel_in_lanes(lanes, kBlock, scratch.data());
        benchmark::DoNotOptimize(bufs[0].data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kStrips));
}

void BM_BleedCancel(benchmark::State& state) {
    run(state, "cancel");
}
void BM_BleedDuck(benchmark::State& state) {
    run(state, "duck");
}

BENCHMARK(BM_BleedCancel);
BENCHMARK(BM_BleedCancelSideBySide);
BENCHMARK(BM_BleedDuck);

}  // namespace
}  // namespace mixengine
