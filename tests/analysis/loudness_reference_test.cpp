// Holds the loudness chain (the engine's K-weighted blocks, then the integrator) against the
// reference implementation of the loudness standard on the same generated programmes.
#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "analysis/loudness_integrator.h"
#include "engine/loudness.h"

namespace mixengine {
namespace {

constexpr double kTolerance = 0.1;  // LU

struct Programme {
    std::string name;
    float rate;
    std::vector<float> left;
    std::vector<float> right;  // empty: a single-channel source
};

double db(double x) {
    return std::pow(10.0, x / 20.0);
}

std::vector<float> sine(float rate, double hz, double dbfs, double seconds) {
    std::vector<float> s(static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<float>(db(dbfs) * std::sin(2.0 * std::numbers::pi * hz * i / rate));
    return s;
}

// Roughly 1/f noise from a sum of one-pole filtered white noise, scaled to `dbfs` RMS.
std::vector<float> pinkish(float rate, double dbfs, double seconds, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> white(0.0, 1.0);
    std::vector<double> s(static_cast<std::size_t>(seconds * rate));
    double b0 = 0, b1 = 0, b2 = 0;
    double energy = 0.0;
    for (auto& v : s) {
        const double w = white(gen);
        b0 = 0.99765 * b0 + w * 0.0990460;
        b1 = 0.96300 * b1 + w * 0.2965164;
        b2 = 0.57000 * b2 + w * 1.0526913;
        v = b0 + b1 + b2 + w * 0.1848;
        energy += v * v;
    }
    const double gain = db(dbfs) / std::sqrt(energy / static_cast<double>(s.size()));
    std::vector<float> out(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) out[i] = static_cast<float>(s[i] * gain);
    return out;
}

void append(std::vector<float>& to, const std::vector<float>& part) {
    to.insert(to.end(), part.begin(), part.end());
}

struct Triple {
    double m, s, i;
};

// Runs the programme through both meters, comparing at every 100 ms block boundary.
void compare(const Programme& p) {
    SCOPED_TRACE(p.name);
    const bool stereo = !p.right.empty();
    const unsigned channels = stereo ? 2 : 1;
    std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> ref(
        ebur128_init(channels, static_cast<unsigned long>(p.rate), EBUR128_MODE_S | EBUR128_MODE_I),
        [](ebur128_state* s) { ebur128_destroy(&s); });
    ASSERT_NE(ref, nullptr);

    LoudnessMeter meter(p.rate);
    Meters meters(0);
    LoudnessIntegrator integrator;
    const std::size_t block = loudness_block_frames(p.rate);
    const std::size_t blocks = p.left.size() / block;
    std::vector<float> interleaved(block * channels);
    Triple worst{0, 0, 0};

    for (std::size_t b = 0; b < blocks; ++b) {
        const float* l = p.left.data() + b * block;
        const float* r = stereo ? p.right.data() + b * block : nullptr;
        // Our meter in uneven chunks, as an engine would call it.
        for (std::size_t at = 0; at < block; at += 700) {
            const std::size_t n = std::min<std::size_t>(700, block - at);
            meter.run(l + at, r ? r + at : nullptr, n, meters);
        }
        for (std::size_t i = 0; i < block; ++i) {
            interleaved[i * channels] = l[i];
            if (stereo) interleaved[i * channels + 1] = r[i];
        }
        ASSERT_EQ(ebur128_add_frames_float(ref.get(), interleaved.data(), block), EBUR128_SUCCESS);

        ASSERT_EQ(meters.loud_blocks.load(), b + 1);
        const auto& ours =
            integrator.update(false, meters.loud_blocks.load(), meter_load(meters.loud_ms));
        ASSERT_TRUE(ours.has_value());
        double m = 0, s = 0, i = 0;
        ebur128_loudness_momentary(ref.get(), &m);
        ebur128_loudness_shortterm(ref.get(), &s);
        ebur128_loudness_global(ref.get(), &i);
        // The reference reads silence as -inf; we read -120.
        const auto expect = [](double ref_lufs) {
            return std::isfinite(ref_lufs) && ref_lufs > -70.0 ? ref_lufs : -120.0;
        };
        // Far below any audible level (digital silence, a filter tail) both only need to agree
        // that it is silent.
        const auto check = [b](double our, double theirs, const char* what, double& worst_lu) {
            if (theirs > -100.0) {
                EXPECT_NEAR(our, theirs, kTolerance) << what << ", block " << b;
                worst_lu = std::max(worst_lu, std::abs(our - theirs));
            } else {
                EXPECT_LE(our, -100.0) << what << ", block " << b;
            }
        };
        if (b >= 3) check((*ours)[0], m, "momentary", worst.m);    // a full 400 ms window exists
        if (b >= 29) check((*ours)[1], s, "short-term", worst.s);  // a full 3 s window exists
        EXPECT_NEAR((*ours)[2], expect(i), kTolerance) << "integrated, block " << b;
        if (std::isfinite(i)) worst.i = std::max(worst.i, std::abs((*ours)[2] - i));
    }
    ::testing::Test::RecordProperty("worst_momentary_lu", std::to_string(worst.m));
    ::testing::Test::RecordProperty("worst_shortterm_lu", std::to_string(worst.s));
    ::testing::Test::RecordProperty("worst_integrated_lu", std::to_string(worst.i));
}

TEST(LoudnessReference, SinesAgreeWithinATenthOfAnLu) {
    struct Case {
        float rate;
        double hz, dbfs;
    };
    for (const Case c : {Case{48000.0f, 1000.0, -3.0}, Case{48000.0f, 100.0, -20.0},
                         Case{48000.0f, 5000.0, -30.0}, Case{44100.0f, 10000.0, -12.0},
                         Case{96000.0f, 60.0, -6.0}, Case{44100.0f, 440.0, -50.0}}) {
        Programme p{std::to_string(c.hz) + " Hz at " + std::to_string(c.dbfs) + " dBFS, " +
                        std::to_string(c.rate) + " Hz",
                    c.rate,
                    sine(c.rate, c.hz, c.dbfs, 5.0),
                    {}};
        compare(p);
    }
}

TEST(LoudnessReference, StereoPinkNoiseAgrees) {
    for (float rate : {48000.0f, 44100.0f}) {
        compare({"pink noise at " + std::to_string(rate), rate, pinkish(rate, -18.0, 6.0, 1),
                 pinkish(rate, -24.0, 6.0, 2)});
    }
}

TEST(LoudnessReference, ProgrammeWithQuietAndLoudPartsExercisesBothGates) {
    // Loud, much quieter (relatively gated), silent and near-silent (absolutely gated), loud again.
    const float rate = 48000.0f;
    std::vector<float> l, r;
    append(l, pinkish(rate, -12.0, 5.0, 3));
    append(l, pinkish(rate, -38.0, 6.0, 4));
    append(l, std::vector<float>(static_cast<std::size_t>(3 * rate), 0.0f));
    append(l, pinkish(rate, -85.0, 3.0, 5));
    append(l, sine(rate, 2000.0, -16.0, 4.0));
    append(l, pinkish(rate, -26.0, 4.0, 6));
    r = l;
    for (auto& v : r) v *= 0.5f;
    compare({"programme", rate, l, r});
}

TEST(LoudnessReference, FullScaleSineOnLeftOnlyReadsMinusThree) {
    const float rate = 48000.0f;
    auto l = sine(rate, 1000.0, 0.0, 2.0);
    std::vector<float> r(l.size(), 0.0f);
    LoudnessMeter meter(rate);
    Meters meters(2);
    LoudnessIntegrator integrator;
    for (std::size_t at = 0; at < l.size(); at += 256) {
        meter.run(l.data() + at, r.data() + at, std::min<std::size_t>(256, l.size() - at), meters);
        integrator.update(false, meters.loud_blocks.load(), meter_load(meters.loud_ms));
    }
    EXPECT_NEAR(meter_load(meters.loud_ms), 0.5871f, 0.0005f);
    EXPECT_EQ(*integrator.triple(), (LoudnessTriple{-3.0, -3.0, -3.0}));
}

}  // namespace
}  // namespace mixengine
