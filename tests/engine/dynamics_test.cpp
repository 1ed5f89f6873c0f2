// Gate and compressor against their static curves and time behaviour: steady levels settle on the
// curve computed by hand, holds last exactly their length, edge settings act as documented.
#include "engine/dynamics.h"
#include "engine/dynamics_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

namespace mixengine {
namespace {

constexpr float kDynFs = 48000.0f;

float from_db(double db) {
    return float(std::pow(10.0, db / 20.0));
}

// Runs `seconds` of a constant level through fn in 512-sample chunks and returns the last output.
template <typename Fn>
float settle(Fn&& fn, float level, double seconds) {
    std::vector<float> buf(512);
    const auto chunks = std::size_t(seconds * kDynFs / 512.0) + 1;
    for (std::size_t c = 0; c < chunks; ++c) {
        buf.assign(512, level);
        fn(buf.data(), buf.size());
    }
    return buf.back();
}

Compressor make_comp(DynCfg cfg) {
    Compressor comp(kDynFs);
    comp.configure(cfg);
    return comp;
}

// Distance in ulps between two finite floats of one sign.
int64_t ulps_apart(float a, float b) {
    int32_t ia, ib;
    std::memcpy(&ia, &a, 4);
    std::memcpy(&ib, &b, 4);
    return std::abs(int64_t(ia) - int64_t(ib));
}

// The block forms of the level arithmetic against the library, over whole ranges of levels and
// gain changes (the gains across the bound where the library takes over): the levels may land two
// ulps off 20 log10f (whose own factor 20 rounds once more), the gains one ulp off powf, never
// more; and 0 dB stays exactly 1.
TEST(LevelArithmetic, BlockFormsStayWithinAnUlpOfTheLibrary) {
    struct Range {
        bool to_db;
        double lo, hi;  // log10 of levels, or dB of gain changes
    };
    const Range ranges[] = {
        {true, -9.0, 0.0}, {true, 0.0, 38.0}, {true, -37.9, -9.0},  // levels
        {false, -120.0, 0.0}, {false, -6000.0, -120.0}, {false, -1e-6, 0.0},  // gains
    };
    std::mt19937 rng(7);
    for (const Range& r : ranges) {
        std::uniform_real_distribution<double> at(r.lo, r.hi);
        std::vector<float> in(1 << 16), out(in.size());
        for (float& v : in) v = r.to_db ? float(std::pow(10.0, at(rng))) : float(at(rng));
        if (r.to_db)
            block_lin_to_db(in.data(), out.data(), in.size());
        else
            block_db_to_gain(in.data(), out.data(), in.size());
        int64_t worst = 0;
        for (std::size_t i = 0; i < in.size(); ++i) {
            const float want = r.to_db ? lin_to_db(in[i]) : db_to_gain(in[i]);
            worst = std::max(worst, ulps_apart(out[i], want));
        }
        EXPECT_LE(worst, r.to_db ? 2 : 1) << (r.to_db ? "levels" : "gains") << " from " << r.lo;
    }
    const float zero = 0.0f;
    float one = 0.0f;
    block_db_to_gain(&zero, &one, 1);
    EXPECT_EQ(one, 1.0f);
}

TEST(Compressor, SettlesOnTheRatioLineAboveThreshold) {
    auto comp = make_comp({.thr = -20.0f, .ratio = 4.0f, .knee = 0.0f});
    const float x = from_db(-10.0);
    const float y = settle([&](float* b, std::size_t n) { comp.run(b, n); }, x, 1.0);
    EXPECT_NEAR(comp.state().gr_db, -7.5f, 1e-3f);
    EXPECT_NEAR(20.0 * std::log10(y), -17.5, 1e-3);
}

TEST(Compressor, SoftKneeFollowsTheQuadraticJoin) {
    auto comp = make_comp({.thr = -20.0f, .ratio = 4.0f, .knee = 6.0f});
    // (1/R - 1) (d + W/2)^2 / (2W) inside the knee of full width W = 12, the line outside it.
    const struct {
        float level_db, expect_db;
    } cases[] = {{-20.0f, -1.125f},   {-26.0f, 0.0f},  {-14.0f, -4.5f},
                 {-17.0f, -2.53125f}, {-10.0f, -7.5f}, {-40.0f, 0.0f}};
    for (const auto& c : cases) {
        EXPECT_NEAR(comp_target_db(comp.params(), c.level_db), c.expect_db, 1e-4f)
            << "at " << c.level_db << " dBFS";
    }
    settle([&](float* b, std::size_t n) { comp.run(b, n); }, from_db(-20.0), 1.0);
    EXPECT_NEAR(comp.state().gr_db, -1.125f, 1e-3f);
}

TEST(Compressor, RatioMixAndMakeupEdgeSettings) {
    const float x = from_db(-6.0);
    struct Case {
        const char* what;
        DynCfg cfg;
        float expect_out;
        float expect_min_gain;
    };
    const float line = from_db(-14.0 * 0.75);  // ratio 4, thr -20, 14 dB over
    const Case cases[] = {
        {"ratio below 1 acts as 1", {.thr = -20.0f, .ratio = 0.5f, .knee = 0.0f}, x, 1.0f},
        {"mix 0 leaves the signal",
         {.thr = -20.0f, .ratio = 4.0f, .knee = 0.0f, .mix = 0.0f},
         x,
         line},
        {"mix above 100 acts as 100",
         {.thr = -20.0f, .ratio = 4.0f, .knee = 0.0f, .mix = 150.0f},
         x * line,
         line},
        {"half mix blends",
         {.thr = -20.0f, .ratio = 4.0f, .knee = 0.0f, .mix = 50.0f},
         x * (0.5f + 0.5f * line),
         line},
        {"make-up after the gain",
         {.thr = -20.0f, .ratio = 4.0f, .knee = 0.0f, .mgain = 6.0f},
         x * line * from_db(6.0),
         line},
    };
    for (const auto& c : cases) {
        auto comp = make_comp(c.cfg);
        float min_gain = 1.0f;
        const float y = settle([&](float* b, std::size_t n) { min_gain = comp.run(b, n); }, x, 1.0);
        EXPECT_NEAR(y, c.expect_out, 1e-4f) << c.what;
        EXPECT_NEAR(min_gain, c.expect_min_gain, 1e-4f) << c.what;
    }
}

TEST(Compressor, DownwardExpanderTargetsAndLimit) {
    auto comp = make_comp({.exp = true, .thr = -50.0f, .ratio = 3.0f});
    EXPECT_FLOAT_EQ(comp_target_db(comp.params(), -60.0f), -20.0f);
    EXPECT_FLOAT_EQ(comp_target_db(comp.params(), -100.0f), -60.0f);
    EXPECT_FLOAT_EQ(comp_target_db(comp.params(), -40.0f), 0.0f);
    settle([&](float* b, std::size_t n) { comp.run(b, n); }, from_db(-60.0), 2.0);
    EXPECT_NEAR(comp.state().gr_db, -20.0f, 1e-2f);
}

TEST(Compressor, RmsDetectorReadsASineAtItsRmsLevel) {
    auto comp = make_comp({.rms = true, .thr = -60.0f, .ratio = 1.0f});
    std::vector<float> buf(4800);
    for (int rep = 0; rep < 10; ++rep) {
        for (std::size_t i = 0; i < buf.size(); ++i)
            buf[i] = 0.5f * float(std::sin(2.0 * std::numbers::pi * 1000.0 * double(i) / kDynFs));
        comp.run(buf.data(), buf.size());
    }
    EXPECT_NEAR(comp.state().env, 0.5f / std::sqrt(2.0f), 0.01f);
}

TEST(Compressor, SilenceReleasesBackToNoReduction) {
    auto comp = make_comp({.thr = -20.0f, .ratio = 4.0f, .knee = 0.0f, .release = 50.0f});
    settle([&](float* b, std::size_t n) { comp.run(b, n); }, 0.5f, 0.5);
    ASSERT_LT(comp.state().gr_db, -5.0f);
    settle([&](float* b, std::size_t n) { comp.run(b, n); }, 0.0f, 2.0);
    EXPECT_GT(comp.state().gr_db, -1e-3f);
    EXPECT_LE(comp.state().gr_db, 0.0f);
}

// One sample from rest, computed by hand from the definitions: the detector takes the sample,
// L = 20 log10(env), the target comes from the curve, gr moves from 0 by the attack coefficient,
// and the gain is 10^(gr / 20), all in single precision.
TEST(Compressor, FirstSampleGainFollowsTheDecibelDefinitions) {
    struct Case {
        DynCfg cfg;
        float x;
    };
    const Case cases[] = {
        {{.thr = -20.0f, .ratio = 4.0f, .knee = 0.0f, .attack = 0.05f}, 0.74039119f},
        {{.thr = -13.7f, .ratio = 2.5f, .knee = 3.0f, .attack = 0.1f}, -0.27896833f},
        {{.thr = -12.0f, .ratio = 8.0f, .knee = 6.5f, .attack = 0.05f}, 0.33910653f},
        {{.thr = -30.0f, .ratio = 20.0f, .knee = 0.0f, .attack = 0.05f}, 0.9f},
        {{.exp = true, .thr = -20.0f, .ratio = 3.0f, .attack = 0.05f}, 0.01f},
    };
    for (const auto& c : cases) {
        auto comp = make_comp(c.cfg);
        const float L = 20.0f * std::log10(std::fabs(c.x));
        const float d = L - c.cfg.thr;
        const float r = std::fmax(c.cfg.ratio, 1.0f), w = 2.0f * c.cfg.knee;
        float target;
        if (c.cfg.exp)
            target = d < 0.0f ? std::fmax((r - 1.0f) * d, -60.0f) : 0.0f;
        else if (w > 0.0f && std::fabs(d) <= w / 2.0f)
            target = (1.0f / r - 1.0f) * ((d + w / 2.0f) * (d + w / 2.0f)) / (2.0f * w);
        else
            target = d > 0.0f ? (1.0f / r - 1.0f) * d : 0.0f;
        const float att = std::exp(-1.0f / (c.cfg.attack * 0.001f * kDynFs));
        const float gr = target + att * (0.0f - target);
        const float g = std::pow(10.0f, gr / 20.0f);
        // The sample-by-sample reference matches to the last bit...
        float y_ref = c.x;
        CompState st;
        EXPECT_EQ(comp_run_per_sample(comp.params(), st, &y_ref, 1), g) << "thr " << c.cfg.thr;
        EXPECT_EQ(st.gr_db, gr) << "thr " << c.cfg.thr;
        EXPECT_EQ(y_ref, c.x * (0.0f + 1.0f * 1.0f * g)) << "thr " << c.cfg.thr;
        // ...and the block version, whose logarithm and power are within an ulp of the
        // library's, within two ulps.
        float y = c.x;
        const float ulp = std::nextafter(1.0f, 2.0f) - 1.0f;
        EXPECT_NEAR(comp.run(&y, 1), g, 2.0f * ulp * g) << "thr " << c.cfg.thr;
        // A level one ulp apart moves the reduction by at most about that much in dB.
        EXPECT_NEAR(comp.state().gr_db, gr, 2.0f * ulp * std::fabs(L)) << "thr " << c.cfg.thr;
        EXPECT_NEAR(y, c.x * g, 4.0f * ulp * std::fabs(c.x)) << "thr " << c.cfg.thr;
    }
}

TEST(Compressor, LinkedStereoAppliesOneGainToBothSides) {
    auto comp = make_comp({.thr = -20.0f, .ratio = 4.0f, .knee = 0.0f});
    std::vector<float> l(512), r(512);
    for (int rep = 0; rep < 100; ++rep) {
        l.assign(512, 0.01f);
        r.assign(512, from_db(-10.0));  // the loud side drives both
        comp.run_linked(l.data(), r.data(), 512);
    }
    EXPECT_NEAR(r.back(), from_db(-17.5), 1e-4f);
    EXPECT_NEAR(l.back(), 0.01f * from_db(-7.5), 1e-5f);
}

TEST(Compressor, RemovingItForgetsTheReductionAndPassesSignal) {
    auto comp = make_comp({.thr = -20.0f, .ratio = 4.0f});
    settle([&](float* b, std::size_t n) { comp.run(b, n); }, 0.5f, 0.5);
    comp.configure(std::nullopt);
    EXPECT_EQ(comp.state().gr_db, 0.0f);
    std::vector<float> buf(64, 0.5f);
    EXPECT_EQ(comp.run(buf.data(), buf.size()), 1.0f);
    EXPECT_EQ(buf, std::vector<float>(64, 0.5f));
}

Gate make_gate(GateCfg cfg) {
    Gate gate(kDynFs);
    gate.configure(cfg);
    return gate;
}

TEST(Gate, ClosedGateAndExpandersSettleOnTheirTargets) {
    struct Case {
        const char* mode;
        float range;
        double level_db;
        double expect_gain_db;
    };
    const Case cases[] = {
        {"gate", 80.0f, -50.0, -80.0}, {"gate", -80.0f, -50.0, -80.0},
        {"exp2", 80.0f, -50.0, -10.0}, {"exp2", 80.0f, -130.0, -80.0},
        {"exp3", 80.0f, -50.0, -20.0}, {"exp4", 30.0f, -50.0, -30.0},
        {"gate", 80.0f, -30.0, 0.0},   {"anything", 20.0f, -45.0, -20.0},
    };
    for (const auto& c : cases) {
        auto gate = make_gate({.mode = c.mode, .thr = -40.0f, .range = c.range});
        const float x = from_db(c.level_db);
        const float y = settle([&](float* b, std::size_t n) { gate.run(b, n); }, x, 5.0);
        EXPECT_NEAR(20.0 * std::log10(y / x), c.expect_gain_db, 0.01)
            << c.mode << " range " << c.range << " at " << c.level_db << " dBFS";
    }
}

// The gate opens when the level in dB, 20 log10 in single precision, reaches the threshold; the
// linear level of the threshold rounds differently for many thresholds, one float either side.
TEST(Gate, OpensExactlyWhereTheLevelInDecibelsReachesTheThreshold) {
    for (const float thr : {-40.0f, -37.3f, -20.1f, -13.7f, -6.0f, -3.1f, -51.9f, -0.7f}) {
        float open = float(std::pow(10.0, double(thr) / 20.0));
        for (int k = 0; k < 64; ++k) open = std::nextafter(open, 0.0f);
        while (!(20.0f * std::log10(open) >= thr)) open = std::nextafter(open, 1.0f);
        const float shut = std::nextafter(open, 0.0f);
        for (const float level : {open, shut}) {
            auto gate = make_gate({.thr = thr, .range = 60.0f, .attack = 0.05f, .release = 5.0f});
            std::vector<float> buf(9600, level);  // a steady level: the detector reads it exactly
            gate.run(buf.data(), buf.size());
            if (level == open)
                EXPECT_FLOAT_EQ(buf.back(), level) << "thr " << thr;
            else
                EXPECT_NEAR(buf.back() / level, 1e-3f, 1e-6f) << "thr " << thr;
        }
    }
}

TEST(Gate, OpenGateHoldsForExactlyItsHoldTimeAfterTheLevelDrops) {
    auto gate = make_gate({.thr = -40.0f, .range = 60.0f, .hold = 50.0f});  // 2400 samples
    settle([&](float* b, std::size_t n) { gate.run(b, n); }, 0.5f, 0.1);
    ASSERT_EQ(gate.state().gain, 1.0f);

    // After the drop the detector falls with a 10 ms constant: env_k = 0.5 c^(k+1).
    const double c10 = std::exp(-1.0 / (0.01 * kDynFs));
    std::size_t below = 0;
    while (0.5 * std::pow(c10, double(below + 1)) >= 0.01) ++below;

    // A tiny probe level stands for silence, so that the applied gain can be read back.
    std::vector<float> buf(8192, 1e-6f);
    std::vector<float> in = buf;
    gate.run(buf.data(), buf.size());
    for (std::size_t k = 0; k < below + 2400; ++k) ASSERT_EQ(buf[k], in[k]) << "sample " << k;
    EXPECT_LT(buf[below + 2400], in[below + 2400]);
}

TEST(Gate, DuckModeOrNoGatePassesUnchangedAndReportsUnity) {
    for (const std::optional<GateCfg>& cfg :
         {std::optional<GateCfg>{}, std::optional<GateCfg>{GateCfg{.mode = "duck"}}}) {
        Gate gate(kDynFs);
        gate.configure(cfg);
        std::vector<float> buf(256, 1e-4f);
        EXPECT_EQ(gate.run(buf.data(), buf.size()), 1.0f);
        EXPECT_EQ(buf, std::vector<float>(256, 1e-4f));
    }
}

TEST(Gate, RemovingTheGateOpensItAndMeterReportsTheSmallestGain) {
    auto gate = make_gate({.thr = -20.0f, .range = 40.0f, .hold = 0.0f, .release = 5.0f});
    std::vector<float> buf(48000, 0.001f);
    const float min_gain = gate.run(buf.data(), buf.size());
    EXPECT_NEAR(min_gain, 0.01f, 1e-4f);
    gate.configure(std::nullopt);
    EXPECT_EQ(gate.state().gain, 1.0f);
}

// The compressor works a block at a time, its levels and gains from a double-precision logarithm
// and power rounded to float instead of log10f and powf. Those agree with the library within one
// ulp; a level one ulp apart moves the smoothed reduction by a fraction of an ulp, which the
// smoothing then carries but does not grow (it is a contraction). Over randomised settings and
// signals the output and the smallest gain stay within 5.3e-7 relative of the one-sample-at-a-
// time reference here; 4e-6 (about 32 ulps) leaves a margin for other signals and machines.
TEST(Compressor, BlockPassesFollowTheSampleBySampleReference) {
    std::mt19937 rng(11);
    auto uni = [&](float lo, float hi) {
        return std::uniform_real_distribution<float>(lo, hi)(rng);
    };
    double worst = 0.0;
    for (int trial = 0; trial < 40; ++trial) {
        DynCfg cfg;
        cfg.exp = trial % 5 == 4;
        cfg.rms = trial % 2 == 1;
        cfg.thr = uni(-50.0f, 0.0f);
        cfg.ratio = uni(1.0f, 20.0f);
        cfg.knee = uni(0.0f, 6.0f);
        cfg.mgain = uni(0.0f, 6.0f);
        cfg.attack = uni(0.1f, 30.0f);
        cfg.hold = trial % 3 == 0 ? uni(0.0f, 20.0f) : 0.0f;
        cfg.release = uni(10.0f, 300.0f);
        cfg.mix = uni(50.0f, 100.0f);
        const CompParams p = comp_params(cfg, 48000.0f, std::exp(-1.0f / (0.02f * 48000.0f)));
        CompState fast, slow;
        const bool linked = trial % 4 == 3;
        for (int chunk = 0; chunk < 6; ++chunk) {
            const std::size_t n = chunk == 2 ? 700 : 1 + std::size_t(rng() % 300);
            const float level = uni(0.001f, 1.5f);
            std::vector<float> l(n), r(n);
            for (std::size_t i = 0; i < n; ++i) {
                l[i] = level * uni(-1.0f, 1.0f) * (i % 97 < 40 ? 1.0f : 0.05f);
                r[i] = level * uni(-1.0f, 1.0f);
            }
            auto l_ref = l, r_ref = r;
            const float g = linked ? comp_run_linked(p, fast, l.data(), r.data(), n)
                                   : comp_run(p, fast, l.data(), n);
            const float g_ref =
                linked ? comp_run_linked_per_sample(p, slow, l_ref.data(), r_ref.data(), n)
                       : comp_run_per_sample(p, slow, l_ref.data(), n);
            worst = std::fmax(worst, std::fabs(double(g) - g_ref) / std::fmax(g_ref, 1e-30f));
            for (std::size_t i = 0; i < n; ++i) {
                const double scale = std::fmax(std::fabs(l_ref[i]), 1e-30f);
                worst = std::fmax(worst, std::fabs(double(l[i]) - l_ref[i]) / scale);
                if (linked) {
                    const double rs = std::fmax(std::fabs(r_ref[i]), 1e-30f);
                    worst = std::fmax(worst, std::fabs(double(r[i]) - r_ref[i]) / rs);
                }
            }
        }
    }
    EXPECT_LE(worst, 4e-6) << "largest relative difference";
}

}  // namespace
}  // namespace mixengine

namespace mixengine {
namespace {

// Compressors in lanes against one after another, bit for bit, where some lanes meet what the
// block conversions leave to the library: an infinite level, a level so high that the reduction
// passes 750 dB, a NaN. Lanes with and without expanders and holds, one set and two.
TEST(CompressorLanes, LevelsAndGainsForTheLibraryMatchOneAfterAnother) {
    std::mt19937 rng(11);
    auto uni = [&](float lo, float hi) {
        return std::uniform_real_distribution<float>(lo, hi)(rng);
    };
    for (std::size_t lanes : {std::size_t(7), kDynamicsLanes}) {
        for (bool exotic : {false, true}) {
            std::vector<Compressor> fast, slow;
            for (std::size_t l = 0; l < lanes; ++l) {
                const DynCfg cfg{.exp = exotic && l % 3 == 0,
                                 .thr = uni(-60.0f, 0.0f),
                                 .ratio = uni(1.0f, 20.0f),
                                 .knee = uni(0.0f, 6.0f),
                                 .attack = uni(0.1f, 20.0f),
                                 .hold = exotic ? uni(0.0f, 5.0f) : 0.0f,
                                 .release = uni(5.0f, 300.0f),
                                 .mix = uni(50.0f, 100.0f)};
                fast.push_back(make_comp(cfg));
                slow.push_back(make_comp(cfg));
            }
            constexpr std::size_t kN = 300;
            std::vector<std::vector<float>> a(lanes, std::vector<float>(kN)), b;
            for (std::size_t l = 0; l < lanes; ++l)
                for (float& x : a[l]) x = uni(-1.0f, 1.0f);
            a[1][40] = INFINITY;                                      // odd level
            for (std::size_t i = 100; i < 110; ++i) a[2][i] = 3e38f;  // reduction past 750 dB
            a[lanes - 1][200] = NAN;
            b = a;
            std::vector<CompLane> lane;
            std::vector<float> fast_min(kDynamicsLanes), slow_min(lanes);
            for (std::size_t l = 0; l < lanes; ++l) lane.push_back(fast[l].lane(a[l].data()));
            comp_run_lanes(lane, kN, fast_min);
            for (std::size_t l = 0; l < lanes; ++l) {
                slow_min[l] = slow[l].run(b[l].data(), kN);
                EXPECT_EQ(std::memcmp(a[l].data(), b[l].data(), kN * sizeof(float)), 0) << l;
                EXPECT_EQ(std::memcmp(&fast_min[l], &slow_min[l], sizeof(float)), 0) << l;
                EXPECT_EQ(std::memcmp(&fast[l].state(), &slow[l].state(), sizeof(CompState)), 0)
                    << l;
            }
        }
    }
}

}  // namespace
}  // namespace mixengine
