// What the practice room costs: eight paths with eight reflections each per 256-frame block, on
// their own and inside a console of sixteen strips against the same console without a room; and
// one evaluation of the margin, which runs every 100 ms on the reporter thread.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "engine/mix_engine.h"
#include "engine/room.h"

namespace mixengine {
namespace {

constexpr float kRoomBenchFs = 48000.0f;
constexpr std::size_t kRoomBenchBlock = 256;

RoomCfg eight_paths() {
    RoomCfg room;
    for (std::size_t p = 0; p < kRoomPaths; ++p) {
        RoomPathCfg c;
        c.from = p < 2 ? OutputRoute{p == 0 ? OutputRoute::Kind::MainL : OutputRoute::Kind::MainR}
                       : OutputRoute{OutputRoute::Kind::Bus, uint32_t(p - 2)};
        c.ch = int32_t(p);
        c.m = 1.0f + 2.0f * float(p);
        c.db = -24.0f;
        c.refl = kRoomReflections;
        c.prox_db = 4.0f;
        c.seed = uint32_t(p + 1);
        room.paths.push_back(c);
    }
    return room;
}

void stage(MixEngine& e) {
    for (std::size_t s = 0; s < 16; ++s) {
        StripCfg c;
        c.hpf = Hpf{100.0, 12};
        c.eq = {Band{"peq", 250.0, -3.0, 1.0}, Band{"peq", 3000.0, 4.0, 1.4}};
        c.dyn = DynCfg{};
        c.sends = {SendCfg{0.5f, 1}, SendCfg{0.4f, 1}, SendCfg{0.3f, 1}};
        e.apply_update(update::StripSettings{s, c});
    }
    StripCfg out;
    out.geq = std::vector<float>(31, -1.0f);
    out.dyn = DynCfg{};
    for (std::size_t b = 0; b < 6; ++b) e.apply_update(update::BusSettings{b, out});
    e.apply_update(update::MainSettings{out});
}

void BM_RoomEightPathsAlone(benchmark::State& state) {
    Room room(kRoomBenchFs);
    room.configure(eight_paths());
    std::vector<float> speaker(kRoomBenchBlock, 0.1f);
    std::array<const float*, kRoomPaths> played;
    played.fill(speaker.data());
    for (auto _ : state) {
        room.hear({}, 0, kRoomBenchBlock);
        room.play(played, kRoomBenchBlock);
        benchmark::DoNotOptimize(room.channel(0));
    }
    state.counters["blocks"] = benchmark::Counter(double(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}

void engine_run(benchmark::State& state, bool with_room) {
    MixEngine engine(kRoomBenchFs);
    Meters meters(2);
    stage(engine);
    if (with_room) engine.apply_update(update::RoomSettings{eight_paths()});
    std::vector<float> input(kRoomBenchBlock * 16), output(kRoomBenchBlock * 2);
    uint32_t seed = 1;
    for (auto& v : input) {
        seed = seed * 1664525u + 1013904223u;
        v = float(seed >> 8) / float(1u << 24) * 0.02f - 0.01f;
    }
    for (auto _ : state) {
        engine.process(input, 16, output, 2, meters, {});
        benchmark::DoNotOptimize(output.data());
    }
    state.counters["blocks"] = benchmark::Counter(double(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}

void BM_RoomStageWithoutRoom(benchmark::State& state) {
    engine_run(state, false);
}
void BM_RoomStageWithEightPaths(benchmark::State& state) {
    engine_run(state, true);
}

void BM_RoomMarginEightPaths(benchmark::State& state) {
    MixEngine engine(kRoomBenchFs);
    stage(engine);
    engine.apply_update(update::RoomSettings{eight_paths()});
    for (auto _ : state) {
        RoomMargin m = engine.room_margin(kRoomBenchBlock);
        benchmark::DoNotOptimize(m);
    }
}

BENCHMARK(BM_RoomEightPathsAlone);
BENCHMARK(BM_RoomStageWithoutRoom);
BENCHMARK(BM_RoomStageWithEightPaths);
BENCHMARK(BM_RoomMarginEightPaths)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mixengine
