// Filter designs against the closed-form facts of each shape (gain at the corner, centre or band
// edges), and the running cascade against those designs.
#include "engine/biquad.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

namespace mixengine {
namespace {

constexpr double kPi = std::numbers::pi;
const double kMinus3dB = 20.0 * std::log10(std::sqrt(0.5));

// |H(e^jw)| in dB of a chain of stages, evaluated from its transfer function.
double response_db(std::span<const BiquadCoeffs> stages, double f, double fs) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * f / fs);
    const std::complex<double> z2 = z1 * z1;
    double db = 0.0;
    for (const auto& c : stages) {
        const auto num = double(c.b0) + double(c.b1) * z1 + double(c.b2) * z2;
        const auto den = 1.0 + double(c.a1) * z1 + double(c.a2) * z2;
        db += 20.0 * std::log10(std::abs(num) / std::abs(den));
    }
    return db;
}
double response_db(const BiquadCoeffs& c, double f, double fs) {
    return response_db(std::span<const BiquadCoeffs>(&c, 1), f, fs);
}

// Gain in dB that a cascade applies to a steady sine, measured after it has settled.
double measured_gain_db(BiquadCascade& cascade, double f, double fs) {
    const std::size_t n = 2048, chunks = 24;
    std::vector<float> buf(n);
    double in_sq = 0.0, out_sq = 0.0;
    for (std::size_t k = 0; k < chunks; ++k) {
        for (std::size_t i = 0; i < n; ++i)
            buf[i] = float(0.5 * std::sin(2.0 * kPi * f * double(k * n + i) / fs));
        std::vector<float> in = buf;
        cascade.run(buf.data(), n);
        if (k < chunks / 2) continue;
        for (std::size_t i = 0; i < n; ++i) {
            in_sq += double(in[i]) * in[i];
            out_sq += double(buf[i]) * buf[i];
        }
    }
    return 10.0 * std::log10(out_sq / in_sq);
}

TEST(BiquadDesign, PeakingWithZeroGainIsFlat) {
    const auto c = design_biquad("peq", 1000, 0, 1, 48000);
    EXPECT_EQ(c.b0, 1.0f);
    EXPECT_EQ(c.b1, c.a1);
    EXPECT_EQ(c.b2, c.a2);
}

TEST(BiquadDesign, EachTypeHasItsAnalyticGainAtCornerCentreAndBandEdges) {
    const double fs = 48000;
    struct Case {
        const char* type;
        double f, g, q, probe, expect_db;
    };
    const Case cases[] = {
        {"hp", 1000, 0, 0.7071067811865476, 1000, kMinus3dB},
        {"hp", 1000, 12, 0.7071067811865476, fs / 2, 0.0},  // gain ignored
        {"lp", 2000, 0, 0.7071067811865476, 2000, kMinus3dB},
        {"lp", 2000, 0, 0.7071067811865476, 0, 0.0},
        {"bp", 3000, 9, 2.0, 3000, 0.0},  // unity at the centre whatever the gain
        {"hp1", 500, 0, 7.0, 500, kMinus3dB},
        {"hp1", 500, 0, 7.0, fs / 2, 0.0},
        {"lshv", 200, 6, 0.7, 0, 6.0},
        {"lshv", 200, 6, 0.7, fs / 2, 0.0},
        {"hshv", 8000, -6, 0.7, fs / 2, -6.0},
        {"hshv", 8000, -6, 0.7, 0, 0.0},
        {"lcut", 100, 10, 5.0, 100, kMinus3dB},  // forced to Butterworth, no gain
        {"hcut", 9000, 10, 5.0, 9000, kMinus3dB},
        {"peq", 1000, 6, 2.0, 1000, 6.0},
        {"peq", 1000, -12, 8.0, 1000, -12.0},
        {"peq", 1000, -12, 8.0, 0, 0.0},
        {"HP", 1000, -9, 1.0, 1000, -9.0},  // case matters: this is a peaking cut
        {"whatever", 4000, 3, 1.0, 4000, 3.0},
    };
    for (const auto& k : cases) {
        const auto c = design_biquad(k.type, k.f, k.g, k.q, fs);
        EXPECT_NEAR(response_db(c, k.probe, fs), k.expect_db, 0.01)
            << k.type << " f=" << k.f << " g=" << k.g << " probed at " << k.probe << " Hz";
    }
}

TEST(BiquadDesign, HighPassRejectsDc) {
    for (const char* type : {"hp", "hp1", "lcut"}) {
        const auto c = design_biquad(type, 100, 0, 0.7, 48000);
        EXPECT_LT(response_db(c, 0.0, 48000), -100.0) << type;
    }
}

TEST(BiquadDesign, FrequencyAndQAreClamped) {
    const double fs = 48000;
    EXPECT_EQ(design_biquad("peq", 5, 6, 1, fs), design_biquad("peq", 10, 6, 1, fs));
    EXPECT_EQ(design_biquad("peq", -50, 6, 1, fs), design_biquad("peq", 10, 6, 1, fs));
    EXPECT_EQ(design_biquad("peq", 30000, 6, 1, fs), design_biquad("peq", 48000.0 / 2.1, 6, 1, fs));
    const auto q_floor = design_biquad("peq", 1000, 6, 0.1, fs);
    for (double q : {0.0, -3.0, 0.05, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(design_biquad("peq", 1000, 6, q, fs), q_floor) << "q=" << q;
}

TEST(BiquadDesign, UnusableInputsGiveStableStages) {
    // Below 21 Hz there is no valid design: a pass-through stage rather than garbage.
    EXPECT_EQ(design_biquad("peq", 1000, 6, 1, 20.0), BiquadCoeffs{});
    // A non-finite gain designs a flat stage instead of NaN coefficients.
    const auto c = design_biquad("peq", 1000, std::numeric_limits<double>::infinity(), 1, 48000);
    EXPECT_NEAR(response_db(c, 1000, 48000), 0.0, 1e-6);
}

TEST(HighPass, EachSlopeIsThreeDbDownAtTheCornerWithItsStageCount) {
    const double fs = 48000;
    struct Case {
        uint32_t slope;
        std::size_t stages;
        double octave_below_db;  // ideal Butterworth: -10 log10(1 + 2^(2N))
    };
    const Case cases[] = {{12, 1, -12.30}, {18, 2, -18.13}, {24, 2, -24.10},
                          {6, 1, -12.30},  {36, 1, -12.30}, {0, 1, -12.30}};
    for (const auto& k : cases) {
        const auto stages = design_hpf(Hpf{120.0, k.slope}, fs);
        ASSERT_EQ(stages.size(), k.stages) << "slope " << k.slope;
        EXPECT_NEAR(response_db(stages, 120.0, fs), kMinus3dB, 0.02) << "slope " << k.slope;
        EXPECT_NEAR(response_db(stages, 60.0, fs), k.octave_below_db, 0.1) << "slope " << k.slope;
        EXPECT_NEAR(response_db(stages, 10000.0, fs), 0.0, 0.01) << "slope " << k.slope;
    }
    const auto s18 = design_hpf(Hpf{120.0, 18}, fs);
    EXPECT_EQ(s18[0], design_biquad("hp1", 120, 0, 0, fs));
    EXPECT_EQ(s18[1], design_biquad("hp", 120, 0, 1.0, fs));
}

TEST(GraphicEq, SkipsInaudibleBandsAndBandsTooCloseToNyquist) {
    const std::vector<float> zeros(31, 0.0f);
    EXPECT_TRUE(design_graphic(zeros, 48000).empty());
    std::vector<float> tiny(31);
    for (std::size_t i = 0; i < tiny.size(); ++i) tiny[i] = (i % 2 ? 0.049f : -0.049f);
    EXPECT_TRUE(design_graphic(tiny, 48000).empty());

    const std::vector<float> ones(31, 1.0f);
    EXPECT_EQ(design_graphic(ones, 44100).size(), 31u);  // 20 kHz < 20045.45 Hz is kept
    EXPECT_EQ(design_graphic(ones, 32000).size(), 29u);  // 16 and 20 kHz are >= 14545.45 Hz

    const std::vector<float> many(40, 1.0f);
    EXPECT_EQ(design_graphic(many, 48000).size(), 31u);
    const std::vector<float> few = {0.0f, 0.0f, 3.0f};
    ASSERT_EQ(design_graphic(few, 48000).size(), 1u);
    const std::vector<float> broken = {std::numeric_limits<float>::quiet_NaN(), 2.0f};
    EXPECT_EQ(design_graphic(broken, 48000).size(), 1u);
}

TEST(GraphicEq, SingleBandReachesItsGainAtItsCentreInBandOrder) {
    std::vector<float> gains(31, 0.0f);
    gains[17] = -4.0f;  // 1 kHz
    gains[5] = 2.0f;    // 63 Hz
    const auto stages = design_graphic(gains, 48000);
    ASSERT_EQ(stages.size(), 2u);
    EXPECT_NEAR(response_db(stages[0], 63, 48000), 2.0, 1e-3);
    EXPECT_NEAR(response_db(stages[1], 1000, 48000), -4.0, 1e-3);
}

TEST(BiquadCascade, RunningSinesMatchesTheDesignedResponse) {
    const double fs = 48000;
    const std::vector<BiquadCoeffs> stages = {design_biquad("peq", 1000, 6, 2, fs),
                                              design_biquad("hp", 200, 0, 0.7071, fs),
                                              design_biquad("hshv", 6000, -4, 0.7, fs)};
    for (double f : {100.0, 1000.0, 3000.0, 15000.0}) {
        BiquadCascade cascade;
        cascade.set_stages(stages);
        EXPECT_NEAR(measured_gain_db(cascade, f, fs), response_db(stages, f, fs), 0.05)
            << "at " << f << " Hz";
    }
}

TEST(BiquadCascade, TinyStatesAreFlushedToZeroAfterEachChunk) {
    BiquadCascade cascade;
    const BiquadCoeffs leak{1.0f, 0.0f, 0.0f, -0.01f, 0.0f};  // y = x + 0.01 y[-1]
    cascade.set_stages(std::span(&leak, 1));
    float zero = 0.0f;

    cascade.states()[0].s1 = 1e-19f;
    cascade.run(&zero, 0);  // the flush also runs on an empty chunk; 1e-19 stays
    EXPECT_EQ(cascade.states()[0].s1, 1e-19f);
    cascade.run(&zero, 1);  // decays to 1e-21, which is flushed
    EXPECT_EQ(zero, 1e-19f);
    EXPECT_EQ(cascade.states()[0].s1, 0.0f);

    cascade.states()[0].s1 = -5e-21f;
    cascade.states()[0].s2 = 2e-20f;
    cascade.run(&zero, 0);
    EXPECT_EQ(cascade.states()[0].s1, 0.0f);
    EXPECT_EQ(cascade.states()[0].s2, 2e-20f);
}

TEST(BiquadCascade, RedesignKeepsStatesOfTheFirstStages) {
    BiquadCascade cascade;
    const auto a = design_biquad("peq", 1000, 6, 1, 48000);
    const auto b = design_biquad("peq", 3000, -6, 1, 48000);
    cascade.set_stages(std::vector{a, b});
    std::vector<float> buf(64, 0.25f);
    cascade.run(buf.data(), buf.size());
    const BiquadState first = cascade.states()[0], second = cascade.states()[1];
    ASSERT_NE(first, BiquadState{});

    cascade.set_stages(std::vector{b});  // fewer stages: the second state waits unused
    EXPECT_EQ(cascade.states()[0], first);
    cascade.set_stages(std::vector{b, a, a});  // grows again: the third starts from zero
    ASSERT_EQ(cascade.states().size(), 3u);
    EXPECT_EQ(cascade.states()[0], first);
    EXPECT_EQ(cascade.states()[1], second);
    EXPECT_EQ(cascade.states()[2], BiquadState{});

    cascade.clear();
    buf.assign(64, 0.5f);
    cascade.run(buf.data(), buf.size());  // no stages: untouched
    EXPECT_EQ(buf[63], 0.5f);
}

TEST(BiquadCascade, MatchesRunningEachStageAloneBitForBit) {
    // The cascade may run stages together; the result must be that of the one-stage reference.
    for (std::size_t count : {1u, 2u, 3u, 4u, 5u, 11u, 31u}) {
        std::vector<BiquadCoeffs> stages;
        for (std::size_t k = 0; k < count; ++k)
            stages.push_back(design_biquad(k % 3 ? "peq" : "lshv", 40.0 * double(k + 1),
                                           k % 2 ? 5.0 : -7.0, 0.8 + 0.3 * double(k), 48000));
        BiquadCascade cascade;
        cascade.set_stages(stages);
        std::vector<BiquadState> ref(count);
        std::vector<float> a(300), b(300);
        for (int chunk = 0; chunk < 3; ++chunk) {
            for (std::size_t i = 0; i < a.size(); ++i)
                a[i] = b[i] = float(std::sin(0.37 * double(i + 300 * std::size_t(chunk))));
            cascade.run(a.data(), a.size());
            for (std::size_t k = 0; k < count; ++k) {
                run_biquad(stages[k], ref[k], b.data(), b.size());
                flush_biquad_state(ref[k]);
            }
            ASSERT_EQ(a, b) << count << " stages, chunk " << chunk;
        }
        for (std::size_t k = 0; k < count; ++k) EXPECT_EQ(cascade.states()[k], ref[k]);
    }
}

TEST(BiquadBank, LanesMatchTheStageByStageReference) {
    BiquadBank bank{};
    std::vector<BiquadCoeffs> coeffs;
    for (std::size_t i = 0; i < kBankStages; ++i) {
        const BiquadCoeffs c =
            design_biquad("bp", 20.0 * std::pow(1.26, double(i)), 0, 4.32, 48000.0);
        coeffs.push_back(c);
        bank.coeffs[i] = c;
    }
    std::vector<float> x(1000);
    for (std::size_t n = 0; n < x.size(); ++n) x[n] = 0.4f * std::sin(0.37f * float(n * n % 977));
    // In two calls, so that state carried across calls is covered as well.
    run_bank(bank, x.data(), 613);
    run_bank(bank, x.data() + 613, x.size() - 613);
    for (std::size_t i = 0; i < coeffs.size(); ++i) {
        std::vector<float> y = x;
        BiquadState st;
        run_biquad(coeffs[i], st, y.data(), y.size());
        float power = 0.0f;
        for (float v : y) power += v * v;
        EXPECT_EQ(bank.power[i], power) << "lane " << i;
        EXPECT_EQ(bank.states[i], st) << "lane " << i;
    }
}

TEST(StereoBiquadCascade, ChannelsKeepSeparateStates) {
    StereoBiquadCascade stereo;
    BiquadCascade mono;
    const auto c = design_biquad("lshv", 300, 9, 0.7, 48000);
    stereo.set_stages(std::span(&c, 1));
    mono.set_stages(std::span(&c, 1));
    std::vector<float> l(256), r(256, 0.0f), m(256);
    for (std::size_t i = 0; i < l.size(); ++i) l[i] = m[i] = float(std::sin(0.01 * double(i)));
    stereo.run(l.data(), r.data(), l.size());
    mono.run(m.data(), m.size());
    EXPECT_EQ(l, m);
    EXPECT_EQ(r, std::vector<float>(256, 0.0f));
}

namespace mixengine {
namespace {

// Channels in lanes with a kept plan must stay, chunk after chunk, what each channel's cascades
// give alone, whatever changes between chunks: a redesign to more or fewer stages, a cleared
// cascade, a channel beyond what a plan holds, a different set of channels, a decaying tail.
TEST(BiquadLanes, KeptPlanFollowsEveryRedesignBitForBit) {
    enum class Change { None, Grow, Clear, TooLong, Shrink, OtherSet, Quiet };
    const Change steps[] = {Change::None,  Change::None,    Change::Grow,   Change::Clear,
                            Change::None,  Change::TooLong, Change::None,   Change::Shrink,
                            Change::OtherSet, Change::None, Change::Quiet, Change::None};
    constexpr std::size_t kCh = 6, kN = 77;
    auto design = [](std::size_t count, double f) {
        std::vector<BiquadCoeffs> c;
        for (std::size_t k = 0; k < count; ++k)
            c.push_back(design_biquad(k % 2 ? "peq" : "lshv", f * double(k + 1), 4.0, 1.5, 48000.0));
        return c;
    };
    struct Set {
        std::vector<BiquadCascade> a = std::vector<BiquadCascade>(kCh), b = a;
        std::vector<std::vector<float>> buf = std::vector<std::vector<float>>(kCh);
    };
    Set lanes, alone;
    for (Set* set : {&lanes, &alone})
        for (std::size_t c = 0; c < kCh; ++c) {
            set->a[c].set_stages(design(c + 1, 50.0 + 10.0 * double(c)));
            set->b[c].set_stages(design(3, 400.0));
        }
    LanePlan plan;
    std::vector<float> scratch(kBiquadLanes * kN);
    bool second_set = false;
    float level = 0.5f;
    for (std::size_t step = 0; step < std::size(steps); ++step) {
        for (Set* set : {&lanes, &alone}) {
            switch (steps[step]) {
                case Change::Grow:
                    set->a[2].set_stages(design(9, 70.0));
                    break;
                case Change::Clear:
                    set->b[4].clear();
                    break;
                case Change::TooLong:
                    set->a[0].set_stages(design(70, 30.0));
                    break;
                case Change::Shrink:
                    set->a[0].set_stages(design(2, 90.0));
                    break;
                default:
                    break;
            }
        }
        if (steps[step] == Change::OtherSet) second_set = true;
        if (steps[step] == Change::Quiet) level = 0.0f;
        for (Set* set : {&lanes, &alone})
            for (std::size_t c = 0; c < kCh; ++c) {
                set->buf[c].resize(kN);
                for (std::size_t i = 0; i < kN; ++i)
                    set->buf[c][i] = level * std::sin(0.01f * float((c + 1) * (i + step * kN)));
            }
        std::vector<LaneChannel> ch;
        for (std::size_t c = 0; c < kCh; ++c) {
            if (second_set && c == 3) continue;  // one channel fewer, the rest moved up
            ch.push_back(LaneChannel{lanes.buf[c].data(), {&lanes.a[c], nullptr, &lanes.b[c]}});
            alone.a[c].run(alone.buf[c].data(), kN);
            alone.b[c].run(alone.buf[c].data(), kN);
        }
        run_in_lanes(ch, kN, scratch.data(), &plan);
        for (std::size_t c = 0; c < kCh; ++c) {
            if (second_set && c == 3) continue;
            ASSERT_EQ(lanes.buf[c], alone.buf[c]) << "step " << step << ", channel " << c;
            for (auto [x, y] : {std::pair{&lanes.a[c], &alone.a[c]}, {&lanes.b[c], &alone.b[c]}})
                ASSERT_TRUE(std::equal(x->states().begin(), x->states().end(),
                                       y->states().begin(), y->states().end()))
                    << "step " << step << ", channel " << c;
        }
    }
}

// Sets of a few long cascades beside each other, which run with each channel's stages spread
// over the lanes and one sample apart, must give what each cascade gives alone, bit for bit,
// over chunks long and short (the pipeline filling and draining within a chunk, or never full),
// with the states handed on from chunk to chunk and between the two lane forms.
TEST(BiquadLanes, SpreadCascadesGiveWhatEachGivesAlone) {
    struct Case {
        std::vector<std::size_t> stages;  // per channel
        std::vector<std::size_t> chunks;
    };
    const Case cases[] = {
        {{31, 31}, {256, 1, 64, 7, 32, 200}},     // main's graphic equaliser
        {{47, 47, 47}, {32, 64, 5, 256, 48}},     // main and mono, every equaliser on
        {{64}, {100, 8, 9, 63, 2}},               // as long as a plan holds
        {{1, 20, 0, 9, 33}, {48, 48, 2, 300}},    // unlike lengths, an empty channel
        {{17, 3}, {8, 15, 23, 24, 25, 31, 32, 33}},  // about the pipeline's length, in 8 or 16 lanes
    };
    for (const Case& c : cases) {
        const std::size_t count = c.stages.size();
        std::vector<BiquadCascade> lanes(count), alone(count);
        for (std::size_t ch = 0; ch < count; ++ch) {
            std::vector<BiquadCoeffs> d;
            for (std::size_t k = 0; k < c.stages[ch]; ++k)
                d.push_back(design_biquad(k % 3 ? "peq" : "hshv", 40.0 * double(k + ch + 1),
                                          k % 2 ? 6.0 : -4.0, 2.0, 48000.0));
            lanes[ch].set_stages(d);
            alone[ch].set_stages(d);
        }
        LanePlan plan;
        std::size_t at = 0;
        for (std::size_t n : c.chunks) {
            std::vector<std::vector<float>> got(count, std::vector<float>(n)), want = got;
            std::vector<LaneChannel> set;
            for (std::size_t ch = 0; ch < count; ++ch) {
                for (std::size_t i = 0; i < n; ++i)
                    got[ch][i] = want[ch][i] =
                        (at + i) % 97 == 0 ? 0.0f : std::sin(0.003f * float((ch + 2) * (at + i)));
                alone[ch].run(want[ch].data(), n);
                set.push_back(LaneChannel{got[ch].data(), {&lanes[ch]}});
            }
            std::vector<float> scratch(kBiquadLanes * n);
            run_in_lanes(set, n, scratch.data(), &plan);
            at += n;
            for (std::size_t ch = 0; ch < count; ++ch) {
                ASSERT_EQ(got[ch], want[ch]) << "channel " << ch << " at " << at;
                ASSERT_TRUE(std::ranges::equal(lanes[ch].states(), alone[ch].states()))
                    << "channel " << ch << " at " << at;
            }
        }
    }
}

}  // namespace
}  // namespace mixengine

// Consecutive sets run two at a time where the processor allows: each channel must still get what
// its cascade gives alone, whether the two sets' lengths differ by whole sweeps or within the last
// one, one set has no stages, one takes the skewed form, or a set is left over.
TEST(BiquadLanes, SetsSideBySideGiveWhatEachGivesAlone) {
    const std::vector<std::vector<std::size_t>> cases = {
        // stages per channel, eight channels to a set
        {5, 5, 5, 5, 5, 5, 5, 5, 13, 2, 0, 7, 7, 7, 7, 1},
        {49, 49, 49, 49, 49, 49, 49, 49, 3, 3, 3, 3, 3, 3, 3, 3, 49, 1},
        {0, 0, 0, 0, 0, 0, 0, 0, 4, 4, 4, 4, 4, 4, 4, 4},
        {40, 40, 0, 0, 0, 0, 0, 0, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6},
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const std::vector<std::size_t>& stages = cases[k];
        const std::size_t count = stages.size();
        std::vector<BiquadCascade> lanes(count), alone(count);
        for (std::size_t ch = 0; ch < count; ++ch) {
            std::vector<BiquadCoeffs> d;
            for (std::size_t s = 0; s < stages[ch]; ++s)
                d.push_back(design_biquad(s % 2 ? "peq" : "lshv", 30.0 * double(s + ch + 1),
                                          s % 3 ? 5.0 : -3.0, 1.2, 48000.0));
            lanes[ch].set_stages(d);
            alone[ch].set_stages(d);
        }
        std::vector<LanePlan> plans((count + kBiquadLanes - 1) / kBiquadLanes);
        std::size_t at = 0;
        for (std::size_t n : {256, 32, 3, 100}) {
            std::vector<std::vector<float>> got(count, std::vector<float>(n)), want = got;
            std::vector<LaneChannel> set;
            for (std::size_t ch = 0; ch < count; ++ch) {
                for (std::size_t i = 0; i < n; ++i)
                    got[ch][i] = want[ch][i] = std::sin(0.002f * float((ch + 3) * (at + i)));
                alone[ch].run(want[ch].data(), n);
                set.push_back(LaneChannel{got[ch].data(), {&lanes[ch]}});
            }
            std::vector<float> scratch(2 * kBiquadLanes * n);
            run_sets_in_lanes(set, plans, n, scratch.data());
            at += n;
            for (std::size_t ch = 0; ch < count; ++ch) {
                ASSERT_EQ(got[ch], want[ch]) << "case " << k << ", channel " << ch << " at " << at;
                ASSERT_TRUE(std::ranges::equal(lanes[ch].states(), alone[ch].states()))
                    << "case " << k << ", channel " << ch << " at " << at;
            }
        }
    }
}

}  // namespace
}  // namespace mixengine
