// The audio thread must never touch the heap: count every allocation and free made while the
// heaviest console configuration (bleed reduction on every strip included) processes blocks of
// many sizes, and expect none.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "engine/mix_engine.h"
#include "../../bench/engine_loads.h"
#include "support/allocation_counter.h"

namespace mixengine {
namespace {

std::vector<Band> bands(const char* type, int count) {
    std::vector<Band> b;
    for (int i = 0; i < count; ++i)
        b.push_back(Band{type, 100.0 * (i + 1), (i % 2 ? 3.0 : -3.0), 1.5});
    return b;
}

StripCfg everything_on(int index) {
    StripCfg c;
    c.gain_db = 3.0f;
    c.delay_ms = 12.0f;
    c.hpf = Hpf{90.0, 24};
    c.gate = GateCfg{};
    c.gate->mode = "exp3";
    c.eq = bands("peq", 8);
    c.peq32 = bands("lshv", 8);
    c.geq = std::vector<float>(31, 1.5f);
    c.dyn = DynCfg{};
    c.dyn->rms = index % 2 == 0;
    c.dyn->hold = 5.0f;
    c.fader = 0.8f;
    c.pan = -0.3f;
    c.mono = 0.5f;
    for (int k = 0; k < 8; ++k) c.sends.push_back(SendCfg{0.3f, uint8_t(k % 3)});
    c.aeq = AutoEqCfg{};
    c.aeq->on = true;
    c.amix = AmixCfg{uint8_t(1 + index % 2), 1.0f};
    c.bleed = BleedCfg{};
    c.bleed->on = true;
    c.bleed->mode = index % 3 == 0 ? "duck" : "cancel";
    c.bleed->ref =
        uint64_t(index % 5 == 0 ? index : (index + 1) % 32);  // some strips key themselves
    return c;
}

TEST(EngineAllocation, HeaviestConsoleProcessesWithoutTouchingTheHeap) {
    MixEngine engine(48000.0f);
    Meters meters(8);
    std::vector<RingConsumer<float>> consumers;
    std::vector<RingProducer<float>> fba, aeq;
    for (std::size_t i = 0; i < kOutputsWatched; ++i) {
        auto [p, c] = make_spsc_ring<float>(65536);
        fba.push_back(std::move(p));
        consumers.push_back(std::move(c));
    }
    for (std::size_t i = 0; i < kAutoEqTargets; ++i) {
        auto [p, c] = make_spsc_ring<float>(32768);
        aeq.push_back(std::move(p));
        consumers.push_back(std::move(c));
    }
    engine.install_fba_rings(std::move(fba));
    engine.install_aeq_rings(std::move(aeq));
    auto [listen, listen_c] = make_spsc_ring<float>(96000);
    engine.install_listen_ring(std::move(listen));
    auto [analyser, analyser_c] = make_spsc_ring<float>(48000);

    const std::vector<float> curve(31, -1.0f);
    for (std::size_t s = 0; s < kStrips; ++s) {
        engine.apply_update(update::StripSettings{s, everything_on(int(s))});
        engine.apply_update(update::AutoEqCurve{s, curve});
    }
    StripCfg out = everything_on(0);
    out.hpf.reset();
    out.gate.reset();
    for (std::size_t b = 0; b < kBuses; ++b) {
        engine.apply_update(update::BusSettings{b, out});
        engine.apply_update(update::AutoEqCurve{32 + b, curve});
    }
    engine.apply_update(update::MainSettings{out});
    engine.apply_update(update::MonoSettings{out});
    engine.apply_update(update::AutoEqCurve{40, curve});
    engine.apply_update(update::AutoEqCurve{41, curve});
    for (std::size_t o = 0; o < kOutputsWatched; ++o) {
        engine.apply_update(update::FeedSwitch{o, true});
        for (int k = 0; k < 12; ++k)
            engine.apply_update(update::SetNotch{o, 200.0f * float(k + 1), -6.0f});
        engine.apply_update(update::StartHowl{o, 1234.0f});
    }
    std::vector<OutputRoute> routes = {{OutputRoute::Kind::MainL},
                                       {OutputRoute::Kind::MainR},
                                       {OutputRoute::Kind::Mono},
                                       {OutputRoute::Kind::Bus, 3},
                                       {OutputRoute::Kind::Strip, 5, true}};
    std::vector<int32_t> map(32);
    for (int i = 0; i < 32; ++i) map[std::size_t(i)] = i % 8;
    engine.apply_update(update::Patch{map, routes});
    engine.apply_update(update::AnalyserSelect{{AnalyserSource::Kind::Main}});
    engine.apply_update(update::LoudnessSource{SignalSource{SignalSource::Kind::Main}});
    engine.apply_update(update::ListenSource{SignalSource{SignalSource::Kind::Bus, 2}});
    // A practice room of eight paths, every one with all its reflections and a proximity lift,
    // from every kind of loudspeaker, into microphones on channels the device has and has not.
    RoomCfg room;
    for (uint32_t p = 0; p < kRoomPaths; ++p) {
        RoomPathCfg path;
        path.from = p < 3 ? OutputRoute{p == 0   ? OutputRoute::Kind::MainL
                                        : p == 1 ? OutputRoute::Kind::MainR
                                                 : OutputRoute::Kind::Mono}
                          : OutputRoute{OutputRoute::Kind::Bus, p};
        path.ch = int32_t(p % 5 == 4 ? 12 : p % 5);
        path.m = 0.5f + 6.0f * float(p);
        path.refl = kRoomReflections;
        path.prox_db = 6.0f;
        path.seed = p + 1;
        room.paths.push_back(path);
    }
    engine.apply_update(update::RoomSettings{room});

    const std::size_t sizes[] = {1, 64, 256, 2048, 2049, 5000, 17};
    std::vector<float> input(5000 * 8), output(5000 * 8);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = float((i * 7919) % 2000) / 2000.0f - 0.5f;

    // The counter itself must see an allocation, or a zero below would prove nothing.
    testing::start_counting_heap();
    delete new std::vector<float>(3);
    const auto probe = testing::stop_counting_heap();
    ASSERT_EQ(probe.allocations, 2);
    ASSERT_EQ(probe.frees, 2);

    testing::start_counting_heap();
    for (int rep = 0; rep < 8; ++rep) {
        for (std::size_t n : sizes) {
            engine.process(std::span(input.data(), n * 8), 8, std::span(output.data(), n * 8), 8,
                           meters, AnalyserSink::to_ring(analyser));
            for (auto& c : consumers) c.discard(c.available());
            listen_c.discard(listen_c.available());
            analyser_c.discard(analyser_c.available());
        }
    }
    const auto traffic = testing::stop_counting_heap();
    EXPECT_EQ(traffic.allocations, 0);
    EXPECT_EQ(traffic.frees, 0);
}

// The benchmarks' loads, at the device buffers they are timed at and a few others, switching
// between loads so that the lane path regathers its filters and regroups its cancellers mid-run.
TEST(EngineAllocation, BenchmarkLoadsProcessWithoutTouchingTheHeap) {
    MixEngine engine(48000.0f);
    Meters meters(2);
    const std::vector<float> input = bench::noise(2100 * 32);
    std::vector<float> output(2100 * 2);
    for (const bench::Load* load : {&bench::kTypical, &bench::kWorst, &bench::kEverything}) {
        bench::configure(engine, *load);
        testing::start_counting_heap();
        for (std::size_t n : {32, 64, 128, 256, 1, 2100})
            engine.process(std::span(input.data(), n * load->channels), load->channels,
                           std::span(output.data(), n * 2), 2, meters, {});
        const auto traffic = testing::stop_counting_heap();
        EXPECT_EQ(traffic.allocations, 0) << load->name;
        EXPECT_EQ(traffic.frees, 0) << load->name;
    }
}

}  // namespace
}  // namespace mixengine
