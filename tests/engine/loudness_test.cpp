#include "engine/loudness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace mixengine {
namespace {

std::vector<float> sine(float rate, double hz, double amplitude, std::size_t frames) {
    std::vector<float> s(frames);
    for (std::size_t i = 0; i < frames; ++i)
        s[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hz * i / rate));
    return s;
}

// Feeds `left` (and `right`, when given) in chunks of `chunk` frames and returns every published
// block's mean square.
std::vector<float> blocks_of(LoudnessMeter& meter, Meters& meters, const std::vector<float>& left,
                             const std::vector<float>* right, std::size_t chunk) {
    std::vector<float> out;
    for (std::size_t at = 0; at < left.size(); at += chunk) {
        const std::size_t n = std::min(chunk, left.size() - at);
        const uint32_t before = meters.loud_blocks.load();
        meter.run(left.data() + at, right ? right->data() + at : nullptr, n, meters);
        // A chunk never spans two whole blocks in these tests.
        if (meters.loud_blocks.load() != before) out.push_back(meter_load(meters.loud_ms));
    }
    return out;
}

TEST(LoudnessMeter, FullScaleSineOnLeftReadsMinusThreeLufs) {
    // A 1 kHz sine of amplitude 1 has mean square 0.5; K-weighting lifts 1 kHz by about 0.69 dB.
    LoudnessMeter meter(48000.0f);
    Meters meters(2);
    const auto left = sine(48000.0f, 1000.0, 1.0, 48000);
    const std::vector<float> right(left.size(), 0.0f);
    const auto blocks = blocks_of(meter, meters, left, &right, 256);
    ASSERT_EQ(blocks.size(), 10u);
    const float ms = blocks.back();
    EXPECT_NEAR(ms, 0.5871, 0.0005);
    EXPECT_NEAR(-0.691 + 10.0 * std::log10(ms), -3.0, 0.01);
}

TEST(LoudnessMeter, BlockLengthFollowsRateWhateverTheChunking) {
    struct Case {
        float rate;
        uint32_t block;
    };
    for (const Case c :
         {Case{44100.0f, 4410}, Case{48000.0f, 4800}, Case{96000.0f, 9600}, Case{32000.0f, 3200}}) {
        EXPECT_EQ(loudness_block_frames(c.rate), c.block) << c.rate;
        const auto signal = sine(c.rate, 440.0, 0.3, c.block * 5 + c.block / 2);
        std::vector<std::vector<float>> runs;
        for (std::size_t chunk : {std::size_t{1}, std::size_t{333}, std::size_t{2048}}) {
            LoudnessMeter meter(c.rate);
            Meters meters(0);
            runs.push_back(blocks_of(meter, meters, signal, nullptr, chunk));
            EXPECT_EQ(meters.loud_blocks.load(), 5u) << c.rate << " Hz, chunk " << chunk;
        }
        // Blocks are cut on frame counts, so every chunking yields the very same values.
        EXPECT_EQ(runs[0], runs[1]) << c.rate;
        EXPECT_EQ(runs[0], runs[2]) << c.rate;
    }
}

TEST(LoudnessMeter, MainSumsBothSidesWhileOtherSourcesCountOnce) {
    const auto x = sine(48000.0f, 2500.0, 0.5, 9600);
    LoudnessMeter stereo(48000.0f), mono(48000.0f);
    Meters ms(0), mm(0);
    const auto both = blocks_of(stereo, ms, x, &x, 480);
    const auto once = blocks_of(mono, mm, x, nullptr, 480);
    ASSERT_EQ(both.size(), 2u);
    ASSERT_EQ(once.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) EXPECT_NEAR(both[i], 2.0f * once[i], 1e-6f);
}

TEST(LoudnessMeter, ResetDiscardsThePartialBlockAndFilterMemory) {
    const auto loud = sine(48000.0f, 100.0, 0.9, 2400);
    const auto quiet = sine(48000.0f, 3000.0, 0.1, 4800);
    LoudnessMeter fresh(48000.0f), used(48000.0f);
    Meters mf(0), mu(0);
    used.run(loud.data(), nullptr, loud.size(), mu);
    used.reset();
    used.run(quiet.data(), nullptr, quiet.size(), mu);
    fresh.run(quiet.data(), nullptr, quiet.size(), mf);
    EXPECT_EQ(mu.loud_blocks.load(), 1u);
    EXPECT_EQ(meter_load(mu.loud_ms), meter_load(mf.loud_ms));
}

TEST(LoudnessMeter, HighPassRemovesDirectCurrent) {
    LoudnessMeter meter(48000.0f);
    Meters meters(0);
    const std::vector<float> dc(48000, 0.5f);
    const auto blocks = blocks_of(meter, meters, dc, nullptr, 512);
    ASSERT_EQ(blocks.size(), 10u);
    // An unweighted reading would be 0.25 for ever; the 38 Hz high-pass lets it die away.
    EXPECT_LT(blocks.back(), 1e-9f);
}

TEST(LoudnessMeter, RecoversAfterANonFiniteSample) {
    LoudnessMeter meter(48000.0f);
    Meters meters(0);
    auto x = sine(48000.0f, 1000.0, 0.5, 4800 * 4);
    x[100] = std::numeric_limits<float>::quiet_NaN();
    const auto blocks = blocks_of(meter, meters, x, nullptr, 256);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_TRUE(std::isnan(blocks[0]));
    // The memories are cleared after the poisoned block; the next ones read the sine again
    // (0.125 lifted by the 1 kHz K-weighting gain, with a short settling transient at most).
    EXPECT_NEAR(blocks[2], 0.125f * 0.5871f / 0.5f, 0.001f);
    EXPECT_NEAR(blocks[3], 0.125f * 0.5871f / 0.5f, 0.001f);
}

TEST(LoudnessMeter, UnusableRateMeasuresNothing) {
    for (float rate : {0.0f, -48000.0f, std::numeric_limits<float>::quiet_NaN()}) {
        LoudnessMeter meter(rate);
        Meters meters(0);
        const std::vector<float> x(10000, 0.5f);
        meter.run(x.data(), x.data(), x.size(), meters);
        EXPECT_EQ(meters.loud_blocks.load(), 0u) << rate;
    }
}

}  // namespace
}  // namespace mixengine
