// Bleed reduction: the adaptive canceller against a plain scalar reference, what it removes and
// what it leaves alone, the ducker's depth and release, and the configuration rules, alone and
// inside the console (reference lookup through the input map).
#include "engine/bleed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "engine/denormals.h"
#include "engine/mix_engine.h"

namespace mixengine {
namespace {

constexpr double kBleedFs = 48000.0;

// The canceller exactly as defined, one tap after another in index order.
// The canceller as written, its adaptive filter in double precision: the engine sums in its own
// order and keeps the leak and the window energy as running values, so each of its samples
// rounds differently from the definition; held to this near-exact form, both rounding paths are
// judged by the same yardstick.
struct ScalarCanceller {
    std::array<BiquadCoeffs, 4> band{};
    std::array<BiquadState, 4> st{};
    std::vector<double> w = std::vector<double>(kBleedTaps, 0.0);
    std::vector<double> hist = std::vector<double>(2 * kBleedTaps, 0.0);
    std::size_t index = 0;

    void run(float* buf, const float* ref, std::size_t n, float amount) {
        const double amt = std::fmin(std::fmax(amount, 0.0f), 1.0f);
        for (std::size_t k = 0; k < n; ++k) {
            float u = ref[k];
            for (std::size_t g = 0; g < 4; ++g) run_biquad(band[g], st[g], &u, 1);
            hist[index] = u;
            hist[index + kBleedTaps] = u;
            const double* win = hist.data() + index + 1;
            double y = 0.0, sum = 0.0;
            for (std::size_t i = 0; i < kBleedTaps; ++i) y += w[i] * win[i];
            for (std::size_t i = 0; i < kBleedTaps; ++i) sum += win[i] * win[i];
            const double energy = 1e-6 + sum;
            if (energy > 1e-5) {
                const double e = (buf[k] - y) * 0.03 / energy;
                for (std::size_t i = 0; i < kBleedTaps; ++i)
                    w[i] = w[i] * double(0.999999f) + e * win[i];
            }
            buf[k] = float(buf[k] - y * amt);
            index = index == 0 ? kBleedTaps - 1 : index - 1;
        }
    }
};

std::vector<float> noise(std::size_t n, float level, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-level, level);
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
}

std::vector<float> sine(std::size_t n, double hz, float amp) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = amp * float(std::sin(2.0 * std::numbers::pi * hz * double(i) / kBleedFs));
    return v;
}

// A room path: 37 samples of delay, a gentle low-pass, half the level.
std::vector<float> leaked(const std::vector<float>& src) {
    std::vector<float> v(src.size(), 0.0f);
    float lp = 0.0f;
    for (std::size_t i = 37; i < src.size(); ++i) {
        lp += 0.6f * (src[i - 37] - lp);
        v[i] = 0.5f * lp;
    }
    return v;
}

// RMS in dB of a signal passed through the bleed band (4 kHz to 14 kHz), over [from, to).
double band_db(const std::vector<float>& x, std::size_t from, std::size_t to) {
    BleedReducer probe(kBleedFs);
    std::array<BiquadState, 4> st{};
    double acc = 0.0;
    for (std::size_t i = 0; i < to; ++i) {
        float u = x[i];
        for (std::size_t g = 0; g < 4; ++g) run_biquad(probe.band()[g], st[g], &u, 1);
        if (i >= from) acc += double(u) * double(u);
    }
    return 10.0 * std::log10(acc / double(to - from) + 1e-30);
}

void run_blocks(BleedReducer& b, std::vector<float>& buf, const std::vector<float>& ref) {
    std::vector<float> scratch(256);
    for (std::size_t at = 0; at < buf.size(); at += 256) {
        const std::size_t n = std::min<std::size_t>(256, buf.size() - at);
        std::copy_n(ref.begin() + long(at), n, scratch.begin());
        b.run(buf.data() + at, scratch.data(), n);
    }
}

BleedCfg on_cfg(const char* mode, float amount) {
    BleedCfg c;
    c.on = true;
    c.mode = mode;
    c.amount = amount;
    return c;
}

TEST(Bleed, CornersAreClampedBeforeTheBandIsDesigned) {
    struct Case {
        float lo, hi;
        double fs, lo_used, hi_used;
    } cases[] = {
        {50.0f, 30000.0f, 48000.0, 200.0, 20000.0},
        {50.0f, 30000.0f, 32000.0, 200.0, 32000.0 / 2.2},
        {25000.0f, 100.0f, 48000.0, 18000.0, 400.0},
        {std::nanf(""), std::nanf(""), 48000.0, 200.0, 400.0},
        {4000.0f, 14000.0f, 48000.0, 4000.0, 14000.0},
    };
    for (const Case& c : cases) {
        BleedCfg cfg;
        cfg.lo = c.lo;
        cfg.hi = c.hi;
        const BleedBand b = bleed_band(cfg, c.fs);
        EXPECT_NEAR(b.lo_hz, c.lo_used, 1e-9) << c.lo;
        EXPECT_NEAR(b.hi_hz, c.hi_used, 1e-9) << c.hi << " at " << c.fs;
        BleedReducer r(c.fs);
        r.configure(cfg);
        EXPECT_EQ(r.band()[0], design_biquad("hp", c.lo_used, 0.0, 0.541, c.fs));
        EXPECT_EQ(r.band()[3], design_biquad("lp", c.hi_used, 0.0, 1.307, c.fs));
    }
}

// The vectorised canceller sums its 192 products in eight-lane partial sums, the definition from
// the first tap to the last. Each sum of 192 terms may then differ by a few ulps of the largest
// partial sum (about 1e-7 relative each), and the differences feed back through the adaptation;
// the normalised update pulls both towards the same solution, so they stay of that size instead of
// growing (at most 1.8e-7 seen here). 2e-6 on samples of up to about 1 leaves a tenfold margin.
TEST(Bleed, CancellerFollowsTheScalarDefinition) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 6; ++trial) {
        BleedCfg cfg = on_cfg("cancel", std::uniform_real_distribution<float>(-0.5f, 2.0f)(rng));
        cfg.lo = std::uniform_real_distribution<float>(100.0f, 6000.0f)(rng);
        cfg.hi = std::uniform_real_distribution<float>(3000.0f, 25000.0f)(rng);
        BleedReducer fast(kBleedFs);
        fast.configure(cfg);
        ScalarCanceller slow;
        slow.band = fast.band();

        const std::size_t n = 12000;
        auto ref = noise(n, 0.5f, 100 + unsigned(trial));
        auto sig = leaked(ref);
        const auto own = noise(n, 0.1f, 200 + unsigned(trial));
        for (std::size_t i = 0; i < n; ++i) sig[i] += own[i];
        if (trial == 5) std::fill(ref.begin() + 3000, ref.begin() + 4000, 0.0f);  // quiet patch
        auto expect = sig;
        slow.run(expect.data(), ref.data(), n, cfg.amount);
        run_blocks(fast, sig, ref);

        float worst = 0.0f;
        for (std::size_t i = 0; i < n; ++i) worst = std::fmax(worst, std::fabs(sig[i] - expect[i]));
        EXPECT_LE(worst, 1e-6f) << "trial " << trial;
        for (std::size_t i = 0; i < kBleedTaps; ++i)
            ASSERT_NEAR(fast.weights()[i], float(slow.w[i]), 1e-4f) << "tap " << i;
    }
}

TEST(Bleed, CancelRemovesTheReferenceInsideTheBand) {
    const std::size_t n = 48000 * 4;
    const auto ref = noise(n, 0.5f, 1);
    const auto bleed = leaked(ref);
    const auto own = noise(n, 0.1f, 2);
    std::vector<float> sig(n);
    for (std::size_t i = 0; i < n; ++i) sig[i] = own[i] + bleed[i];

    struct Case {
        float amount;
        double at_least_db;  // band reduction of the bleed once converged
    } cases[] = {{1.0f, 15.0}, {2.0f, 15.0}, {0.8f, 10.0}};
    for (const Case& c : cases) {
        BleedReducer b(kBleedFs);
        b.configure(on_cfg("cancel", c.amount));
        auto out = sig;
        run_blocks(b, out, ref);
        std::vector<float> residual(n);
        for (std::size_t i = 0; i < n; ++i) residual[i] = out[i] - own[i];
        const double before = band_db(bleed, n - 48000, n);
        const double after = band_db(residual, n - 48000, n);
        EXPECT_GE(before - after, c.at_least_db) << "amount " << c.amount;
        EXPECT_LE(before - after, c.amount >= 1.0f ? 60.0 : 14.0)
            << "amount " << c.amount << " cannot remove more than it subtracts";
    }
}

// What lies outside the band does not correlate with the band-filtered reference, so neither mode
// touches it: what a mode changes holds less than 0.3 dB of a 300 Hz tone on the strip (in cancel
// mode the weights jitter with the strip's own signal, which leaves a faint trace of it, about
// 0.13 dB here, in the estimate).
TEST(Bleed, LeavesWhatIsOutsideTheBandAlone) {
    const std::size_t n = 48000;
    const auto ref = noise(n, 0.5f, 3);
    const auto bleed = leaked(ref);
    const auto tone = sine(n, 300.0, 0.3f);
    for (const char* mode : {"cancel", "duck"}) {
        BleedCfg cfg = on_cfg(mode, 1.0f);
        if (std::string(mode) == "duck") cfg.amount = 30.0f;
        BleedReducer b(kBleedFs);
        b.configure(cfg);
        std::vector<float> sig(n);
        for (std::size_t i = 0; i < n; ++i) sig[i] = tone[i] + bleed[i];
        const auto in = sig;
        run_blocks(b, sig, ref);
        double c = 0.0, s = 0.0;  // 300 Hz component of the change, after the first quarter second
        for (std::size_t i = n / 4; i < n; ++i) {
            const double ph = 2.0 * std::numbers::pi * 300.0 * double(i) / kBleedFs;
            c += (sig[i] - in[i]) * std::cos(ph);
            s += (sig[i] - in[i]) * std::sin(ph);
        }
        const double amp = 2.0 * std::hypot(c, s) / double(n - n / 4);
        EXPECT_LT(amp, 0.3 * (std::pow(10.0, 0.3 / 20.0) - 1.0)) << mode;
    }
}

TEST(Bleed, SilentReferenceAndAmountZeroLeaveTheStripUnchanged) {
    ScopedFlushDenormals denormals_off;  // as in the engine
    const std::size_t n = 9600;
    auto ref = noise(n, 0.5f, 4);
    auto sig = leaked(ref);
    BleedReducer b(kBleedFs);
    b.configure(on_cfg("cancel", 0.0f));
    const auto in = sig;
    run_blocks(b, sig, ref);
    EXPECT_EQ(sig, in) << "amount 0 subtracts nothing";
    EXPECT_NE(b.weights(), (std::array<float, kBleedTaps>{})) << "but the filter still learns";

    // The reference falls silent; once its band filter has rung out the window's energy is below
    // the guard and learning stops. The band filter is not flushed, and in flush-to-zero mode its
    // states end in a cycle just above the smallest normal float, so the estimate is not exactly
    // zero but some 1e-37: nothing a strip sample can show unless it is itself that small.
    b.configure(on_cfg("cancel", 2.0f));
    std::vector<float> quiet(n, 0.0f);
    auto settle = leaked(noise(n, 0.5f, 5));
    run_blocks(b, settle, quiet);
    const auto learned = b.weights();
    auto sig2 = leaked(noise(n, 0.5f, 6));
    const auto in2 = sig2;
    run_blocks(b, sig2, quiet);
    for (std::size_t i = 0; i < n; ++i) ASSERT_NEAR(sig2[i], in2[i], 1e-35f) << i;
    EXPECT_EQ(b.weights(), learned);
}

TEST(Bleed, WeightsAreClearedOnlyWhenModeOrReferenceChanges) {
    struct Case {
        const char* what;
        void (*change)(BleedCfg&);
        bool cleared;
    } cases[] = {
        {"amount", [](BleedCfg& c) { c.amount = 0.3f; }, false},
        {"thr", [](BleedCfg& c) { c.thr = -10.0f; }, false},
        {"band", [](BleedCfg& c) { c.lo = 2000.0f; }, false},
        {"off", [](BleedCfg& c) { c.on = false; }, false},
        {"ref", [](BleedCfg& c) { c.ref = 3; }, true},
        {"mode", [](BleedCfg& c) { c.mode = "duck"; }, true},
    };
    const std::size_t n = 4800;
    const auto ref = noise(n, 0.5f, 6);
    for (const Case& c : cases) {
        BleedReducer b(kBleedFs);
        BleedCfg cfg = on_cfg("cancel", 1.0f);
        b.configure(cfg);
        auto sig = leaked(ref);
        run_blocks(b, sig, ref);
        const auto learned = b.weights();
        ASSERT_NE(learned, decltype(learned){});
        c.change(cfg);
        b.configure(cfg);
        if (c.cleared)
            EXPECT_EQ(b.weights(), decltype(learned){}) << c.what;
        else
            EXPECT_EQ(b.weights(), learned) << c.what;
    }
}

// The ducker's settled gain is its depth curve at the reference's envelope. Well over the threshold
// (or under it) that is exact; at 6 dB over, a tone's envelope (2 ms attack, 120 ms release) sits
// a few tenths of a dB under its peak, which the looser bound allows for.
TEST(Bleed, DuckDepthFollowsTheLevelOverThreshold) {
    const double centre = std::sqrt(4000.0 * 14000.0);
    const float amp = 0.25f;
    const float level_db = 20.0f * std::log10(amp);
    struct Case {
        float amount, over_db, expect_db, tolerance_db;
    } cases[] = {
        {12.0f, 6.0f, -6.0f, 0.6f},    {12.0f, 24.0f, -12.0f, 0.01f}, {-6.0f, 20.0f, -6.0f, 0.01f},
        {50.0f, 20.0f, -30.0f, 0.01f}, {12.0f, -3.0f, 0.0f, 0.0f},
    };
    const std::size_t n = 48000;
    const auto ref = sine(n, centre, amp);
    for (const Case& c : cases) {
        BleedReducer b(kBleedFs);
        BleedCfg cfg = on_cfg("duck", c.amount);
        cfg.thr = level_db - c.over_db;
        b.configure(cfg);
        auto sig = sine(n, centre, 0.1f);
        run_blocks(b, sig, ref);
        EXPECT_NEAR(20.0 * std::log10(b.duck_gain()), c.expect_db, c.tolerance_db)
            << "amount " << c.amount << ", " << c.over_db << " dB over";
        // The band-passed copy that is subtracted is not in phase with the strip, so the tone
        // drops by less than the gain says, but it drops, and never by more.
        double peak = 0.0;
        for (std::size_t i = n - 2000; i < n; ++i) peak = std::fmax(peak, std::fabs(sig[i]));
        const double drop_db = 20.0 * std::log10(peak / 0.1);
        EXPECT_LE(drop_db, 0.35 * c.expect_db + 1e-3) << "amount " << c.amount;
        EXPECT_GE(drop_db, c.expect_db - 0.3) << "amount " << c.amount;

        // The reference stops: the band comes back (envelope and gain release over 120 ms). In
        // single precision the last 2e-4 of the way stalls, the steps falling under half an ulp.
        std::vector<float> quiet(2 * n, 0.0f), tail = sine(2 * n, centre, 0.1f);
        run_blocks(b, tail, quiet);
        EXPECT_NEAR(b.duck_gain(), 1.0f, 3e-4f) << "release";
    }
}

// A silent reference reads as the level floor, -180 dB, so a threshold below the floor ducks even
// then, by as much as the floor is over it.
TEST(Bleed, DuckThresholdsBelowTheLevelFloorDuckASilentReference) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float amount, thr, expect_db;
    } cases[] = {
        {12.0f, -200.0f, -12.0f}, {12.0f, -186.0f, -6.0f}, {6.0f, -1e30f, -6.0f},
        {12.0f, -inf, -12.0f},    {12.0f, -179.0f, 0.0f},  {12.0f, -60.0f, 0.0f},
    };
    const std::vector<float> silence(24000, 0.0f);
    for (const Case& c : cases) {
        BleedReducer b(kBleedFs);
        BleedCfg cfg = on_cfg("duck", c.amount);
        cfg.thr = c.thr;
        b.configure(cfg);
        auto sig = sine(silence.size(), 6000.0, 0.1f);
        run_blocks(b, sig, silence);
        EXPECT_NEAR(20.0 * std::log10(b.duck_gain()), c.expect_db, 0.01) << "threshold " << c.thr;
    }
}

// Inside the console: the reference is another strip's raw input, found through the input map.
// Map entries past the 32 strips name channel 1, the reference's.
struct Console {
    explicit Console(std::size_t map_size = 32) {
        std::vector<int32_t> map(map_size, 1);
        for (int32_t i = 0; i < 32; ++i) map[std::size_t(i)] = i;
        map[5] = -1;
        engine.apply_update(update::Patch{map, {OutputRoute{OutputRoute::Kind::Strip, 0, false}}});
    }
    // Strip 0 hears channel 0; channel 1 carries the reference. Returns strip 0's signal.
    std::vector<float> run(const std::vector<float>& sig, const std::vector<float>& ref) {
        const std::size_t n = sig.size(), ch = 3;
        std::vector<float> in(n * ch, 0.0f), out(n);
        for (std::size_t i = 0; i < n; ++i) in[i * ch] = sig[i], in[i * ch + 1] = ref[i];
        for (std::size_t at = 0; at < n; at += 256)
            engine.process(std::span(in).subspan(at * ch, 256 * ch), ch,
                           std::span(out).subspan(at, 256), 1, meters, {});
        return out;
    }
    MixEngine engine{float(kBleedFs)};
    Meters meters{1};
};

TEST(Bleed, ConsoleRunsItOnlyWithAnAvailableReference) {
    struct Case {
        bool on;
        uint64_t ref;
        bool acts;
        std::size_t map_size = 32;
    } cases[] = {
        {true, 1, true},        // channel 1
        {true, 0, true},        // the strip itself
        {false, 1, false},      // switched off
        {true, 5, false},       // map entry -1
        {true, 7, false},       // channel 7 of a 3-channel device
        {true, 40, false},      // beyond the map
        {true, 40, false, 48},  // no strip 40, though the map names a channel for it
    };
    const std::size_t n = 256 * 190;
    const auto ref = noise(n, 0.5f, 8);
    auto sig = leaked(ref);
    const auto own = noise(n, 0.1f, 9);
    for (std::size_t i = 0; i < n; ++i) sig[i] += own[i];
    for (const Case& c : cases) {
        Console console(c.map_size);
        StripCfg cfg;
        cfg.bleed = on_cfg("cancel", 1.0f);
        cfg.bleed->on = c.on;
        cfg.bleed->ref = c.ref;
        console.engine.apply_update(update::StripSettings{0, cfg});
        const auto out = console.run(sig, ref);
        if (c.acts && c.ref == 1) {
            EXPECT_GT(band_db(sig, n / 2, n) - band_db(out, n / 2, n), 4.0) << "bleed reduced";
        }
        if (c.acts) {
            EXPECT_NE(out, sig) << "ref " << c.ref;
        } else {
            EXPECT_EQ(out, sig) << "ref " << c.ref << (c.on ? "" : " off");
        }
    }
}

}  // namespace
}  // namespace mixengine

namespace mixengine {
namespace {

// Cancelling strips run side by side in the console's fast path: bands in lanes, adaptive filters
// sixteen to a value or interleaved a few at a time. Each must end bit for bit where its own run()
// would, at every group size around the lane, group and interleave widths, through a quiet
// stretch and through a level that overflows one strip's weights.
TEST(Bleed, CancellersSideBySideMatchEachRunAlone) {
    struct Case {
        std::size_t strips;
        std::size_t n;
    };
    const Case cases[] = {{1, 64},  {2, 1},   {3, 37},   {4, 256},  {8, 100}, {9, 64},
                          {13, 50}, {16, 65}, {17, 130}, {25, 48}, {32, 7},  {16, 16}};
    ScopedFlushDenormals denormals_off;
    for (const Case& c : cases) {
        std::mt19937 rng(unsigned(c.strips * 131 + c.n));
        std::uniform_real_distribution<float> uni(-0.5f, 0.5f);
        std::vector<BleedReducer> alone, side;
        for (std::size_t s = 0; s < c.strips; ++s) {
            BleedCfg cfg;
            cfg.on = true;
            cfg.ref = s;
            cfg.amount = 0.25f * float(s % 5);
            cfg.lo = 300.0f + 400.0f * float(s % 3);
            cfg.hi = 9000.0f + 1000.0f * float(s % 4);
            alone.emplace_back(kBleedFs);
            side.emplace_back(kBleedFs);
            alone.back().configure(cfg);
            side.back().configure(cfg);
        }
        const std::size_t n = c.n;
        std::vector<float> scratch(2 * kBiquadLanes * n);
        for (int block = 0; block < 12; ++block) {
            std::vector<std::vector<float>> buf_a(c.strips), ref_a(c.strips);
            for (std::size_t s = 0; s < c.strips; ++s) {
                const float scale = block == 4 ? 1e-4f : (block == 7 && s == 0 ? 1e30f : 1.0f);
                for (std::size_t i = 0; i < n; ++i) {
                    ref_a[s].push_back(uni(rng) * scale);
                    buf_a[s].push_back(0.4f * ref_a[s].back() + 0.2f * uni(rng));
                }
            }
            auto buf_b = buf_a, ref_b = ref_a;
            std::vector<CancelLane> lanes;
            for (std::size_t s = 0; s < c.strips; ++s) {
                alone[s].run(buf_a[s].data(), ref_a[s].data(), n);
                lanes.push_back(CancelLane{&side[s], buf_b[s].data(), ref_b[s].data()});
            }
            cancel_in_lanes(lanes, n, scratch.data());
            for (std::size_t s = 0; s < c.strips; ++s) {
                const std::string at = std::to_string(c.strips) + " strips, n " +
                                       std::to_string(n) + ", block " + std::to_string(block) +
                                       ", strip " + std::to_string(s);
                ASSERT_EQ(buf_b[s], buf_a[s]) << at;
                ASSERT_EQ(ref_b[s], ref_a[s]) << at;
                ASSERT_EQ(side[s].weights(), alone[s].weights()) << at;
            }
        }
    }
}

}  // namespace
}  // namespace mixengine
