// The auto-EQ band analyzer fed directly: generated band signals in, corrections out, window by
// window.
#include "analysis/band_analyzer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <optional>
#include <vector>

#include "engine/biquad.h"

namespace mixengine {
namespace {

constexpr float kRate = 48000.0f;
constexpr std::size_t kWindow = 4800;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// A steady sum of sines, one at each band centre below `rate` / 2.2, each at `amp` times
// 10^(offset_db[i] / 20); generated window by window by rotating phasors, so that a long run is
// cheap and needs no big buffer.
class BandTones {
  public:
    BandTones(std::array<float, kAutoEqBands> offset_db, double amp = 0.05, double rate = kRate) {
        for (std::size_t i = 0; i < kAutoEqBands; ++i) {
            if (!(kGraphicCentresHz[i] < rate / 2.2)) continue;
            amp_[i] = amp * std::pow(10.0, offset_db[i] / 20.0);
            step_[i] = std::polar(1.0, 2.0 * std::numbers::pi * kGraphicCentresHz[i] / rate);
        }
    }
    const std::vector<float>& next(std::size_t n) {
        buf_.assign(n, 0.0f);
        for (std::size_t k = 0; k < n; ++k) {
            double v = 0.0;
            for (std::size_t i = 0; i < kAutoEqBands; ++i) {
                v += amp_[i] * phase_[i].imag();
                phase_[i] *= step_[i];
            }
            buf_[k] = static_cast<float>(v);
        }
        return buf_;
    }

  private:
    std::array<double, kAutoEqBands> amp_{};
    std::array<std::complex<double>, kAutoEqBands> step_{};
    std::array<std::complex<double>, kAutoEqBands> phase_ = [] {
        std::array<std::complex<double>, kAutoEqBands> p;
        p.fill({1.0, 0.0});
        return p;
    }();
    std::vector<float> buf_;
};

std::array<float, kAutoEqBands> raised(std::size_t band, float db) {
    std::array<float, kAutoEqBands> o{};
    o[band] = db;
    return o;
}

AutoEqCfg flat_cfg(float amount = 1.0f, float max_cut = 3.0f) {
    AutoEqCfg c;
    c.on = true;
    c.curve = "flat";
    c.amount = amount;
    c.max_cut = max_cut;
    return c;
}

// Feeds `windows` whole windows; returns the correction of `band` after each of them.
std::vector<float> run_windows(BandAnalyzer& a, BandTones& tones, const AutoEqCfg& cfg,
                               std::size_t windows, std::size_t band) {
    std::vector<float> out;
    for (std::size_t w = 0; w < windows; ++w) {
        const auto& x = tones.next(kWindow);
        a.feed(x.data(), x.size(), cfg);
        out.push_back(a.corrections()[band]);
    }
    return out;
}

// A sine at a band's centre passes that band at 0 dB: its level reads as the sine's mean square.
// Near the Nyquist frequency the band measures at rate / 2.3 instead of its own centre.
TEST(BandAnalyzer, ASineAtABandsMeasuringFrequencyReadsItsMeanSquare) {
    struct Case {
        float rate;
        double hz;
        std::size_t band;
    };
    const Case cases[] = {
        {48000.0f, 1000.0, 17},  {48000.0f, 2000.0, 20},        {48000.0f, 20000.0, 30},
        {44100.0f, 20000.0, 30}, {32000.0f, 32000.0 / 2.3, 29}, {32000.0f, 32000.0 / 2.3, 30},
    };
    for (const Case& c : cases) {
        BandAnalyzer a(c.rate);
        const std::size_t window = static_cast<std::size_t>(c.rate * 0.1f);
        EXPECT_EQ(a.window_samples(), window);
        std::vector<float> x(window * 3);
        for (std::size_t n = 0; n < x.size(); ++n)
            x[n] = 0.5f * static_cast<float>(
                              std::sin(2.0 * std::numbers::pi * c.hz * double(n) / double(c.rate)));
        // Tones high enough that the filters' start-up takes a negligible share of the first
        // window, which sets the smoothed level outright.
        a.feed(x.data(), x.size(), flat_cfg());
        const float expected = 10.0f * std::log10(0.125f);  // mean square of a 0.5 sine
        EXPECT_NEAR(a.smoothed_db()[c.band], expected, 0.3f)
            << c.rate << " Hz, tone " << c.hz << ", band " << c.band;
    }
}

// The worked example: a band 10 dB above a flat spectrum, "amount" 1 and "max_cut" 3. Nothing
// moves until 4 s of signal have been measured; then the band walks down 0.5 dB per window to
// the clamp and stays there. With "speed_s" 2 the wait is 2 s.
TEST(BandAnalyzer, ARaisedBandWalksToItsClampAfterTheStartUpWait) {
    struct Case {
        float speed_s;
        std::size_t wait_windows;
    };
    for (const Case& c : {Case{8.0f, 40}, Case{2.0f, 20}}) {
        BandAnalyzer a(kRate);
        BandTones tones(raised(17, 10.0f));
        AutoEqCfg cfg = flat_cfg();
        cfg.speed_s = c.speed_s;
        const auto walk = run_windows(a, tones, cfg, c.wait_windows + 12, 17);
        for (std::size_t w = 0; w + 1 < c.wait_windows; ++w)
            ASSERT_EQ(walk[w], 0.0f) << "window " << w + 1 << " at speed " << c.speed_s;
        for (std::size_t s = 0; s < 6; ++s)
            EXPECT_FLOAT_EQ(walk[c.wait_windows - 1 + s], -0.5f * float(s + 1))
                << "step " << s + 1 << " at speed " << c.speed_s;
        for (std::size_t w = c.wait_windows + 5; w < walk.size(); ++w)
            ASSERT_FLOAT_EQ(walk[w], -3.0f) << "window " << w + 1;
        for (float g : a.corrections()) {
            EXPECT_LE(g, 0.0f);
            EXPECT_GE(g, -3.0f);
            EXPECT_EQ(std::round(g * 10.0f), g * 10.0f) << "rounded to 0.1 dB";
        }
    }
}

// Configurations under which a spectrum with a raised band and a dipped band must not move the
// corrections, or must move them only one way.
TEST(BandAnalyzer, CorrectionsStayInsideWhatTheConfigurationAllows) {
    std::array<float, kAutoEqBands> shape{};
    shape[12] = 8.0f;
    shape[22] = -8.0f;
    struct Case {
        const char* what;
        AutoEqCfg cfg;
        float amplitude;
        bool expect_change;
        bool expect_boost;  // some correction above 0
    };
    AutoEqCfg dflt;
    dflt.on = true;
    dflt.speed_s = 1.0f;  // the shortest wait: the limits do not depend on it
    AutoEqCfg boosting = dflt;
    boosting.max_boost = 3.0f;
    AutoEqCfg empty_range = dflt;
    empty_range.lo = 2000.0f;
    empty_range.hi = 1000.0f;
    const Case cases[] = {
        {"defaults never boost", dflt, 0.05f, true, false},
        {"\"max_boost\" 3 lets the dip be lifted", boosting, 0.05f, true, true},
        {"\"lo\" above \"hi\"", empty_range, 0.05f, false, false},
        {"quiet target (about -74 dB)", boosting, 0.00005f, false, false},
    };
    for (const Case& c : cases) {
        BandAnalyzer a(kRate);
        BandTones tones(shape, c.amplitude);
        bool changed = false;
        for (int w = 0; w < 25; ++w) {
            const auto& x = tones.next(kWindow);
            changed = a.feed(x.data(), x.size(), c.cfg) || changed;
        }
        EXPECT_EQ(changed, c.expect_change) << c.what;
        float highest = -kInf;
        for (float g : a.corrections()) highest = std::fmax(highest, g);
        EXPECT_EQ(highest > 0.0f, c.expect_boost) << c.what;
        if (!c.expect_change) {
            for (float g : a.corrections()) EXPECT_EQ(g, 0.0f) << c.what;
        }
    }
}

TEST(BandAnalyzer, AQuietTargetFreezesItsMeasurementAndCorrections) {
    BandAnalyzer a(kRate);
    BandTones loud(raised(17, 10.0f));
    const AutoEqCfg cfg = flat_cfg();
    run_windows(a, loud, cfg, 43, 17);
    BandTones quiet(raised(5, 10.0f), 0.00005);
    run_windows(a, quiet, cfg, 3, 17);  // the loud tones' tails die away
    const BandGains corrections = a.corrections();
    const BandGains smoothed = a.smoothed_db();
    const float elapsed = a.elapsed_s();
    ASSERT_LT(corrections[17], 0.0f);
    run_windows(a, quiet, cfg, 20, 17);
    EXPECT_EQ(a.corrections(), corrections);
    EXPECT_EQ(a.smoothed_db(), smoothed);
    EXPECT_EQ(a.elapsed_s(), elapsed);
}

// A sample that is not finite spoils its window only: the analyzer measures again from the next.
TEST(BandAnalyzer, ABrokenSampleCostsOneWindow) {
    for (float bad : {kNaN, kInf, -kInf, 3e38f}) {
        BandAnalyzer a(kRate);
        BandTones tones(raised(17, 10.0f));
        AutoEqCfg cfg = flat_cfg();
        cfg.speed_s = 1.0f;
        run_windows(a, tones, cfg, 10, 17);
        const float before = a.corrections()[17];
        std::vector<float> x = tones.next(kWindow);
        x[100] = bad;
        x[101] = bad;
        a.feed(x.data(), x.size(), cfg);
        EXPECT_EQ(a.elapsed_s(), 1.0f) << bad;
        EXPECT_EQ(a.corrections()[17], before) << bad;
        const auto walk = run_windows(a, tones, cfg, 8, 17);
        EXPECT_FLOAT_EQ(walk.back(), -3.0f) << bad;
        for (float s : a.smoothed_db()) EXPECT_TRUE(std::isfinite(s)) << bad;
    }
}

// Once the correction has settled between two tenths of a decibel, a window whose step rounds
// back to the same stored curve is no change: nothing is reinstalled or reported for it.
TEST(BandAnalyzer, ASettledCorrectionIsNotReportedAgain) {
    BandAnalyzer a(kRate);
    BandTones tones(raised(17, 10.0f));
    AutoEqCfg cfg = flat_cfg(1.0f, 40.0f);  // the band settles short of its limit
    cfg.speed_s = 1.0f;
    run_windows(a, tones, cfg, 40, 17);
    const float settled = a.corrections()[17];
    ASSERT_LT(settled, -3.0f);
    ASSERT_GT(settled, -40.0f);
    int changes = 0;
    for (int w = 0; w < 30; ++w) {
        const auto& x = tones.next(kWindow);
        changes += a.feed(x.data(), x.size(), cfg) ? 1 : 0;
    }
    EXPECT_LE(changes, 2) << "settled at " << settled << ", now " << a.corrections()[17];
}

// Limits that leave no gain allow no correction: a correction already made walks back to 0 at the
// usual pace, and usable limits resume it without a new start-up wait.
TEST(BandAnalyzer, LimitsThatLeaveNoGainWalkTheCorrectionBackToZero) {
    struct Limits {
        float max_cut, max_boost;
        bool usable;
    };
    const Limits table[] = {
        {6.0f, 0.0f, true},  {0.0f, 0.0f, true},   {kInf, 0.0f, true},   {6.0f, kInf, true},
        {-2.0f, 3.0f, true}, {-3.0f, 0.0f, false}, {2.0f, -2.5f, false}, {kNaN, 0.0f, false},
        {6.0f, kNaN, false}, {kInf, -kInf, false}, {-kInf, kInf, false}, {-kInf, 0.0f, false},
    };
    BandAnalyzer clamped(kRate);
    BandTones lead_in(raised(17, 10.0f));
    run_windows(clamped, lead_in, flat_cfg(), 46, 17);
    ASSERT_FLOAT_EQ(clamped.corrections()[17], -3.0f);
    for (const Limits& l : table) {
        AutoEqCfg cfg = flat_cfg();
        cfg.max_cut = l.max_cut;
        cfg.max_boost = l.max_boost;
        EXPECT_EQ(auto_eq_limits_usable(cfg), l.usable) << l.max_cut << ", " << l.max_boost;
        if (l.usable) continue;

        BandAnalyzer a = clamped;
        BandTones tones = lead_in;
        const auto back = run_windows(a, tones, cfg, 8, 17);
        for (std::size_t s = 0; s < 6; ++s)
            EXPECT_FLOAT_EQ(back[s], -3.0f + 0.5f * float(s + 1))
                << l.max_cut << ", " << l.max_boost;
        for (float g : a.corrections()) EXPECT_EQ(g, 0.0f);
        const auto again = run_windows(a, tones, flat_cfg(), 1, 17);
        EXPECT_FLOAT_EQ(again[0], -0.5f) << "mended limits resume at once";
    }
}

// A spectrum that already has the shape of the curve needs no correction, at any level and for a
// curve given at any offset.
TEST(AutoEqCurves, ASpectrumShapedLikeTheCurveNeedsNoCorrection) {
    const char* names[] = {"flat", "warm", "vocal", "speech", "house", "bright", "", "other"};
    for (const char* name : names) {
        for (float level : {-60.0f, -20.0f, 0.0f}) {
            for (float target_offset : {0.0f, -50.0f, 40.0f}) {
                AutoEqCfg cfg;
                cfg.on = true;
                cfg.amount = 1.0f;
                cfg.max_boost = 6.0f;
                cfg.lo = 20.0f;
                cfg.hi = 20000.0f;
                const BandGains curve = auto_eq_named_curve(name);
                BandGains smoothed;
                for (std::size_t i = 0; i < kAutoEqBands; ++i) smoothed[i] = curve[i] + level;
                if (target_offset != 0.0f)
                    for (float v : curve) cfg.target.push_back(v + target_offset);
                else
                    cfg.curve = name;
                const auto g = auto_eq_desired_gains(smoothed, cfg);
                ASSERT_TRUE(g);
                for (std::size_t i = 0; i < kAutoEqBands; ++i)
                    EXPECT_NEAR((*g)[i], 0.0f, 1e-4f)
                        << '"' << name << "\" at " << level << " dB, target offset "
                        << target_offset << ", band " << i;
            }
        }
    }
}

// How far a band stands out is judged against the curve whatever level the curve is given at: a
// raised band is cut alike under a flat list at 0, -50 or +40 dB.
TEST(AutoEqCurves, ATargetListAtAnyOffsetCorrectsAlike) {
    BandGains smoothed;
    smoothed.fill(-30.0f);
    smoothed[17] = -20.0f;
    smoothed[24] = -75.0f;  // far below the rest: never lifted
    std::optional<BandGains> reference;
    for (float offset : {0.0f, -50.0f, 40.0f}) {
        AutoEqCfg cfg;
        cfg.on = true;
        cfg.max_boost = 6.0f;
        cfg.target.assign(kAutoEqBands, offset);
        const auto g = auto_eq_desired_gains(smoothed, cfg);
        ASSERT_TRUE(g);
        EXPECT_LT((*g)[17], -3.0f) << offset;
        EXPECT_EQ((*g)[24], 0.0f) << offset;
        if (!reference) reference = g;
        for (std::size_t i = 0; i < kAutoEqBands; ++i)
            EXPECT_NEAR((*g)[i], (*reference)[i], 1e-4f) << "offset " << offset << ", band " << i;
    }
}

// Values read off the curve definitions at a few bands, rounded to 0.1 dB.
TEST(AutoEqCurves, NamedCurvesAndShortTargetLists) {
    struct Case {
        const char* name;
        std::size_t band;
        float db;
    };
    const Case cases[] = {
        {"flat", 25, 0.0f},    {"warm", 8, 2.0f},    {"warm", 12, 0.0f},    {"warm", 30, -5.0f},
        {"vocal", 3, -3.0f},   {"vocal", 12, -1.0f}, {"vocal", 21, 0.2f},   {"vocal", 28, -2.6f},
        {"speech", 0, -10.8f}, {"speech", 7, -3.8f}, {"speech", 22, 2.0f},  {"speech", 30, -2.6f},
        {"house", 4, 3.0f},    {"house", 29, -6.0f}, {"bright", 10, -1.0f}, {"bright", 26, 2.0f},
        {"", 17, 0.0f},        {"", 30, -8.6f},      {"Flat", 20, -2.0f},
    };
    for (const Case& c : cases)
        EXPECT_FLOAT_EQ(auto_eq_named_curve(c.name)[c.band], c.db)
            << '"' << c.name << "\" band " << c.band;

    // A list of five entries is the whole curve: the bands it leaves out aim at 0, not at the
    // named curve beside it.
    AutoEqCfg cfg;
    cfg.curve = "house";
    cfg.target = {4.0f, 3.0f, 2.0f, 1.0f, 0.5f};
    const BandGains t = auto_eq_target_curve(cfg);
    EXPECT_EQ(t[0], 4.0f);
    EXPECT_EQ(t[4], 0.5f);
    for (std::size_t i = 5; i < kAutoEqBands; ++i) EXPECT_EQ(t[i], 0.0f) << i;
    cfg.lo = 20.0f;
    BandGains smoothed{};
    for (std::size_t i = 0; i < 5; ++i) smoothed[i] = cfg.target[i];
    const auto g = auto_eq_desired_gains(smoothed, cfg);
    ASSERT_TRUE(g);
    for (float v : *g) EXPECT_NEAR(v, 0.0f, 1e-5f);
}

}  // namespace
}  // namespace mixengine
