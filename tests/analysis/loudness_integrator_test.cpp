#include "analysis/loudness_integrator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace mixengine {
namespace {

// Mean square that reads exactly `lufs`.
double ms_at(double lufs) {
    return std::pow(10.0, (lufs + 0.691) / 10.0);
}

double round1(double x) {
    return std::round(10.0 * x) / 10.0;
}

TEST(LoudnessIntegrator, FirstBlocksGiveMomentaryAndShortTermButNoIntegrated) {
    LoudnessIntegrator li;
    EXPECT_FALSE(li.triple().has_value());
    li.add_block(ms_at(-23.04));
    ASSERT_TRUE(li.triple().has_value());
    EXPECT_EQ(*li.triple(), (LoudnessTriple{-23.0, -23.0, -120.0}));
    li.add_block(ms_at(-23.04));
    li.add_block(ms_at(-23.04));
    EXPECT_EQ((*li.triple())[2], -120.0);
    li.add_block(ms_at(-23.04));  // the fourth block completes the first 400 ms gating block
    EXPECT_EQ(*li.triple(), (LoudnessTriple{-23.0, -23.0, -23.0}));
}

TEST(LoudnessIntegrator, WindowsAverageTheirBlocks) {
    // Blocks of mean square 1..40 (as multiples of a base): momentary averages the last 4,
    // short-term the last 30, integrated every 400 ms block seen (none gated away here).
    LoudnessIntegrator li;
    const double base = ms_at(-40.0);
    std::vector<double> gating;
    for (int i = 1; i <= 40; ++i) {
        li.add_block(base * i);
        if (i >= 4) gating.push_back(base * (4 * i - 6) / 4.0);  // mean of i-3..i
    }
    double mean_gating = 0.0;
    for (double g : gating) mean_gating += g;
    mean_gating /= static_cast<double>(gating.size());
    const LoudnessTriple expected{round1(lufs_of(base * 38.5)), round1(lufs_of(base * 25.5)),
                                  round1(lufs_of(mean_gating))};
    EXPECT_EQ(*li.triple(), expected);
}

TEST(LoudnessIntegrator, SilenceReadsMinus120) {
    struct Case {
        const char* what;
        double ms;
    };
    for (const Case c : {Case{"digital silence", 0.0},
                         Case{"below the absolute gate", ms_at(-75.0)}, Case{"negative", -1.0}}) {
        LoudnessIntegrator li;
        for (int i = 0; i < 50; ++i) li.add_block(c.ms);
        const auto& t = *li.triple();
        EXPECT_EQ(t[2], -120.0) << c.what;
        for (double v : t) EXPECT_TRUE(std::isfinite(v)) << c.what;
        if (c.ms <= 0.0) {
            EXPECT_EQ(t, (LoudnessTriple{-120.0, -120.0, -120.0})) << c.what;
        }
    }
}

TEST(LoudnessIntegrator, GatesDropQuietPassagesFromTheProgramme) {
    // 10 s at -20 LUFS, 10 s at -40 LUFS (more than 10 LU below, so relatively gated), and 10 s at
    // -80 LUFS (absolutely gated). Only the loud part and the gating blocks that straddle the
    // loud-to-quiet boundary with enough loud content count.
    LoudnessIntegrator li;
    std::vector<double> blocks;
    for (int i = 0; i < 100; ++i) blocks.push_back(ms_at(-20.0));
    for (int i = 0; i < 100; ++i) blocks.push_back(ms_at(-40.0));
    for (int i = 0; i < 100; ++i) blocks.push_back(ms_at(-80.0));
    for (double b : blocks) li.add_block(b);

    // Independent reference: gating blocks over the whole block list, then both gates.
    std::vector<double> g;
    for (std::size_t i = 3; i < blocks.size(); ++i)
        g.push_back((blocks[i - 3] + blocks[i - 2] + blocks[i - 1] + blocks[i]) / 4.0);
    double s = 0.0;
    int n = 0;
    for (double v : g)
        if (lufs_of(v) > -70.0) s += v, ++n;
    const double rel = lufs_of(s / n) - 10.0;
    double s2 = 0.0;
    int n2 = 0;
    for (double v : g)
        if (lufs_of(v) > -70.0 && lufs_of(v) > rel) s2 += v, ++n2;
    EXPECT_EQ((*li.triple())[2], round1(lufs_of(s2 / n2)));
    EXPECT_NEAR((*li.triple())[2], -20.0, 0.2);  // the quiet part does not pull it down
    EXPECT_EQ((*li.triple())[0], -80.0);
}

TEST(LoudnessIntegrator, AbsoluteGateSitsAtMinus70) {
    // A programme just below the absolute gate never counts; one just above it does.
    LoudnessIntegrator at_gate;
    for (int i = 0; i < 10; ++i) at_gate.add_block(ms_at(-70.02));
    EXPECT_EQ((*at_gate.triple())[2], -120.0);

    LoudnessIntegrator above;
    for (int i = 0; i < 10; ++i) above.add_block(ms_at(-69.9));
    EXPECT_EQ((*above.triple())[2], -69.9);
}

TEST(LoudnessIntegrator, ForgetsTheOldestProgrammeBeyondItsBound) {
    // With room for 10 gating blocks, a loud start is forgotten once 10 quieter ones follow.
    LoudnessIntegrator li(10);
    for (int i = 0; i < 20; ++i) li.add_block(ms_at(-10.0));
    for (int i = 0; i < 13; ++i) li.add_block(ms_at(-30.0));
    EXPECT_EQ(li.gating_blocks(), 10u);
    EXPECT_EQ((*li.triple())[2], -30.0);
}

TEST(LoudnessIntegrator, ResetRestartsFromNothingAtTheNextBlock) {
    LoudnessIntegrator li;
    uint32_t count = 0;
    for (int i = 0; i < 20; ++i) li.update(false, ++count, ms_at(-10.0));
    EXPECT_EQ((*li.triple())[2], -10.0);

    // Reset with no new block: nothing until one arrives.
    EXPECT_FALSE(li.update(true, count, ms_at(-10.0)).has_value());
    EXPECT_FALSE(li.update(false, count, ms_at(-10.0)).has_value());
    EXPECT_EQ(li.gating_blocks(), 0u);

    // The next block starts a new programme: integrated waits for four blocks again.
    const auto& t = li.update(false, ++count, ms_at(-30.0));
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(*t, (LoudnessTriple{-30.0, -30.0, -120.0}));

    // A reset that coincides with a new block takes that block as the first of the new programme.
    EXPECT_EQ(*li.update(true, ++count, ms_at(-12.0)), (LoudnessTriple{-12.0, -12.0, -120.0}));
}

TEST(LoudnessIntegrator, RepeatsTheTripleUntilTheCountMoves) {
    LoudnessIntegrator li;
    EXPECT_FALSE(li.update(false, 0, ms_at(-5.0)).has_value());  // count 0 = nothing measured yet
    li.update(false, 1, ms_at(-5.0));
    const LoudnessTriple first = *li.triple();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(*li.update(false, 1, ms_at(-50.0)), first);
    // The counter wraps; any change is a new block.
    LoudnessIntegrator wrap;
    wrap.update(false, 0xffffffffu, ms_at(-5.0));
    EXPECT_TRUE(wrap.update(false, 0, ms_at(-6.0)).has_value());
    EXPECT_EQ((*wrap.triple())[0], round1(lufs_of((ms_at(-5.0) + ms_at(-6.0)) / 2.0)));
}

TEST(LoudnessIntegrator, NonFiniteBlocksNeverEscapeAsNumbersThatLie) {
    LoudnessIntegrator li;
    for (int i = 0; i < 6; ++i) li.add_block(ms_at(-20.0));
    li.add_block(std::nan(""));
    for (double v : *li.triple()) EXPECT_FALSE(std::isinf(v));
    // The integrated value ignores the bad gating blocks.
    EXPECT_EQ((*li.triple())[2], -20.0);
}

}  // namespace
}  // namespace mixengine
