// Notch bookkeeping (retune within a sixth of an octave, twelve at most) and the practice howl
// that grows until the notches cut it by 3 dB.
#include "engine/notch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "engine/engine_probe.h"
#include "engine/mix_engine.h"

namespace mixengine {
namespace {

constexpr double kNotchFs = 48000.0;

TEST(SixthOctave, IsAWholeToneEitherWayAndNeverANonsenseFrequency) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // A sixth of an octave up from 1000 Hz is 1122.46 Hz.
    struct Case {
        float a, b;
        bool within;
    } cases[] = {
        {1000.0f, 1000.0f, true}, {1000.0f, 1122.0f, true},  {1122.0f, 1000.0f, true},
        {1000.0f, 891.0f, true},  {1000.0f, 1123.0f, false}, {1000.0f, 890.0f, false},
        {1000.0f, 0.0f, false},   {0.0f, 0.0f, false},       {-1000.0f, 1000.0f, false},
        {nan, 1000.0f, false},    {inf, inf, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(within_sixth_octave(c.a, c.b), c.within) << c.a << " ~ " << c.b;
        EXPECT_EQ(within_sixth_octave(c.a, c.b, true), c.within) << c.a << " ~ " << c.b;
    }
}

TEST(NotchCascade, RetunesWithinASixthOfAnOctaveElseAppends) {
    NotchCascade nc(kNotchFs);
    nc.set_notch(1000.0f, -6.0f);
    nc.set_notch(1100.0f, -9.0f);  // 0.138 octave: the same entry
    ASSERT_EQ(nc.entries().size(), 1u);
    EXPECT_EQ(nc.entries()[0].freq_hz, 1000.0f);
    EXPECT_EQ(nc.entries()[0].gain_db, -9.0f);
    EXPECT_EQ(nc.stages()[0], design_biquad("peq", 1100.0f, -9.0f, 12.0, kNotchFs));
    nc.set_notch(1150.0f, -6.0f);  // 0.202 octave from 1000 Hz: a new entry
    EXPECT_EQ(nc.entries().size(), 2u);
}

TEST(NotchCascade, HoldsAtMostTwelveAndRemovesNeighbours) {
    NotchCascade nc(kNotchFs);
    for (int i = 0; i < 13; ++i) nc.set_notch(100.0f * std::pow(2.0f, 0.5f * float(i)), -6.0f);
    EXPECT_EQ(nc.entries().size(), 12u);

    NotchCascade r(kNotchFs);
    for (float f : {1800.0f, 2500.0f, 2200.0f}) r.set_notch(f, -6.0f);
    r.remove_notch(2000.0f);
    ASSERT_EQ(r.entries().size(), 1u);
    EXPECT_EQ(r.entries()[0].freq_hz, 2500.0f);
}

TEST(NotchCascade, CutsItsFrequencyByItsDepth) {
    NotchCascade nc(kNotchFs);
    nc.set_notch(1000.0f, -6.0f);
    EXPECT_NEAR(nc.attenuation_db(1000.0f), -6.0f, 1e-3f);
    std::vector<float> buf(48000);
    for (std::size_t i = 0; i < buf.size(); ++i)
        buf[i] = float(std::sin(2.0 * std::numbers::pi * 1000.0 * double(i) / kNotchFs));
    nc.apply(buf.data(), buf.size());
    double sq = 0.0;
    for (std::size_t i = 24000; i < buf.size(); ++i) sq += double(buf[i]) * buf[i];
    EXPECT_NEAR(10.0 * std::log10(sq / 12000.0), -6.0, 0.05);
}

// Chunks until the howl has died or the limit is reached.
// Notches run several at a time, each sample through all of them; that must give exactly what one
// notch after another over the whole chunk gives, for every count up to the limit and both sides.
TEST(NotchCascade, SweepsEqualOneNotchAfterAnother) {
    for (int count = 1; count <= 12; ++count) {
        NotchCascade nc(48000.0);
        for (int k = 0; k < count; ++k) nc.set_notch(120.0f * std::pow(1.4f, float(k)), -9.0f);
        std::vector<BiquadState> left(nc.entries().size()), right(left.size());
        for (int chunk = 0; chunk < 3; ++chunk) {
            std::vector<float> l(300), r(300);
            for (std::size_t i = 0; i < l.size(); ++i) {
                l[i] = std::sin(0.05f * float(i + 300 * std::size_t(chunk)));
                r[i] = 0.5f * std::cos(0.11f * float(i));
            }
            auto l_ref = l, r_ref = r;
            for (std::size_t k = 0; k < left.size(); ++k) {
                run_biquad(nc.stages()[k], left[k], l_ref.data(), l_ref.size());
                run_biquad(nc.stages()[k], right[k], r_ref.data(), r_ref.size());
            }
            nc.apply(l.data(), r.data(), l.size());
            ASSERT_EQ(l, l_ref) << count << " notches";
            ASSERT_EQ(r, r_ref) << count << " notches";
        }
    }
}

int chunks_until_silent(HowlSim& h, const NotchCascade& nc, int limit) {
    int k = 0;
    while (h.amp > 0.0f && k < limit) {
        h.advance(nc);
        ++k;
    }
    return k;
}

TEST(NotchCascade, ForgetsAMemoryThatIsNotFiniteButKeepsTinyOnes) {
    NotchCascade nc(kNotchFs);
    nc.set_notch(1000.0f, -9.0f);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> left(64, nan), right(64, std::numeric_limits<float>::infinity());
    nc.apply(left.data(), right.data(), left.size());
    nc.apply(left.data(), left.size());
    for (const BiquadState& st : nc.left_states()) EXPECT_EQ(st, BiquadState{});
    for (const BiquadState& st : nc.right_states()) EXPECT_EQ(st, BiquadState{});
    std::vector<float> clean(64, 0.5f);
    nc.apply(clean.data(), clean.size());
    for (float x : clean) ASSERT_TRUE(std::isfinite(x));

    // A decaying tail below the cascades' flush level is left alone.
    NotchCascade quiet(kNotchFs);
    quiet.set_notch(1000.0f, -9.0f);
    std::vector<float> tiny(1, 1e-25f);
    quiet.apply(tiny.data(), tiny.size());
    EXPECT_NE(quiet.left_states()[0], BiquadState{});
}

TEST(HowlSim, GrowsToItsLimitAndDiesOnceNotchesCutThreeDb) {
    NotchCascade nc(kNotchFs);
    HowlSim h;
    h.start(1000.0f);
    EXPECT_EQ(h.amp, 0.003f);
    for (int i = 0; i < 200; ++i) h.advance(nc);
    EXPECT_EQ(h.amp, 0.4f);

    nc.set_notch(1000.0f, -2.0f);  // 2 dB is not enough
    for (int i = 0; i < 50; ++i) h.advance(nc);
    EXPECT_EQ(h.amp, 0.4f);
    nc.set_notch(1000.0f, -4.0f);
    h.advance(nc);
    EXPECT_FLOAT_EQ(h.amp, 0.32f);
    EXPECT_LT(chunks_until_silent(h, nc, 100), 100);
    EXPECT_EQ(h.amp, 0.0f);
}

TEST(HowlSim, ANotchBesideTheHowlCutsTooLittleToStopIt) {
    NotchCascade nc(kNotchFs);
    nc.set_notch(1050.0f, -6.0f);
    EXPECT_NEAR(nc.attenuation_db(1000.0f), -2.5f, 0.3f);
    HowlSim h;
    h.start(1000.0f);
    for (int i = 0; i < 300; ++i) h.advance(nc);
    EXPECT_EQ(h.amp, 0.4f);
}

TEST(HowlSim, EngineHowlReachesTheOutputAndTheMainFeed) {
    MixEngine engine(48000.0f);
    Meters meters(2);
    auto [prod, cons] = make_spsc_ring<float>(4096);
    std::vector<RingProducer<float>> rings;
    rings.push_back(std::move(prod));
    engine.install_fba_rings(std::move(rings));
    engine.apply_update(update::FeedSwitch{0, true});
    engine.apply_update(update::StartHowl{0, 1000.0f});
    std::vector<float> out(2 * 256);
    engine.process({}, 0, out, 2, meters, {});
    float peak = 0.0f;
    for (std::size_t i = 0; i < 256; ++i) {
        EXPECT_EQ(out[2 * i], out[2 * i + 1]);
        peak = std::fmax(peak, std::fabs(out[2 * i]));
    }
    const float amp = 0.003f * 1.05f + 0.0004f;
    EXPECT_NEAR(peak, amp, 1e-5f);
    std::vector<float> feed(256);
    ASSERT_EQ(cons.pop_some(feed.data(), 256), 256u);
    for (std::size_t i = 0; i < 256; ++i) EXPECT_FLOAT_EQ(feed[i], out[2 * i]);
    EXPECT_EQ(EngineProbe(engine).howl_amplitude(kWatchedMain), amp);
}

TEST(HowlSim, NonFiniteFrequenciesAreIgnoredRatherThanPoisoningTheOutput) {
    MixEngine engine(48000.0f);
    Meters meters(2);
    const float inf = std::numeric_limits<float>::infinity();
    engine.apply_update(update::StartHowl{0, inf});
    engine.apply_update(update::SetNotch{0, std::numeric_limits<float>::quiet_NaN(), -6.0f});
    EXPECT_EQ(EngineProbe(engine).howl_amplitude(kWatchedMain), 0.0f);
    EXPECT_EQ(EngineProbe(engine).notch_count(kWatchedMain), 0u);
    std::vector<float> in(256, 0.25f), out(512);
    engine.process(in, 1, out, 2, meters, {});
    EXPECT_FLOAT_EQ(out[510], 0.25f * 0.70710677f);
}

}  // namespace
}  // namespace mixengine
