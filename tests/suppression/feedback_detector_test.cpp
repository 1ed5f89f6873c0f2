#include "suppression/feedback_detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <vector>

namespace mixengine {
namespace {

constexpr float kRate = 48000.0f;
constexpr std::size_t kFrame = FeedbackDetector::kFrame;
constexpr std::size_t kHop = FeedbackDetector::kHop;

// Amplitude of a sine whose level reads `db` in the detector's spectrum (0 dB = full scale).
float amp(float db) {
    return std::pow(10.0f, db / 20.0f);
}

// Sample n of a signal, n counted from the detector's first sample.
using Signal = std::function<float(std::size_t n)>;

Signal sine(double hz, float db) {
    return [hz, a = amp(db)](std::size_t n) {
        return a * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * double(n) / kRate));
    };
}

Signal sum(std::vector<Signal> parts) {
    return [parts = std::move(parts)](std::size_t n) {
        float s = 0.0f;
        for (const auto& p : parts) s += p(n);
        return s;
    };
}

// Feeds `frames` analysis frames, exactly one per call (the first call 4096 samples, then one
// hop each), and returns the reports of each frame, index 0 = frame 1.
std::vector<std::vector<float>> run_frames(FeedbackDetector& d, const Signal& signal,
                                           std::size_t frames, const FbaCfg& cfg = {},
                                           std::size_t first_sample = 0) {
    std::vector<std::vector<float>> out;
    std::size_t n = first_sample;
    std::vector<float> block;
    for (std::size_t f = 0; f < frames; ++f) {
        const std::size_t len = (f == 0 && first_sample == 0) ? kFrame : kHop;
        block.resize(len);
        for (auto& x : block) x = signal(n++);
        out.push_back(d.process(block, cfg));
    }
    return out;
}

// The frames (1-based) that reported anything.
std::vector<std::size_t> reporting_frames(const std::vector<std::vector<float>>& per_frame) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < per_frame.size(); ++i)
        if (!per_frame[i].empty()) out.push_back(i + 1);
    return out;
}

FbaCfg content(const char* c) {
    FbaCfg cfg;
    cfg.content = c;
    return cfg;
}

TEST(FeedbackDetector, ReportsASteadyToneAfterThePersistenceOfItsContent) {
    const struct {
        const char* content;
        uint32_t persist;
        std::vector<std::size_t> frames;
    } cases[] = {
        {"mixed", 8, {8, 16, 24}},
        {"anything", 8, {8, 16, 24}},
        {"speech", 8, {5, 10, 15, 20}},                // round(4.8) = 5
        {"speech", 2, {3, 6, 9, 12, 15, 18, 21, 24}},  // never fewer than 3 frames
        {"music", 8, {}},                              // 12 frames, but only a growing level counts
        {"mixed", 0, {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                      13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}},
    };
    for (const auto& c : cases) {
        FeedbackDetector d(kRate);
        FbaCfg cfg = content(c.content);
        cfg.persist = c.persist;
        const auto reports = run_frames(d, sine(1000.0, -20.0f), 24, cfg);
        EXPECT_EQ(reporting_frames(reports), c.frames) << c.content << " " << c.persist;
        for (const auto& frame : reports) {
            for (const float f : frame) EXPECT_NEAR(f, 1000.0f, 0.2f * d.bin_hz());
        }
    }
}

TEST(FeedbackDetector, MusicNeedsAGrowingLevel) {
    // +0.1 dB per hop: after 11 hops the level has grown 1.1 dB since the track began.
    const Signal growing = [](std::size_t n) {
        const float db = -30.0f + 0.1f * static_cast<float>(n) / float(kHop);
        return amp(db) * static_cast<float>(std::sin(2.0 * std::numbers::pi * 1000.0 * n / kRate));
    };
    FeedbackDetector d(kRate);
    EXPECT_EQ(reporting_frames(run_frames(d, growing, 24, content("music"))),
              (std::vector<std::size_t>{12, 24}));
}

TEST(FeedbackDetector, ALevelThatFallsFarBelowItsPeakIsNotReported) {
    // -30 dB for three frames, -20 dB up to the end of frame 6, then `after_db`. Frames 8 and 16
    // see only the last level: grown since the track began, but maybe far below its peak.
    const struct {
        float after_db;
        std::vector<std::size_t> frames;
    } cases[] = {{-25.0f, {8, 16}}, {-27.0f, {}}};
    for (const auto& c : cases) {
        const Signal s = [&](std::size_t n) {
            const float db = n < kFrame + 2 * kHop   ? -30.0f
                             : n < kFrame + 5 * kHop ? -20.0f
                                                     : c.after_db;
            return amp(db) *
                   static_cast<float>(std::sin(2.0 * std::numbers::pi * 1000.0 * n / kRate));
        };
        FeedbackDetector d(kRate);
        const auto reports = run_frames(d, s, 16);
        EXPECT_EQ(reporting_frames(reports), c.frames) << c.after_db;
        EXPECT_EQ(d.tracks().size(), 1u);
        EXPECT_EQ(d.tracks()[0].count, 16u) << "the count goes on while reports stop";
    }
}

TEST(FeedbackDetector, HarmonicSeriesAndOutOfRangePeaksAreNeverReported) {
    const struct {
        const char* name;
        Signal signal;
        std::size_t tracks;
        bool reported;
    } cases[] = {
        {"lone 1 kHz", sine(1000.0, -20.0f), 1, true},
        {"1 kHz with an equal 2 kHz", sum({sine(1000.0, -20.0f), sine(2000.0, -20.0f)}), 0, false},
        // Only the octave above and below and the twelfth above are looked at: the 3 kHz tone
        // is followed, its 1 kHz fundamental is not.
        {"1 kHz with an equal 3 kHz", sum({sine(1000.0, -20.0f), sine(3000.0, -20.0f)}), 1, true},
        // A weak second harmonic (more than 30 dB down) leaves the fundamental alone.
        {"1 kHz with 2 kHz 40 dB down", sum({sine(1000.0, -20.0f), sine(2000.0, -60.0f)}), 1, true},
        {"59 Hz", sine(59.0, -20.0f), 0, false},
        {"16.5 kHz", sine(16500.0, -20.0f), 0, false},
        {"below -60 dB", sine(1000.0, -70.0f), 0, false},
        {"silence", [](std::size_t) { return 0.0f; }, 0, false},
    };
    for (const auto& c : cases) {
        FeedbackDetector d(kRate);
        const auto reports = run_frames(d, c.signal, 8);
        EXPECT_EQ(d.tracks().size(), c.tracks) << c.name;
        EXPECT_EQ(reporting_frames(reports).empty(), !c.reported) << c.name;
    }
}

// A tone of 1 kHz whose level in dB follows `db(t)` (t in hops since the first sample), with
// partners at `partner_ratio` times its frequency `partner_db` below it (none when 0).
Signal shaped(std::function<float(double)> db, double partner_ratio = 0.0,
              float partner_db = 0.0f) {
    return [db = std::move(db), partner_ratio, partner_db](std::size_t n) {
        const double t = double(n) / double(kHop);
        const double w = 2.0 * std::numbers::pi * 1000.0 * double(n) / kRate;
        double x = std::sin(w);
        if (partner_ratio > 0.0) x += double(amp(-partner_db)) * std::sin(partner_ratio * w);
        return amp(db(t)) * static_cast<float>(x);
    };
}

// The frames (1-based) that reported `hz`, within a bin (the twelfth of a tone is a lone peak
// of its own, reported or not as the rules say).
std::vector<std::size_t> frames_reporting(const std::vector<std::vector<float>>& per_frame,
                                          float hz) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < per_frame.size(); ++i)
        for (const float f : per_frame[i])
            if (std::fabs(f - hz) < kRate / float(kFrame)) {
                out.push_back(i + 1);
                break;
            }
    return out;
}

// From -50 dB, `per_hop` dB a hop up to -6 dB, held there.
std::function<float(double)> climbing(float per_hop) {
    return [per_hop](double t) { return std::fmin(-50.0f + per_hop * float(t), -6.0f); };
}

TEST(FeedbackDetector, AHowlIsFoundThroughTheHarmonicsItGrows) {
    const struct {
        const char* name;
        Signal signal;
        std::vector<std::size_t> frames;  // reporting frames among the first 24
    } cases[] = {
        // A loop above unity: the level climbs out of the programme and holds where the output
        // clips, with the clipping's twelfth 20 dB down, or another ringing frequency near its
        // octave, from the start.
        {"climbs 6 dB a hop with its twelfth", shaped(climbing(6.0f), 3.0, 20.0f), {8, 16, 24}},
        {"climbs 3 dB a hop with its twelfth", shaped(climbing(3.0f), 3.0, 20.0f), {8, 16, 24}},
        {"climbs 6 dB a hop with a tone near its octave",
         sum({shaped(climbing(6.0f)), sine(2023.0, -40.0f)}),
         {8, 16, 24}},
        // Whatever else a climbing tone has, it is found as before when it has no partners.
        {"climbs alone", shaped(climbing(6.0f)), {8, 16, 24}},
        // Notes: a held one with its twelfth, slow or short swells, a swell that falls back, a
        // syllable rhythm, an onset. None climbs far, and for long, to a height it then holds.
        {"held with its twelfth", shaped([](double) { return -20.0f; }, 3.0, 20.0f), {}},
        {"swells 0.5 dB a hop with its octave", shaped(climbing(0.5f), 2.0, 6.0f), {}},
        {"swells 2 dB a hop by 8 dB and holds, with its octave",
         shaped([](double t) { return -20.0f + 2.0f * float(std::clamp(t - 4.0, 0.0, 4.0)); }, 2.0,
                6.0f),
         {}},
        {"swells 4 dB a hop and falls back 6 dB",
         shaped(
             [](double t) {
                 return t < 6.0 ? -40.0f + 4.0f * float(t)
                                : std::fmax(-16.0f - 3.0f * float(t - 6.0), -22.0f);
             },
             2.0, 6.0f),
         {}},
        {"syllables at 3.7 Hz with the octave",
         shaped(
             [](double t) {
                 const double s =
                     0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * 3.7 * t * kHop / kRate);
                 return static_cast<float>(-12.0 + 20.0 * std::log10(std::fmax(s * s, 1e-4)));
             },
             2.0, 6.0f),
         {}},
        // A note whose octave dies away first is followed from then on, not from its onset.
        {"held with its octave for 5 hops, then alone",
         sum({sine(1000.0, -20.0f),
              [o = sine(2000.0, -26.0f)](std::size_t n) { return n < 5 * kHop ? o(n) : 0.0f; }}),
         {13, 21}},
        {"starts on the third hop with its octave",
         shaped([](double t) { return t < 2.6 ? -200.0f : -12.0f; }, 2.0, 6.0f),
         {}},
    };
    for (const auto& c : cases) {
        FeedbackDetector d(kRate);
        EXPECT_EQ(frames_reporting(run_frames(d, c.signal, 24), 1000.0f), c.frames) << c.name;
    }
}

TEST(FeedbackDetector, AHowlThatIsCutStopsBeingReported) {
    // Climbs 6 dB a hop with its twelfth and holds, until a notch takes 9 dB off it at hop 12.
    const Signal cut = shaped(
        [](double t) {
            return std::fmin(-50.0f + 6.0f * float(t), -6.0f) - (t >= 12.0 ? 9.0f : 0.0f);
        },
        3.0, 20.0f);
    FeedbackDetector d(kRate);
    EXPECT_EQ(frames_reporting(run_frames(d, cut, 32), 1000.0f), (std::vector<std::size_t>{8}));
}

TEST(FeedbackDetector, SpectrumReadsFullScaleAsZeroDbAndSilenceAsTheFloor) {
    FeedbackDetector d(kRate);
    EXPECT_TRUE(d.spectrum().empty());
    // Bin 100 exactly: a full-scale sine there reads 0 dB.
    run_frames(d, sine(100.0 * kRate / kFrame, 0.0f), 1);
    ASSERT_EQ(d.spectrum().size(), 2048u);
    EXPECT_NEAR(d.spectrum()[100], 0.0f, 0.01f);

    FeedbackDetector quiet(kRate);
    run_frames(
        quiet, [](std::size_t) { return 0.0f; }, 1);
    for (const float s : quiet.spectrum()) ASSERT_EQ(s, -180.0f);
}

TEST(FeedbackDetector, FramesAreHalfOverlapped) {
    const struct {
        std::vector<std::size_t> calls;  // samples per call
        std::size_t frames;              // frames analysed (the count of a steady tone's track)
    } cases[] = {
        {{4095}, 0},
        {{4096 + 2047}, 1},
        {{4096 + 2048}, 2},
        {{1000, 3096, 2048}, 2},
        {{1, 1, 4094, 1000, 1048}, 2},
        {{4096 * 4}, 7},
        {{}, 0},
    };
    for (const auto& c : cases) {
        FeedbackDetector d(kRate);
        const Signal s = sine(1000.0, -20.0f);
        std::size_t n = 0;
        for (const std::size_t len : c.calls) {
            std::vector<float> block(len);
            for (auto& x : block) x = s(n++);
            d.process(block, FbaCfg{});
        }
        EXPECT_EQ(d.spectrum().empty(), c.frames == 0);
        const uint32_t count = d.tracks().empty() ? 0 : d.tracks()[0].count;
        EXPECT_EQ(count, c.frames);
    }
    // An empty call changes nothing.
    FeedbackDetector d(kRate);
    EXPECT_TRUE(d.process({}, FbaCfg{}).empty());
    EXPECT_TRUE(d.spectrum().empty());
}

// White noise reading about -60 dB a bin, reproducible.
Signal with_noise(Signal s) {
    return [s = std::move(s), seed = uint32_t{1}](std::size_t n) mutable {
        seed = seed * 1664525u + 1013904223u;
        return (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f) * 0.1f + s(n);
    };
}

TEST(FeedbackDetector, OnlyTheSixMostProminentPeaksAreFollowed) {
    // Eight tones over a noise floor, none a harmonic of another; the two at -40 dB stand some
    // 20 dB less out of the floor than the others.
    const double hz[] = {500, 1370, 1710, 2550, 3190, 4470, 5410, 6070};
    std::vector<Signal> parts;
    for (const double f : hz) parts.push_back(sine(f, (f == 1370 || f == 4470) ? -40.0f : -20.0f));
    FeedbackDetector d(kRate);
    run_frames(d, with_noise(sum(parts)), 1);
    ASSERT_EQ(d.tracks().size(), 6u);
    for (const PeakTrack& t : d.tracks()) {
        EXPECT_GT(std::fabs(t.freq_hz - 1370.0f), 20.0f);
        EXPECT_GT(std::fabs(t.freq_hz - 4470.0f), 20.0f);
    }
}

TEST(FeedbackDetector, SensitivityIsTheProminenceAPeakNeeds) {
    // The -20 dB tone stands nearly 40 dB out of the noise floor.
    for (const float sensitivity : {30.0f, 50.0f}) {
        FeedbackDetector d(kRate);
        FbaCfg cfg;
        cfg.sensitivity = sensitivity;
        run_frames(d, with_noise(sine(1000.0, -20.0f)), 1, cfg);
        bool near_1k = false;
        for (const PeakTrack& t : d.tracks()) near_1k |= std::fabs(t.freq_hz - 1000.0f) < 12.0f;
        EXPECT_EQ(near_1k, sensitivity == 30.0f) << sensitivity;
    }
}

TEST(FeedbackDetector, NonFiniteSamplesNeitherReportNorStickTheDetector) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* name;
        Signal junk;
    } cases[] = {
        {"NaN", [nan](std::size_t) { return nan; }},
        {"+inf", [](std::size_t) { return inf; }},
        {"alternating infinities", [](std::size_t n) { return n % 2 ? inf : -inf; }},
        {"NaN and infinities",
         [nan](std::size_t n) { return n % 3 == 0   ? nan
                                       : n % 3 == 1 ? inf
                                                    : -inf; }},
    };
    for (const auto& c : cases) {
        FeedbackDetector d(kRate);
        // Ten frames of junk: no report, and the spectrum stays a set of finite levels.
        const auto junk = run_frames(d, c.junk, 10);
        for (const auto& frame : junk) EXPECT_TRUE(frame.empty()) << c.name;
        for (const float s : d.spectrum()) ASSERT_TRUE(std::isfinite(s)) << c.name;
        // Frame 11 holds the junk's last hop and the tone's first; the tone's 8th frame is 18.
        const auto after = run_frames(d, sine(1000.0, -20.0f), 10, FbaCfg{}, kFrame + 9 * kHop);
        EXPECT_EQ(reporting_frames(after), (std::vector<std::size_t>{8})) << c.name;
    }
}

TEST(FeedbackDetector, PersistenceRulesFollowTheContent) {
    const struct {
        const char* content;
        uint32_t persist;
        float growth;
        uint32_t frames;
    } cases[] = {
        {"music", 8, 0.5f, 12},
        {"music", 3, 0.5f, 5},
        {"speech", 8, -3.0f, 5},
        {"speech", 4, -3.0f, 3},
        {"mixed", 8, -1.0f, 8},
        {"Music", 8, -1.0f, 8},
        {"music", 0, 0.5f, 0},
        {"speech", 0xFFFFFFFF, -3.0f, 2576980377u},
        {"music", 0xFFFFFFFF, 0.5f, 0xFFFFFFFF},
    };
    for (const auto& c : cases) {
        FbaCfg cfg = content(c.content);
        cfg.persist = c.persist;
        const PersistenceRule r = persistence_rule(cfg);
        EXPECT_EQ(r.growth_db, c.growth) << c.content << " " << c.persist;
        EXPECT_EQ(r.frames, c.frames) << c.content << " " << c.persist;
    }
}

}  // namespace
}  // namespace mixengine
