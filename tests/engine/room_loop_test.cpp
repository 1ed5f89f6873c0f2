// Feedback that the mix causes: the console run block by block in a room, faster than real time.
// The reported margin must say what the loop does: below 0 dB nothing grows, above it a tone
// grows at the reported frequency at the rate the excess gain and the loop's delay give, and a
// notch there stops it and moves the report on.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "engine/mix_engine.h"

namespace mixengine {
namespace {

constexpr float kLoopFs = 48000.0f;
constexpr std::size_t kLoopBlock = 256;
constexpr double kBlockS = double(kLoopBlock) / kLoopFs;

// Amplitude of frequency f in x (a Hann-windowed single DFT bin).
double tone_level(const std::vector<float>& x, double f) {
    const std::size_t n = x.size();
    std::complex<double> acc = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * double(i) / double(n));
        acc += w * x[i] * std::polar(1.0, -2.0 * std::numbers::pi * f * double(i) / kLoopFs);
    }
    return 4.0 * std::abs(acc) / double(n);
}

// The strongest frequency of x between 60 Hz and 16 kHz, to a fraction of a hertz.
double strongest(const std::vector<float>& x) {
    double best_f = 0.0, best = -1.0;
    for (double f = 60.0; f < 16000.0; f *= 1.004) {
        const double l = tone_level(x, f);
        if (l > best) best = l, best_f = f;
    }
    for (double f = best_f * 0.995; f < best_f * 1.005; f += 0.25) {
        const double l = tone_level(x, f);
        if (l > best) best = l, best_f = f;
    }
    return best_f;
}

double octaves(double a, double b) {
    return std::fabs(std::log2(a / b));
}

// A vocal microphone on input 0 through strip 0 to main, heard back from main left.
struct LoopRig {
    MixEngine engine{kLoopFs};
    Meters meters{2};
    StripCfg mic;
    std::vector<float> input = std::vector<float>(kLoopBlock * 2, 0.0f);
    std::vector<float> output = std::vector<float>(kLoopBlock * 2, 0.0f);
    std::vector<float> heard;  // main left, as played
    double t = 0.0;

    LoopRig() {
        mic.eq = {Band{"peq", 2800.0, 5.0, 1.4}};
        mic.hpf = Hpf{100.0, 12};
        engine.apply_update(update::StripSettings{0, mic});
        RoomPathCfg pa;
        pa.m = 3.0f;
        pa.db = -18.0f;
        pa.seed = 11;
        engine.apply_update(update::RoomSettings{RoomCfg{{pa}}});
    }
    RoomMargin margin() const { return engine.room_margin(kLoopBlock); }
    void set_gain(float db) {
        mic.gain_db = db;
        engine.apply_update(update::StripSettings{0, mic});
    }
    // `programme` adds a voice-like signal at about -20 dBFS to the microphone.
    void run(double seconds, bool programme = false) {
        const auto blocks = static_cast<std::size_t>(seconds / kBlockS);
        for (std::size_t b = 0; b < blocks; ++b) {
            for (std::size_t i = 0; i < kLoopBlock; ++i) {
                double v = 0.0;
                if (programme) {
                    const double tt = t + double(i) / kLoopFs;
                    const double env =
                        std::pow(0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * 3.7 * tt), 2);
                    for (int h = 1; h <= 6; ++h)
                        v += 0.1 / h * env * std::sin(2.0 * std::numbers::pi * 140.0 * h * tt);
                }
                input[2 * i] = float(v);
            }
            t += kBlockS;
            engine.process(input, 2, output, 2, meters, AnalyserSink{});
            for (std::size_t i = 0; i < kLoopBlock; ++i) heard.push_back(output[2 * i]);
        }
    }
    std::vector<float> last(std::size_t n) const {
        return std::vector<float>(heard.end() - static_cast<std::ptrdiff_t>(n), heard.end());
    }
};

double rms_db(const std::vector<float>& x, std::size_t from, std::size_t to) {
    double s = 0.0;
    for (std::size_t i = from; i < to; ++i) s += double(x[i]) * x[i];
    return 10.0 * std::log10(std::fmax(s / double(to - from), 1e-30));
}

TEST(RoomLoop, BelowTheMarginProgrammeStaysBoundedForThirtySeconds) {
    LoopRig rig;
    const RoomMargin m = rig.margin();
    ASSERT_GT(m.gain_db, -60.0f);
    rig.set_gain(-m.gain_db - 1.0f);  // the highest loop gain 1 dB below unity
    rig.run(30.0, true);
    const std::size_t six_s = static_cast<std::size_t>(6.0 * kLoopFs);
    const double early = rms_db(rig.heard, six_s / 2, six_s / 2 + six_s);
    const double late = rms_db(rig.heard, rig.heard.size() - six_s, rig.heard.size());
    EXPECT_NEAR(late, early, 0.5) << "the loop must neither grow nor fade the programme";
    EXPECT_LT(late, -6.0);
}

TEST(RoomLoop, AboveTheMarginAToneGrowsAtTheReportedFrequencyAndRate) {
    for (const float excess : {1.0f, 3.0f, 6.0f}) {
        LoopRig rig;
        const RoomMargin m0 = rig.margin();
        rig.set_gain(-m0.gain_db + excess);
        const RoomMargin m = rig.margin();
        ASSERT_GT(m.ring_db, 0.0f) << excess;
        ASSERT_LE(m.ring_db, excess + 0.01f);

        // Block levels from the noise floor up; the slope between -70 and -30 dBFS.
        rig.run(0.05);
        double t_low = -1.0, t_high = -1.0;
        while (rig.heard.size() < static_cast<std::size_t>(20.0 * kLoopFs)) {
            rig.run(kBlockS);
            const double level = rms_db(rig.heard, rig.heard.size() - 2048, rig.heard.size());
            const double now = double(rig.heard.size()) / kLoopFs;
            if (t_low < 0.0 && level > -70.0) t_low = now;
            if (level > -30.0) {
                t_high = now;
                break;
            }
        }
        ASSERT_GT(t_low, 0.0) << excess;
        ASSERT_GT(t_high, t_low) << excess << ": nothing grew";
        const double measured = 40.0 / (t_high - t_low);
        const double predicted = double(m.ring_db) / (double(m.loop_ms) * 0.001);
        EXPECT_NEAR(measured / predicted, 1.0, 0.2)
            << "excess " << excess << " dB: measured " << measured << " dB/s, predicted "
            << predicted << " dB/s (" << m.ring_db << " dB per " << m.loop_ms << " ms)";
        const std::string at = "excess_" + std::to_string(int(excess)) + "_db_";
        RecordProperty(at + "measured_db_per_s", std::to_string(measured));
        RecordProperty(at + "predicted_db_per_s", std::to_string(predicted));
        const double f = strongest(rig.last(4096));
        RecordProperty(at + "rang_hz", std::to_string(f));
        RecordProperty(at + "reported_hz", std::to_string(m.ring_hz));
        // Within the analyser's resolution: a tenth of an octave.
        EXPECT_LT(octaves(f, m.ring_hz), 0.1) << "rang at " << f << " Hz, reported " << m.ring_hz;

        // The preamp bounds the runaway; nothing turns into NaN.
        rig.run(5.0);
        float peak = 0.0f;
        for (float v : rig.last(48000)) {
            ASSERT_TRUE(std::isfinite(v));
            peak = std::fmax(peak, std::fabs(v));
        }
        EXPECT_GT(peak, 0.1f) << "a howl at a realistic level";
    }
}

TEST(RoomLoop, ANotchAtTheRingingFrequencyStopsItAndMovesTheMargin) {
    LoopRig rig;
    const RoomMargin m0 = rig.margin();
    rig.set_gain(-m0.gain_db + 3.0f);
    const RoomMargin ringing = rig.margin();
    rig.run(0.05);
    while (rms_db(rig.heard, rig.heard.size() - 2048, rig.heard.size()) < -30.0 &&
           rig.heard.size() < static_cast<std::size_t>(10.0 * kLoopFs))
        rig.run(kBlockS);
    const double f1 = strongest(rig.last(4096));
    ASSERT_LT(octaves(f1, ringing.ring_hz), 0.1);
    const double before = tone_level(rig.last(4096), f1);

    rig.engine.apply_update(update::SetNotch{0, ringing.ring_hz, -9.0f});
    const RoomMargin notched = rig.margin();
    EXPECT_LT(notched.ring_db, ringing.ring_db);
    EXPECT_GT(octaves(notched.ring_hz, ringing.ring_hz), 1.0 / 48.0) << "the next candidate";
    EXPECT_LT(notched.gain_db, ringing.gain_db + 0.01f);

    RecordProperty("ringing", std::to_string(ringing.ring_hz) + " Hz " +
                                  std::to_string(ringing.ring_db) + " dB");
    RecordProperty("notched", std::to_string(notched.ring_hz) + " Hz " +
                                  std::to_string(notched.ring_db) + " dB");
    rig.run(1.0);
    const double after = tone_level(rig.last(4096), f1);
    RecordProperty("decay_db", std::to_string(20.0 * std::log10(after / before)));
    EXPECT_LT(after, before * 0.1) << "the notched frequency dies away";
    if (notched.ring_db > 0.5f) {
        // Still above unity elsewhere: that is where it rings next.
        rig.run(3.0);
        EXPECT_LT(octaves(strongest(rig.last(4096)), notched.ring_hz), 0.1);
    }
}

// Two microphones whose sound goes round through both: twins hearing the same loudspeaker (their
// loops add, 6 dB above either alone) and a pair where each one's loudspeaker feeds only the
// other (neither has a loop of its own). Pushed by the reported margin plus or minus 3 dB, the
// pair must ring or stay at the noise floor accordingly.
TEST(RoomLoop, TwoMicrophonesRingAsTheOneLoopTheyMake) {
    struct Case {
        const char* what;
        bool through_bus;  // microphone 1's strip only feeds bus 1, which only the room hears
        double alone_db;   // the pair's margin over microphone 1's own; NaN: it has none
    };
    const Case cases[] = {{"twins", false, 6.02}, {"through each other", true, NAN}};
    for (const Case& c : cases) {
        for (const float push : {-3.0f, 3.0f}) {
            MixEngine engine{kLoopFs};
            Meters meters{2};
            StripCfg mic;
            mic.eq = {Band{"peq", 2800.0, 5.0, 1.4}};
            mic.hpf = Hpf{100.0, 12};
            StripCfg first = mic;
            RoomPathCfg to_first, to_second;
            to_first.m = to_second.m = 3.0f;
            to_first.db = to_second.db = -18.0f;
            to_first.seed = to_second.seed = 11;
            to_first.ch = 0;
            to_second.ch = 1;
            if (c.through_bus) {
                first.lr = false;
                first.sends = {SendCfg{1.0f, 2}};
                StripCfg bus;
                bus.lr = false;
                engine.apply_update(update::BusSettings{0, bus});
                to_second.from = OutputRoute{OutputRoute::Kind::Bus, 0};
            }
            const auto set = [&](float gain_db) {
                first.gain_db = mic.gain_db = gain_db;
                engine.apply_update(update::StripSettings{0, first});
                engine.apply_update(update::StripSettings{1, mic});
            };
            set(0.0f);
            engine.apply_update(update::RoomSettings{RoomCfg{{to_first}}});
            const RoomMargin alone = engine.room_margin(kLoopBlock);
            engine.apply_update(update::RoomSettings{RoomCfg{{to_first, to_second}}});
            const RoomMargin pair = engine.room_margin(kLoopBlock);
            ASSERT_GT(pair.ring_db, -60.0f) << c.what << ": the pair makes a loop";
            if (std::isnan(c.alone_db))
                EXPECT_LT(alone.ring_db, -100.0f) << c.what;
            else
                EXPECT_NEAR(pair.ring_db - alone.ring_db, c.alone_db, 0.1) << c.what;

            set(push - pair.ring_db);
            EXPECT_NEAR(engine.room_margin(kLoopBlock).ring_db, push, 0.1) << c.what;
            std::vector<float> input(kLoopBlock * 2, 0.0f), output(kLoopBlock * 2, 0.0f), heard;
            for (std::size_t b = 0; b < std::size_t(8.0 / kBlockS); ++b) {
                engine.process(input, 2, output, 2, meters, AnalyserSink{});
                for (std::size_t i = 0; i < kLoopBlock; ++i) heard.push_back(output[2 * i]);
            }
            const double level = rms_db(heard, heard.size() - 4096, heard.size());
            if (push > 0.0f)
                EXPECT_GT(level, -30.0) << c.what << " pushed past its margin must ring";
            else
                EXPECT_LT(level, -60.0) << c.what << " below its margin must stay quiet";
        }
    }
}

TEST(RoomLoop, WithoutARoomTheMicrophoneHearsOnlyItsInput) {
    LoopRig rig;
    rig.engine.apply_update(update::RoomSettings{RoomCfg{}});
    rig.set_gain(40.0f);
    rig.run(1.0);
    for (float v : rig.heard) ASSERT_EQ(v, 0.0f);
}

}  // namespace
}  // namespace mixengine
