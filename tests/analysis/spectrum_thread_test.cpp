#include "analysis/spectrum_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "control/telemetry.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;

// Captures printed lines for the lifetime of the object.
struct Captured {
    std::string text;
    Captured() { capture_output_for_tests(&text); }
    ~Captured() { capture_output_for_tests(nullptr); }
    // The text while a detached thread may still be printing: capture is paused under the output
    // lock for the copy (a line printed meanwhile goes to standard output instead).
    std::string snapshot() {
        capture_output_for_tests(nullptr);
        std::string copy = text;
        capture_output_for_tests(&text);
        return copy;
    }
    static std::vector<Json> parse(const std::string& text) {
        std::vector<Json> out;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) out.push_back(Json::parse(l));
        return out;
    }
    std::vector<Json> lines() const { return parse(text); }
};

struct SpectrumRig {
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<ControlState> state = std::make_shared<ControlState>(stop);
    std::shared_ptr<Meters> meters = std::make_shared<Meters>(2);
    RingProducer<float> producer;
    SpectrumThreadInputs inputs() {
        auto [p, c] = make_spsc_ring<float>(48000);
        producer = std::move(p);
        SpectrumThreadInputs in;
        in.meters = meters;
        in.analyser = std::move(c);
        in.state = state;
        in.xruns = std::make_shared<std::atomic<uint64_t>>(3);
        in.output_count = 2;
        in.rate = 48000.0f;
        return in;
    }
};

TEST(SpectrumAnalysis, PrintsAMeterLineEveryPassAndSpectraAtMostEvery100ms) {
    struct Case {
        std::string source;
        std::size_t spectra;  // over passes at 40, 80, ..., 400 ms
    };
    for (const Case& c : {Case{"off", 0}, Case{"", 0}, Case{"main", 3}, Case{"in.3.post", 3}}) {
        SpectrumRig rig;
        const auto t0 = SpectrumAnalysis::Clock::time_point{};
        SpectrumAnalysis analysis(rig.inputs(), t0);
        rig.state->set_analyser_name(c.source);
        Captured out;
        std::vector<int> rta_at;
        for (int ms = 40; ms <= 400; ms += 40) {
            const std::vector<float> block(1920, 0.25f);
            rig.producer.push_some(block.data(), block.size());
            const std::size_t before = out.lines().size();
            analysis.pass(t0 + std::chrono::milliseconds(ms));
            const auto lines = out.lines();
            ASSERT_GE(lines.size(), before + 1);
            EXPECT_EQ(lines[before]["t"], "m");
            EXPECT_EQ(lines[before]["xruns"], 3u);
            EXPECT_EQ(lines[before]["out"].size(), 2u);
            if (lines.size() == before + 2) {
                const Json& rta = lines[before + 1];
                EXPECT_EQ(rta["t"], "rta");
                EXPECT_EQ(rta["src"], c.source);
                ASSERT_EQ(rta["b"].size(), kRtaBands);
                for (const auto& b : rta["b"]) {
                    EXPECT_EQ(b.get<double>(), std::round(b.get<double>()));
                    EXPECT_TRUE(b.is_number_float());
                }
                rta_at.push_back(ms);
            }
            // Drained on every pass, whether or not a spectrum was due.
            EXPECT_EQ(rig.producer.free_slots(), 48000u) << c.source;
        }
        EXPECT_EQ(rta_at.size(), c.spectra) << "'" << c.source << "'";
        for (std::size_t i = 1; i < rta_at.size(); ++i) EXPECT_GE(rta_at[i] - rta_at[i - 1], 100);
    }
}

TEST(SpectrumAnalysis, SpectrumFollowsTheAnalyserRing) {
    SpectrumRig rig;
    const auto t0 = SpectrumAnalysis::Clock::time_point{};
    SpectrumAnalysis analysis(rig.inputs(), t0);
    rig.state->set_analyser_name("main");
    // A full-scale sine on bin 85 (about 996 Hz) arrives while the analyser is off.
    rig.state->set_analyser_name("off");
    std::vector<float> tone(8192);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<float>(std::sin(2.0 * std::numbers::pi * 85.0 * i / 4096.0));
    rig.producer.push_some(tone.data(), tone.size());
    Captured out;
    analysis.pass(t0 + 40ms);
    rig.state->set_analyser_name("main");
    analysis.pass(t0 + 120ms);  // nothing new arrived: the history still holds the tone
    const auto lines = out.lines();
    ASSERT_EQ(lines.size(), 3u);
    const auto bins = rta_band_bins(48000.0f);
    for (std::size_t k = 0; k < kRtaBands; ++k) {
        if (bins[k].lo <= 85 && 85 <= bins[k].hi) {
            EXPECT_EQ(lines[2]["b"][k], 0.0) << k;
        }
    }
}

TEST(SpectrumThread, EndsAtOnceWhenStoppedBeforeItStarts) {
    SpectrumRig rig;
    rig.stop->store(true);
    Captured out;
    start_spectrum_thread(rig.inputs());
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(out.text, "");
}

TEST(SpectrumThread, SaysSoWhenItCannotRun) {
    for (int missing = 0; missing < 2; ++missing) {
        SpectrumRig rig;
        SpectrumThreadInputs in = rig.inputs();
        if (missing == 0) in.meters = nullptr;
        if (missing == 1) in.state = nullptr;
        Captured out;
        start_spectrum_thread(std::move(in));
        const auto lines = out.lines();
        ASSERT_EQ(lines.size(), 1u) << missing;
        EXPECT_EQ(lines[0]["t"], "warn");
        EXPECT_NE(lines[0]["text"].get<std::string>().find("meters have stopped"),
                  std::string::npos);
    }
}

// Meter lines wait for the mode's ready line, then come until the stop.
TEST(SpectrumThread, PrintsMeterLinesOnceReadyUntilStopped) {
    SpectrumRig rig;
    Captured out;
    start_spectrum_thread(rig.inputs());
    std::this_thread::sleep_for(200ms);  // five passes' time
    EXPECT_EQ(out.snapshot(), "");
    rig.state->ready.store(true);
    // Wait (generously) for two lines rather than for a time.
    for (int i = 0; i < 500 && Captured::parse(out.snapshot()).size() < 2; ++i)
        std::this_thread::sleep_for(10ms);
    // Then stop, and wait until the output stays still.
    rig.stop->store(true);
    std::string last;
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(50ms);
        const std::string now = out.snapshot();
        if (now == last) break;
        last = now;
    }
    capture_output_for_tests(nullptr);
    const auto lines = out.lines();
    ASSERT_GE(lines.size(), 2u);
    for (const auto& l : lines) EXPECT_EQ(l["t"], "m");
}

}  // namespace
}  // namespace mixengine
