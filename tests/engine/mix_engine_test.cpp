// The console end to end, one block at a time: default patching, chunking and ramps, pan law,
// taps and routes, update index rules, clamping and the feeds that leave the engine.
#include "engine/mix_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "engine/engine_probe.h"

// Settings read best as designated initialisers that name only what a case changes; the fields left
// out take their defaults, which is the point.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace mixengine {
namespace {

constexpr float kFs = 48000.0f;
constexpr float kCentre = 0.70710677f;

// Interleaved block with a constant on one channel and silence elsewhere.
std::vector<float> block(std::size_t frames, std::size_t channels, std::size_t active, float v) {
    std::vector<float> in(frames * channels, 0.0f);
    for (std::size_t i = 0; i < frames; ++i) in[i * channels + active] = v;
    return in;
}

std::vector<float> channel(const std::vector<float>& out, std::size_t channels, std::size_t c) {
    std::vector<float> v;
    for (std::size_t i = c; i < out.size(); i += channels) v.push_back(out[i]);
    return v;
}

struct Rig {
    explicit Rig(std::size_t outs = 2) : meters(outs) {}

    std::vector<float> run(const std::vector<float>& in, std::size_t in_ch, std::size_t frames,
                           std::size_t out_ch, AnalyserSink sink = {}) {
        std::vector<float> out(frames * out_ch, 123.0f);  // every sample must be overwritten
        engine.process(in, in_ch, out, out_ch, meters, sink);
        return out;
    }
    void strip(std::size_t i, StripCfg cfg) { engine.apply_update(update::StripSettings{i, cfg}); }
    void patch(std::vector<int32_t> map, std::vector<OutputRoute> routes) {
        engine.apply_update(update::Patch{std::move(map), std::move(routes)});
    }
    EngineProbe probe() { return EngineProbe(engine); }

    MixEngine engine{kFs};
    Meters meters;
};

std::vector<int32_t> identity_map() {
    std::vector<int32_t> m(32);
    for (int32_t i = 0; i < 32; ++i) m[std::size_t(i)] = i;
    return m;
}

OutputRoute strip_route(uint32_t i, bool post_fader) {
    return {OutputRoute::Kind::Strip, i, post_fader};
}
OutputRoute bus_route(uint32_t i) {
    return {OutputRoute::Kind::Bus, i, false};
}

// Records the sizes of the analyser chunks and the samples handed over.
struct SinkRecorder {
    std::vector<std::size_t> sizes;
    std::vector<float> samples;
    AnalyserSink sink() {
        return {this, [](void* c, const float* s, std::size_t n) {
                    auto* self = static_cast<SinkRecorder*>(c);
                    self->sizes.push_back(n);
                    self->samples.insert(self->samples.end(), s, s + n);
                }};
    }
};

TEST(MixEngine, DefaultPatchPlaysEveryInputCentredOnMain) {
    // Block lengths that end the sums' vector runs at every place.
    for (std::size_t n : {1u, 8u, 24u, 32u, 56u, 63u, 72u, 136u}) {
        Rig rig(3);
        const auto out = rig.run(block(n, 4, 3, 0.5f), 4, n, 3);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(out[3 * i], 0.5f * kCentre) << "frame " << i << " of " << n;
            ASSERT_EQ(out[3 * i + 1], 0.5f * kCentre) << "frame " << i << " of " << n;
            ASSERT_EQ(out[3 * i + 2], 0.0f) << "frame " << i;  // no route for a third channel
        }
    }
    Rig rig(3);
    rig.run(block(64, 4, 3, 0.5f), 4, 64, 3);
    EXPECT_EQ(meter_load(rig.meters.out_peak[0]), 0.5f * kCentre);
    EXPECT_EQ(meter_load(rig.meters.out_peak[2]), 0.0f);
    EXPECT_EQ(meter_load(rig.meters.strip_peak[3]), 0.5f);
    EXPECT_EQ(meter_load(rig.meters.strip_peak[2]), 0.0f);
    for (const auto* gains :
         {&rig.meters.strip_gate, &rig.meters.strip_comp, &rig.meters.strip_amix})
        EXPECT_EQ(meter_load((*gains)[3]), 1.0f);  // stages absent: unity
}

TEST(MixEngine, LargeBlocksRunAsChunksOfAtMost2048Frames) {
    Rig rig;
    rig.engine.apply_update(update::AnalyserSelect{{AnalyserSource::Kind::Main}});
    SinkRecorder rec;
    rig.strip(0, StripCfg{.fader = 0.0f});
    const auto out = rig.run(block(5000, 1, 0, 1.0f), 1, 5000, 2, rec.sink());
    EXPECT_EQ(rec.sizes, (std::vector<std::size_t>{2048, 2048, 904}));
    // The fader fade completes inside the first chunk and ends at exactly 0.
    const auto left = channel(out, 2, 0);
    for (std::size_t k = 0; k < 2048; ++k)
        ASSERT_NEAR(left[k], kCentre * (1.0f - float(k + 1) / 2048.0f), 1e-6f) << "frame " << k;
    for (std::size_t k = 2047; k < 5000; ++k) ASSERT_EQ(left[k], 0.0f) << "frame " << k;
}

TEST(MixEngine, FaderFadeIsLinearAndEndsAtExactlyZeroForAnyChunkLength) {
    for (std::size_t n : {1u, 3u, 7u, 100u, 904u, 2047u}) {
        Rig rig;
        rig.patch(identity_map(), {strip_route(0, true)});
        rig.strip(0, StripCfg{.fader = 0.0f});
        const auto out = rig.run(block(n, 1, 0, 1.0f), 1, n, 1);
        for (std::size_t k = 0; k + 1 < n; ++k)
            ASSERT_NEAR(out[k], 1.0f - float(k + 1) / float(n), 1e-6f) << "n=" << n << " k=" << k;
        EXPECT_EQ(out[n - 1], 0.0f) << "n=" << n;
        EXPECT_EQ(rig.run(block(n, 1, 0, 1.0f), 1, n, 1), std::vector<float>(n, 0.0f));
    }
}

// The sums take sixteen, eight or one frame at a time and ramps lane by lane: every length of
// chunk that ends somewhere else in them.
TEST(MixEngine, SumsFollowTheirRampsForAnyChunkLength) {
    for (std::size_t n : {1u, 7u, 8u, 15u, 16u, 17u, 24u, 40u, 129u, 136u, 255u}) {
        Rig rig;
        rig.strip(0, StripCfg{.lr = false});  // the strip's share of main fades out
        const auto left = channel(rig.run(block(n, 1, 0, 1.0f), 1, n, 2), 2, 0);
        for (std::size_t k = 0; k + 1 < n; ++k)
            ASSERT_NEAR(left[k], kCentre * (1.0f - float(k + 1) / float(n)), 1e-6f)
                << "n=" << n << " k=" << k;
        EXPECT_EQ(left[n - 1], 0.0f) << "n=" << n;
    }
}

TEST(MixEngine, PolarityFlipRampsThroughZero) {
    Rig rig;
    rig.patch(identity_map(), {strip_route(0, false)});
    rig.strip(0, StripCfg{.gain_db = -6.0f, .invert = true});
    EXPECT_NEAR(rig.probe().strip_gain_target(0), -0.5012f, 1e-4f);
    rig.strip(0, StripCfg{.invert = true});
    const auto out = rig.run(block(4, 1, 0, 1.0f), 1, 4, 1);
    EXPECT_EQ(out, (std::vector<float>{0.5f, 0.0f, -0.5f, -1.0f}));
}

TEST(MixEngine, PanLawAndLrSwitch) {
    struct Case {
        float pan;
        bool lr;
        double expect_l, expect_r;
    };
    const double q = std::numbers::pi / 4.0;
    const Case cases[] = {
        {0.0f, true, std::cos(q), std::sin(q)},
        {-1.0f, true, 1.0, 0.0},
        {1.0f, true, 0.0, 1.0},
        {0.5f, true, std::cos(1.5 * q), std::sin(1.5 * q)},
        {7.0f, true, 0.0, 1.0},
        {-3.0f, true, 1.0, 0.0},
        {0.3f, false, 0.0, 0.0},
        {1.0f, false, 0.0, 0.0},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.strip(0, StripCfg{.pan = c.pan, .lr = c.lr});
        rig.run(block(16, 1, 0, 0.0f), 1, 16, 2);  // lets the ramps arrive
        const auto out = rig.run(block(16, 1, 0, 0.5f), 1, 16, 2);
        EXPECT_NEAR(out[30], 0.5 * c.expect_l, 1e-6) << "pan " << c.pan << " lr " << c.lr;
        EXPECT_NEAR(out[31], 0.5 * c.expect_r, 1e-6) << "pan " << c.pan << " lr " << c.lr;
    }
}

TEST(MixEngine, RoutesPlayPreAndPostFaderStripsBusesAndMono) {
    Rig rig(5);
    rig.patch(identity_map(), {strip_route(0, false),
                               strip_route(0, true),
                               bus_route(2),
                               {OutputRoute::Kind::Mono},
                               {OutputRoute::Kind::Off}});
    StripCfg cfg{.fader = 0.5f, .mono = 0.25f};
    cfg.sends.resize(3);
    cfg.sends[2] = {.lin = 0.5f, .tap = 2};
    rig.strip(0, cfg);
    rig.run(block(32, 1, 0, 0.8f), 1, 32, 5);
    const auto out = rig.run(block(32, 1, 0, 0.8f), 1, 32, 5);
    EXPECT_FLOAT_EQ(out[5 * 31 + 0], 0.8f);
    EXPECT_FLOAT_EQ(out[5 * 31 + 1], 0.4f);
    EXPECT_FLOAT_EQ(out[5 * 31 + 2], 0.2f);
    EXPECT_FLOAT_EQ(out[5 * 31 + 3], 0.1f);
    EXPECT_EQ(out[5 * 31 + 4], 0.0f);
    EXPECT_EQ(meter_load(rig.meters.out_peak[4]), 0.0f);
    EXPECT_FLOAT_EQ(meter_load(rig.meters.bus_peak[2]), 0.2f);
    EXPECT_FLOAT_EQ(meter_load(rig.meters.mono_peak), 0.1f);
}

TEST(MixEngine, SendTapsPickGatedPreFaderOrPostFaderSignal) {
    Rig rig(3);
    rig.patch(identity_map(), {bus_route(0), bus_route(1), bus_route(2)});
    StripCfg cfg{.fader = 0.5f};
    cfg.eq = {Band{.type = "lshv", .f = 1000.0, .g = 6.0, .q = 0.7}};  // x2 at DC
    cfg.sends = {{1.0f, 0}, {1.0f, 1}, {1.0f, 2}};
    rig.strip(0, cfg);
    std::vector<float> out;
    for (int i = 0; i < 20; ++i) out = rig.run(block(256, 1, 0, 0.1f), 1, 256, 3);
    const float shelf = std::pow(10.0f, 6.0f / 20.0f);
    EXPECT_NEAR(out[3 * 255 + 0], 0.1f, 1e-6f);
    EXPECT_NEAR(out[3 * 255 + 1], 0.1f * shelf, 1e-4f);
    EXPECT_NEAR(out[3 * 255 + 2], 0.05f * shelf, 1e-4f);
}

TEST(MixEngine, InputMapSilencesMissingChannelsAndRemaps) {
    Rig rig(4);
    rig.patch({3, -1, 7}, {strip_route(0, false), strip_route(1, false), strip_route(2, false),
                           strip_route(3, false)});
    std::vector<float> in(4 * 8);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = float(i % 4 + 1) * 0.1f;
    const auto out = rig.run(in, 4, 8, 4);
    for (std::size_t f = 0; f < 8; ++f) {
        EXPECT_FLOAT_EQ(out[4 * f + 0], 0.4f);  // channel 3
        EXPECT_EQ(out[4 * f + 1], 0.0f);        // negative entry
        EXPECT_EQ(out[4 * f + 2], 0.0f);        // channel beyond the device
        EXPECT_EQ(out[4 * f + 3], 0.0f);        // beyond the map
    }
    // Input shorter than the output block: every strip hears silence.
    const auto empty = rig.run({}, 4, 8, 4);
    EXPECT_EQ(empty, std::vector<float>(32, 0.0f));
}

// Strips whose channels lie side by side on the device take them eight at a time; whatever the
// map, each strip must hear exactly its own channel, a broken sample as silence.
TEST(MixEngine, EveryStripHearsItsOwnChannelWhateverTheMap) {
    struct Case {
        const char* name;
        std::size_t device_channels;
        std::vector<int32_t> map;
    };
    std::vector<int32_t> shifted = identity_map(), one_moved = identity_map(), huge = shifted;
    for (int32_t& c : shifted) c += 3;
    one_moved[13] = 2;  // the second eight no longer side by side, channel 2 heard twice
    huge[0] = std::numeric_limits<int32_t>::max();  // the next seven beyond any int32_t
    const Case cases[] = {{"identity", 32, identity_map()},
                          {"shifted", 40, shifted},
                          {"one moved", 32, one_moved},
                          {"past the device", 30, identity_map()},
                          {"huge", 32, huge}};
    constexpr std::size_t kFrames = 21;
    for (const Case& c : cases) {
        Rig rig(32);
        std::vector<OutputRoute> routes;
        for (uint32_t i = 0; i < 32; ++i) routes.push_back(strip_route(i, false));
        rig.patch(c.map, routes);
        std::vector<float> in(kFrames * c.device_channels);
        for (std::size_t i = 0; i < in.size(); ++i)
            in[i] = float(i % c.device_channels + 1) * 0.01f + float(i / c.device_channels) * 1e-4f;
        in[5 * c.device_channels + 4] = std::numeric_limits<float>::infinity();
        const auto out = rig.run(in, c.device_channels, kFrames, 32);
        for (std::size_t strip = 0; strip < 32; ++strip) {
            const int32_t ch = c.map[strip];
            for (std::size_t f = 0; f < kFrames; ++f) {
                const bool heard = ch >= 0 && std::size_t(ch) < c.device_channels;
                const float x = heard ? in[f * c.device_channels + std::size_t(ch)] : 0.0f;
                ASSERT_EQ(out[f * 32 + strip], std::isfinite(x) ? x : 0.0f)
                    << c.name << ", strip " << strip << ", frame " << f;
            }
        }
    }
}

TEST(MixEngine, DelayLineDelaysByWholeSamplesUpToHalfASecond) {
    const struct {
        float ms;
        std::size_t samples;
    } cases[] = {{1.0f, 48}, {800.0f, 24000}, {500.0f, 24000}, {-5.0f, 0}, {0.02f, 0}};
    for (const auto& c : cases) {
        Rig rig;
        rig.strip(0, StripCfg{.delay_ms = c.ms});
        EXPECT_EQ(rig.probe().delay_samples(0), c.samples) << c.ms << " ms";
    }
    Rig rig;
    rig.patch(identity_map(), {strip_route(0, false)});
    rig.strip(0, StripCfg{.delay_ms = 1.0f});
    std::vector<float> in(100, 0.0f);
    in[10] = 1.0f;
    const auto out = rig.run(in, 1, 100, 1);
    for (std::size_t k = 0; k < 100; ++k) EXPECT_EQ(out[k], k == 58 ? 1.0f : 0.0f) << k;
}

TEST(MixEngine, OutOfRangeUpdatesChangeNothing) {
    Rig fresh, poked;
    poked.strip(40, StripCfg{.gain_db = 20.0f});
    poked.engine.apply_update(update::BusSettings{8, StripCfg{}});
    poked.engine.apply_update(update::FeedSwitch{10, true});
    poked.engine.apply_update(update::SetNotch{10, 1000.0f, -6.0f});
    poked.engine.apply_update(update::ClearNotches{12});
    poked.engine.apply_update(update::RemoveNotch{10, 1000.0f});
    poked.engine.apply_update(update::StartHowl{10, 1000.0f});
    const auto in = block(256, 2, 1, 0.3f);
    EXPECT_EQ(poked.run(in, 2, 256, 2), fresh.run(in, 2, 256, 2));
}

TEST(MixEngine, SelectionsBeyondTheConsoleAreNoSignal) {
    Rig rig(3);
    rig.patch(identity_map(), {strip_route(32, true), bus_route(8), strip_route(0, false)});
    rig.engine.apply_update(update::AnalyserSelect{{AnalyserSource::Kind::Strip, 99, true}});
    auto [prod, cons] = make_spsc_ring<float>(4096);
    rig.engine.install_listen_ring(std::move(prod));
    rig.engine.apply_update(update::ListenSource{SignalSource{SignalSource::Kind::Bus, 8}});
    rig.engine.apply_update(update::LoudnessSource{SignalSource{SignalSource::Kind::Strip, 40}});
    SinkRecorder rec;
    const auto out = rig.run(block(64, 1, 0, 0.5f), 1, 64, 3, rec.sink());
    for (std::size_t f = 0; f < 64; ++f) {
        EXPECT_EQ(out[3 * f], 0.0f);
        EXPECT_EQ(out[3 * f + 1], 0.0f);
        EXPECT_EQ(out[3 * f + 2], 0.5f);
    }
    EXPECT_EQ(meter_load(rig.meters.out_peak[0]), 0.0f);
    EXPECT_TRUE(rec.sizes.empty());
    EXPECT_EQ(cons.available(), 0u);
}

TEST(MixEngine, OutputIsClampedAndMeteredAfterClamping) {
    Rig rig;
    rig.patch(identity_map(), {strip_route(0, false), strip_route(1, false)});
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> in = {1.7f, -2.5f, -0.25f, nan, 0.5f, 0.5f};
    const auto out = rig.run(in, 2, 3, 2);
    EXPECT_EQ(out, (std::vector<float>{1.0f, -1.0f, -0.25f, 0.0f, 0.5f, 0.5f}));
    EXPECT_EQ(meter_load(rig.meters.out_peak[0]), 1.0f);
    EXPECT_EQ(meter_load(rig.meters.out_peak[1]), 1.0f);
}

TEST(MixEngine, AutoEqCurveAppliesOnlyWhereAutoEqIsOn) {
    Rig rig;
    const std::vector<float> curve(31, -2.0f);
    StripCfg on;
    on.aeq = AutoEqCfg{.on = true};
    rig.strip(5, on);
    rig.engine.apply_update(update::MonoSettings{on});
    rig.engine.apply_update(update::AutoEqCurve{5, curve});
    rig.engine.apply_update(update::AutoEqCurve{6, curve});   // strip 6 is off
    rig.engine.apply_update(update::AutoEqCurve{kAutoEqTargets + 3, curve});  // beyond means mono
    rig.engine.apply_update(update::AutoEqCurve{kAutoEqMain, curve});  // main is off
    EXPECT_EQ(rig.probe().auto_eq_stages(auto_eq_strip(5)), 31u);
    EXPECT_EQ(rig.probe().auto_eq_stages(auto_eq_strip(6)), 0u);
    EXPECT_EQ(rig.probe().auto_eq_stages(kAutoEqMono), 31u);
    EXPECT_EQ(rig.probe().auto_eq_stages(kAutoEqMain), 0u);

    rig.strip(5, StripCfg{});  // off empties the correction; on again starts without one
    EXPECT_EQ(rig.probe().auto_eq_stages(auto_eq_strip(5)), 0u);
    rig.strip(5, on);
    EXPECT_EQ(rig.probe().auto_eq_stages(auto_eq_strip(5)), 0u);
}

TEST(MixEngine, SendListUsesOnlyTheFirstEightEntries) {
    Rig rig;
    StripCfg cfg;
    for (int k = 0; k < 10; ++k) cfg.sends.push_back({float(k + 1) * 0.1f, 2});
    cfg.sends[3].lin = -1.0f;
    rig.strip(0, cfg);
    const EngineProbe probe = rig.probe();
    EXPECT_FLOAT_EQ(probe.send_target(0, 0), 0.1f);
    EXPECT_EQ(probe.send_target(0, 3), 0.0f);
    EXPECT_FLOAT_EQ(probe.send_target(0, 7), 0.8f);
}

TEST(MixEngine, FeedsCarryMainMidAndListenPairsWhenTheyFit) {
    Rig rig;
    auto [fba_p, fba_c] = make_spsc_ring<float>(1000);
    std::vector<RingProducer<float>> fba;
    fba.push_back(std::move(fba_p));
    rig.engine.install_fba_rings(std::move(fba));
    auto [listen_p, listen_c] = make_spsc_ring<float>(300);
    rig.engine.install_listen_ring(std::move(listen_p));
    rig.engine.apply_update(update::FeedSwitch{0, true});
    rig.engine.apply_update(update::FeedSwitch{1, true});  // no ring for mono: nothing happens
    rig.engine.apply_update(update::ListenSource{SignalSource{SignalSource::Kind::Main}});
    rig.strip(0, StripCfg{.pan = -1.0f});

    rig.run(block(100, 1, 0, 0.0f), 1, 100, 2);  // pan ramp
    ASSERT_EQ(fba_c.available(), 100u);
    ASSERT_EQ(listen_c.available(), 200u);
    fba_c.discard(100);
    listen_c.discard(200);

    rig.run(block(100, 1, 0, 0.6f), 1, 100, 2);
    std::vector<float> mid(100), pairs(200);
    ASSERT_EQ(fba_c.pop_some(mid.data(), 100), 100u);
    for (float v : mid) EXPECT_FLOAT_EQ(v, 0.3f);
    ASSERT_EQ(listen_c.pop_some(pairs.data(), 200), 200u);
    EXPECT_FLOAT_EQ(pairs[198], 0.6f);
    EXPECT_NEAR(pairs[199], 0.0f, 1e-7f);

    rig.run(block(100, 1, 0, 0.6f), 1, 100, 2);  // listen ring has room for 150 pairs
    rig.run(block(100, 1, 0, 0.6f), 1, 100, 2);  // ...so this whole chunk is dropped
    EXPECT_EQ(listen_c.available(), 200u);
    rig.engine.apply_update(update::FeedSwitch{0, false});
    fba_c.discard(1000);
    rig.run(block(100, 1, 0, 0.6f), 1, 100, 2);
    EXPECT_EQ(fba_c.available(), 0u);
}

TEST(MixEngine, AnalyserTapsStripBeforeEqAndAfterCompressor) {
    StripCfg cfg;
    cfg.eq = {Band{.type = "lshv", .f = 1000.0, .g = 6.0, .q = 0.7}};
    for (bool after_compressor : {false, true}) {
        Rig rig;
        rig.strip(2, cfg);
        rig.engine.apply_update(
            update::AnalyserSelect{{AnalyserSource::Kind::Strip, 2, after_compressor}});
        SinkRecorder rec;
        for (int i = 0; i < 20; ++i) rig.run(block(256, 3, 2, 0.1f), 3, 256, 2, rec.sink());
        EXPECT_NEAR(rec.samples.back(), after_compressor ? 0.1f * std::pow(10.0f, 0.3f) : 0.1f, 1e-4f);
    }
}

TEST(MixEngine, AutomixerSharesGainBetweenEqualStrips) {
    Rig rig;
    StripCfg cfg;
    cfg.amix = AmixCfg{.group = 1};
    rig.strip(0, cfg);
    rig.strip(1, cfg);
    for (int i = 0; i < 200; ++i) {
        std::vector<float> in(2 * 256, 0.2f);
        rig.run(in, 2, 256, 2);
    }
    EXPECT_NEAR(rig.probe().automix_gain(0), 0.70710677f, 1e-4f);
    EXPECT_NEAR(rig.probe().automix_gain(1), 0.70710677f, 1e-4f);
    EXPECT_NEAR(meter_load(rig.meters.strip_amix[0]), 0.70710677f, 1e-3f);
}

TEST(MixEngine, ApplyingAnUpdateLeavesNothingForTheCallerToFree) {
    // The owner pops every update into one record; whatever that record still held would be
    // freed by the next pop, on the audio thread. Every kind must come back empty.
    Rig rig;
    StripCfg cfg;
    cfg.aeq = AutoEqCfg{true};
    cfg.eq = {Band{}};
    std::vector<EngineUpdate> updates = {
        update::StripSettings{0, cfg},
        update::AutoEqCurve{0, std::vector<float>(31, 2.0f)},
        update::Patch{identity_map(), {OutputRoute{OutputRoute::Kind::MainL}}},
        update::MainSettings{cfg},
        update::BusSettings{40, cfg},  // ignored, but its payload is still released
    };
    for (auto& u : updates) {
        rig.engine.apply_update(std::move(u));
        EXPECT_EQ(u.index(), 0u);
        EXPECT_FALSE(std::get<update::LoudnessSource>(u).source.has_value());
    }
}

}  // namespace
}  // namespace mixengine
