// The console's fast path (filters, gates and compressors of eight channels side by side in SIMD
// lanes) against its straightforward path (one strip after another, one channel at a time), over
// randomised settings and signals. Lane-parallel stages do per lane exactly the arithmetic of the
// plain stage, and nothing is contracted into fused multiply-adds, so every sample, meter and feed
// must be equal, not merely close.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engine/engine_probe.h"
#include "engine/mix_engine.h"

namespace mixengine {
namespace {

constexpr std::size_t kIn = 8, kOut = 6;

struct Rand {
    std::mt19937 rng;
    float uni(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); }
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
    bool coin() { return pick(2) == 0; }

    std::vector<Band> bands(int max) {
        static const char* types[] = {"peq", "hp", "lp", "bp", "hp1", "lshv", "hshv", "lcut"};
        std::vector<Band> b(std::size_t(pick(max + 1)));
        for (Band& x : b)
            x = Band{types[pick(8)], double(uni(30.0f, 18000.0f)), double(uni(-12.0f, 12.0f)),
                     double(uni(0.3f, 8.0f))};
        return b;
    }
    GateCfg gate() {
        static const char* modes[] = {"gate", "exp2", "exp3", "exp4"};
        return GateCfg{modes[pick(4)],
                       uni(-60.0f, -10.0f),
                       uni(0.0f, 80.0f),
                       uni(0.0f, 5.0f),
                       coin() ? 0.0f : uni(0.0f, 20.0f),
                       uni(1.0f, 300.0f)};
    }
    DynCfg dyn() {
        return DynCfg{coin(),
                      coin(),
                      uni(-40.0f, -5.0f),
                      uni(0.5f, 20.0f),
                      uni(0.0f, 10.0f),
                      uni(-6.0f, 12.0f),
                      uni(0.0f, 30.0f),
                      coin() ? 0.0f : uni(0.0f, 20.0f),
                      uni(5.0f, 300.0f),
                      coin() ? 100.0f : uni(0.0f, 100.0f)};
    }
    std::vector<float> curve() {
        std::vector<float> g(31);
        for (float& x : g) x = coin() ? 0.0f : uni(-9.0f, 9.0f);
        return g;
    }
    StripCfg strip(bool is_strip) {
        StripCfg c;
        c.gain_db = uni(-6.0f, 12.0f);
        c.invert = coin();
        if (is_strip && pick(4) == 0) {  // levels and routing only: idle once unpatched
            c.fader = uni(0.0f, 1.2f);
            c.pan = uni(-1.0f, 1.0f);
            c.mono = uni(0.0f, 0.5f);
            for (int k = 0; k < 8; ++k) c.sends.push_back(SendCfg{uni(0.0f, 0.4f), uint8_t(pick(3))});
            if (coin()) c.hpf = Hpf{double(uni(20.0f, 300.0f)), 24};
            return c;
        }
        c.delay_ms = coin() ? 0.0f : uni(0.0f, 20.0f);
        if (is_strip && coin()) c.hpf = Hpf{double(uni(20.0f, 300.0f)), uint32_t(6 * pick(5))};
        if (is_strip && coin()) c.gate = gate();
        c.eq = bands(8);
        c.peq32 = bands(6);
        if (coin()) c.geq = curve();
        if (coin()) c.dyn = dyn();
        c.fader = uni(0.0f, 1.2f);
        c.pan = uni(-1.0f, 1.0f);
        c.mono = uni(0.0f, 0.5f);
        for (int k = 0; k < 8; ++k) c.sends.push_back(SendCfg{uni(0.0f, 0.4f), uint8_t(pick(3))});
        if (coin()) {
            c.aeq = AutoEqCfg{};
            c.aeq->on = true;
        }
        if (is_strip && pick(4) == 0) {
            c.bleed = BleedCfg{};
            c.bleed->on = true;
            c.bleed->mode = coin() ? "duck" : "cancel";
            c.bleed->ref = uint64_t(pick(32));
        }
        if (coin()) c.amix = AmixCfg{uint8_t(1 + pick(2)), uni(-6.0f, 0.0f)};
        return c;
    }
};

struct Engine {
    explicit Engine(BlockPath path) {
        EngineProbe(engine).set_path(path);
        for (std::size_t i = 0; i < kAutoEqTargets; ++i) {
            auto [p, c] = make_spsc_ring<float>(1 << 16);
            aeq.push_back(std::move(c));
            producers.push_back(std::move(p));
        }
        engine.install_aeq_rings(std::move(producers));
    }
    MixEngine engine{48000.0f};
    Meters meters{kOut};
    std::vector<RingProducer<float>> producers;
    std::vector<RingConsumer<float>> aeq;
};

TEST(EnginePaths, LanesGiveTheSameConsoleAsOneStripAfterAnother) {
    for (unsigned trial = 0; trial < 8; ++trial) {
        Rand r{std::mt19937(trial)};
        Engine fast(BlockPath::Lanes), slow(BlockPath::OneAtATime);
        auto both = [&](auto make) {
            fast.engine.apply_update(make());
            slow.engine.apply_update(make());
        };
        // Half the trials with compressors that neither expand nor hold, the common case that
        // smooths its gains in fewer steps.
        auto plain = [&](StripCfg c) {
            if (trial % 4 >= 2 && c.dyn) c.dyn->exp = false, c.dyn->hold = 0.0f;
            return c;
        };
        for (std::size_t s = 0; s < kStrips; ++s) {
            StripCfg c = plain(r.strip(true));
            if (trial % 2) c.aeq.reset();  // compressors then take the equalisers' frames as is
            both([&] { return update::StripSettings{s, c}; });
        }
        for (std::size_t b = 0; b < kBuses; ++b) {
            const StripCfg c = plain(r.strip(false));
            both([&] { return update::BusSettings{b, c}; });
        }
        const StripCfg mono = r.strip(false), main = r.strip(false);
        both([&] { return update::MonoSettings{mono}; });
        both([&] { return update::MainSettings{main}; });
        for (std::size_t t = 0; t < kAutoEqTargets; ++t) {
            const auto g = r.curve();
            both([&] { return update::AutoEqCurve{t, g}; });
        }
        for (std::size_t o = 0; o < kOutputsWatched; ++o)
            for (int k = r.pick(6); k > 0; --k) {
                const float f = r.uni(100.0f, 12000.0f), d = r.uni(-18.0f, -3.0f);
                both([&] { return update::SetNotch{o, f, d}; });
            }
        for (std::size_t o = 0; o < kOutputsWatched; ++o)
            if (r.coin()) {  // a practice howl, which its notches may or may not catch
                const float f = r.uni(100.0f, 12000.0f);
                both([&] { return update::StartHowl{o, f}; });
            }
        std::vector<int32_t> map(32);
        for (auto& m : map) m = r.pick(10) - 1;  // some strips unpatched or beyond the device
        const std::vector<OutputRoute> routes = {
            {OutputRoute::Kind::MainL},          {OutputRoute::Kind::MainR},
            {OutputRoute::Kind::Mono},           {OutputRoute::Kind::Bus, 2},
            {OutputRoute::Kind::Strip, 3, true}, {OutputRoute::Kind::Strip, 9, false}};
        both([&] { return update::Patch{map, routes}; });

        // Levels that move across the gates' and compressors' thresholds.
        for (int block = 0; block < 12; ++block) {
            if (block == 7) {  // strips lose their inputs while their filters still ring
                std::vector<int32_t> later(32);
                for (auto& m : later) m = r.pick(3) == 0 ? r.pick(8) : -1;
                both([&] { return update::Patch{later, routes}; });
            }
            const std::size_t n = block == 5 ? 2100 : std::size_t(1 + r.pick(512));
            std::vector<float> in(n * kIn);
            const float level = std::pow(10.0f, r.uni(-4.0f, 0.0f));
            for (float& x : in) x = r.uni(-level, level);
            std::vector<float> out_fast(n * kOut), out_slow(n * kOut);
            fast.engine.process(in, kIn, out_fast, kOut, fast.meters, {});
            slow.engine.process(in, kIn, out_slow, kOut, slow.meters, {});
            ASSERT_EQ(out_fast, out_slow) << "trial " << trial << ", block " << block;
        }
        for (std::size_t s = 0; s < kStrips; ++s) {
            EXPECT_EQ(fast.meters.strip_comp[s].load(), slow.meters.strip_comp[s].load()) << s;
            EXPECT_EQ(fast.meters.strip_gate[s].load(), slow.meters.strip_gate[s].load()) << s;
            EXPECT_EQ(fast.meters.strip_peak[s].load(), slow.meters.strip_peak[s].load()) << s;
        }
        for (std::size_t b = 0; b < kBuses; ++b)
            EXPECT_EQ(fast.meters.bus_comp[b].load(), slow.meters.bus_comp[b].load()) << b;
        for (std::size_t t = 0; t < kAutoEqTargets; ++t) {
            const std::size_t avail = slow.aeq[t].available();
            ASSERT_EQ(fast.aeq[t].available(), avail) << "auto-EQ feed " << t;
            std::vector<float> a(avail), b(avail);
            fast.aeq[t].pop_some(a.data(), avail);
            slow.aeq[t].pop_some(b.data(), avail);
            EXPECT_EQ(a, b) << "auto-EQ feed " << t;
        }
    }
}

}  // namespace
}  // namespace mixengine
