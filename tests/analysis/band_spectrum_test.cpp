#include "analysis/band_spectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace mixengine {
namespace {

std::vector<float> sine(double hz, float rate, std::size_t n, std::size_t phase0 = 0) {
    std::vector<float> s(n);
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * (i + phase0) / rate));
    return s;
}

bool near_integer(double x) {
    return std::abs(x - std::round(x)) < 1e-3;
}

TEST(RtaBands, CoverTwentyHertzToTwentyKilohertzAtEveryRate) {
    for (float rate : {44100.0f, 48000.0f, 96000.0f}) {
        const auto bins = rta_band_bins(rate);
        const double width = rate / 4096.0;
        for (std::size_t k = 0; k < kRtaBands; ++k) {
            const double lo = 20.0 * std::pow(1000.0, k / 96.0) / width;
            const double hi = 20.0 * std::pow(1000.0, (k + 1) / 96.0) / width;
            if (!near_integer(lo)) {
                EXPECT_EQ(bins[k].lo, static_cast<uint32_t>(std::floor(lo)))
                    << rate << " band " << k;
            }
            if (!near_integer(hi)) {
                EXPECT_EQ(bins[k].hi, static_cast<uint32_t>(std::ceil(hi)))
                    << rate << " band " << k;
            }
            if (k + 1 < kRtaBands) {
                EXPECT_GE(bins[k].hi, bins[k + 1].lo) << "bands share borders";
            }
        }
    }
    const auto at48 = rta_band_bins(48000.0f);
    EXPECT_EQ(at48[0].lo, 1u);
    EXPECT_EQ(at48[0].hi, 2u);
    EXPECT_EQ(at48[95].lo, 1588u);
    EXPECT_EQ(at48[95].hi, 1707u);
}

TEST(RtaBands, BandsAboveNyquistReadTheNyquistBin) {
    const auto bins = rta_band_bins(32000.0f);
    for (std::size_t k = 0; k < kRtaBands; ++k) {
        const double f_lo = 20.0 * std::pow(1000.0, k / 96.0);
        const double f_hi = 20.0 * std::pow(1000.0, (k + 1) / 96.0);
        EXPECT_LE(bins[k].hi, 2048u);
        EXPECT_LE(bins[k].lo, bins[k].hi);
        if (f_lo > 16000.0 + 10.0) {
            EXPECT_EQ(bins[k].lo, 2048u) << k;
            EXPECT_EQ(bins[k].hi, 2048u) << k;
        } else if (f_hi > 16000.0 + 10.0) {
            EXPECT_EQ(bins[k].hi, 2048u) << k;
        }
    }
}

TEST(RtaSmoothing, RisesAtOnceAndFallsAtMostThreeDecibels) {
    struct Case {
        float shown, level, expected;
    };
    for (const Case c : {Case{-60.0f, -10.0f, -10.0f}, Case{-10.0f, -60.0f, -13.0f},
                         Case{-10.0f, -11.5f, -11.5f}, Case{-10.0f, -10.0f, -10.0f},
                         Case{-120.0f, -140.0f, -123.0f}, Case{INFINITY, -20.0f, -20.0f}}) {
        EXPECT_EQ(rta_smooth(c.shown, c.level), c.expected) << c.shown << " -> " << c.level;
    }
}

TEST(BandSpectrum, WindowIsPeriodicHann) {
    BandSpectrum s(48000.0f);
    EXPECT_NEAR(s.window_sum(), 2048.0f, 0.01f);
}

TEST(BandSpectrum, FullScaleSineOnABinCentreReadsZeroThenFallsThreeDbPerSpectrum) {
    struct Case {
        float rate;
        std::size_t bin;
    };
    for (const Case c : {Case{48000.0f, 85}, Case{44100.0f, 400}, Case{96000.0f, 30}}) {
        const double hz = c.bin * c.rate / 4096.0;
        BandSpectrum s(c.rate);
        const auto tone = sine(hz, c.rate, 4096);
        s.push(tone.data(), tone.size());
        const auto bins = rta_band_bins(c.rate);
        std::vector<std::size_t> bands;  // every band that contains the bin
        for (std::size_t k = 0; k < kRtaBands; ++k)
            if (bins[k].lo <= c.bin && c.bin <= bins[k].hi) bands.push_back(k);
        ASSERT_FALSE(bands.empty());

        const auto first = s.compute();
        for (std::size_t k : bands) EXPECT_EQ(first[k], 0.0f) << c.rate << " band " << k;
        // Far from the tone the Hann window's leakage is long gone.
        EXPECT_LT(first[bands.front() > 20 ? bands.front() - 20 : bands.back() + 20], -60.0f);

        const std::vector<float> silence(4096, 0.0f);
        s.push(silence.data(), silence.size());
        for (int n = 1; n <= 5; ++n) {
            const auto& b = s.compute();
            for (std::size_t k : bands) EXPECT_EQ(b[k], -3.0f * n) << c.rate << " spectrum " << n;
        }
    }
}

TEST(BandSpectrum, SilenceFallsFromTheInitialLevelToTheFloor) {
    BandSpectrum s(48000.0f);
    float expected = -120.0f;
    for (int n = 0; n < 10; ++n) {
        expected = std::fmax(expected - 3.0f, -140.0f);
        for (float b : s.compute()) EXPECT_EQ(b, expected) << "spectrum " << n;
    }
}

TEST(BandSpectrum, AnalysesOnlyTheLatestSamplesOldestFirst) {
    // Whatever came before, the spectrum of the latest 4096 samples is the same; a history read
    // from the wrong starting point would put the window's edges in the middle of the signal.
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> junk(5000);
    for (auto& v : junk) v = noise(gen);
    const auto tone = sine(1234.5, 48000.0f, 4096);

    BandSpectrum clean(48000.0f), after_junk(48000.0f);
    clean.push(tone.data(), tone.size());
    after_junk.push(junk.data(), junk.size());
    for (std::size_t at = 0; at < tone.size(); at += 300)  // in pieces, as the ring delivers
        after_junk.push(tone.data() + at, std::min<std::size_t>(300, tone.size() - at));
    EXPECT_EQ(clean.compute(), after_junk.compute());
}

TEST(BandSpectrum, NonFiniteSamplesDoNotBreakTheDisplay) {
    BandSpectrum s(48000.0f);
    std::vector<float> x(4096, 0.0f);
    x[10] = std::nanf("");
    s.push(x.data(), x.size());
    for (float b : s.compute()) EXPECT_FALSE(std::isnan(b));
}

TEST(BandSpectrum, RecoversFromABinThatOverflows) {
    // Finite samples whose bin magnitude no longer fits in single precision: the band reads
    // infinity (null on the wire) for that spectrum, and the next one shows the new level.
    BandSpectrum s(48000.0f);
    auto tone = sine(85.0 * 48000.0 / 4096.0, 48000.0f, 4096);
    for (float& v : tone) v *= 1e36f;
    s.push(tone.data(), tone.size());
    std::vector<std::size_t> overflowed;
    const auto loud = s.compute();
    for (std::size_t k = 0; k < kRtaBands; ++k)
        if (!std::isfinite(loud[k])) overflowed.push_back(k);
    ASSERT_FALSE(overflowed.empty());

    const std::vector<float> silence(4096, 0.0f);
    s.push(silence.data(), silence.size());
    const auto after = s.compute();
    for (std::size_t k : overflowed) EXPECT_EQ(after[k], -140.0f) << "band " << k;
    for (float b : after) EXPECT_TRUE(std::isfinite(b));
}

}  // namespace
}  // namespace mixengine
