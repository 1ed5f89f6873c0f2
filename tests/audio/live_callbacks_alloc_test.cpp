// The live callbacks never touch the heap once running: many blocks through the input and output
// callbacks, with a busy console, count zero allocations and frees.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "audio/live_callbacks.h"
#include "support/allocation_counter.h"

namespace mixengine {
namespace {

std::vector<Band> four_bands() {
    std::vector<Band> b;
    for (int i = 0; i < 4; ++i) b.push_back(Band{"peq", 100.0 * (i + 1), 3.0, 1.0});
    return b;
}

TEST(LiveCallbacks, RunWithoutHeapTraffic) {
    constexpr uint16_t kIn = 16, kOut = 8;
    auto xruns = std::make_shared<XrunCounter>(0);
    auto [in_w, in_r] = make_spsc_ring<float>(kIn * 16384);
    auto [up_w, up_r] = make_spsc_ring<EngineUpdate>(kUpdateRingCapacity);
    auto [an_w, an_r] = make_spsc_ring<float>(48000);

    // A typical show, applied by the output callback's first block (which may allocate).
    for (std::size_t s = 0; s < 16; ++s) {
        StripCfg c;
        c.hpf = Hpf{};
        c.gate = GateCfg{};
        c.dyn = DynCfg{};
        c.eq = four_bands();
        c.sends = {SendCfg{0.5f, 1}, SendCfg{0.3f, 2}};
        up_w.push(EngineUpdate(update::StripSettings{s, c}));
    }
    StripCfg main;
    main.geq = std::vector<float>(31, 2.0f);
    main.dyn = DynCfg{};
    up_w.push(EngineUpdate(update::MainSettings{main}));
    up_w.push(EngineUpdate(update::AnalyserSelect{{AnalyserSource::Kind::Main, 0, false}}));

    LiveOutputParts parts;
    parts.engine = std::make_unique<MixEngine>(48000.0f);
    parts.updates = std::move(up_r);
    parts.input = std::move(in_r);
    parts.analyser = std::move(an_w);
    parts.meters = std::make_shared<Meters>(kOut);
    parts.xruns = xruns;
    parts.in_channels = kIn;
    parts.out_channels = kOut;
    LiveOutput output(std::move(parts));
    LiveInput input(std::move(in_w), xruns, kIn);

    std::vector<int16_t> device_in(256 * kIn);
    for (std::size_t i = 0; i < device_in.size(); ++i)
        device_in[i] = static_cast<int16_t>((i * 7919) % 20000 - 10000);
    std::vector<int32_t> device_out(256 * kOut);
    input(InputBlock(std::span<const int16_t>(device_in)));
    output(OutputBlock(std::span<int32_t>(device_out)));  // applies the show

    testing::start_counting_heap();
    for (int block = 0; block < 400; ++block) {
        input(InputBlock(std::span<const int16_t>(device_in)));
        output(OutputBlock(std::span<int32_t>(device_out)));
        float sink[512];
        an_r.pop_some(sink, 512);
    }
    output(OutputBlock(std::span<int32_t>(device_out)));  // starved: silence and an xrun
    const auto traffic = testing::stop_counting_heap();
    EXPECT_EQ(traffic.allocations, 0);
    EXPECT_EQ(traffic.frees, 0);
    EXPECT_EQ(xruns->load(), 1u);
}

}  // namespace
}  // namespace mixengine
