#include "suppression/feedback_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "control/telemetry.h"
#include "support/fed_worker_rig.h"

namespace mixengine {
namespace {

constexpr float kThreadRate = 48000.0f;
constexpr std::size_t kThreadFrame = FeedbackDetector::kFrame;
constexpr std::size_t kThreadHop = FeedbackDetector::kHop;

// A suppressor with its channel, feed rings and update ring, and its printed lines captured.
class Rig {
  public:
    Rig() { capture_output_for_tests(&text_); }
    ~Rig() { capture_output_for_tests(nullptr); }

    void command(FbaCommand c) { fed_.links.commands.send(std::move(c)); }
    void configure(std::size_t output, FbaCfg cfg) {
        command(fba::Configure{output, std::move(cfg)});
    }

    // Pushes `samples` of a sine at `hz` (-20 dBFS) into an output's feed, continuing its phase.
    void tone(std::size_t output, double hz, std::size_t samples) {
        for (std::size_t k = 0; k < samples; ++k, ++n_[output]) {
            const double x =
                0.1 * std::sin(2.0 * std::numbers::pi * hz * double(n_[output]) / kThreadRate);
            ASSERT_TRUE(fed_.links.feeds[output].push(static_cast<float>(x)));
        }
    }
    // Exactly `frames` more analysis frames of a tone.
    void frames_of(std::size_t output, double hz, std::size_t frames) {
        const std::size_t first = n_[output] == 0 ? kThreadFrame - kThreadHop : 0;
        tone(output, hz, first + frames * kThreadHop);
    }

    void pass(double now) { fed_.worker->pass(now); }

    // The lines printed since the last call.
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        std::istringstream in(text_);
        for (std::string l; std::getline(in, l);) out.push_back(l);
        text_.clear();
        return out;
    }
    std::vector<Json> messages() {
        std::vector<Json> out;
        for (const std::string& l : lines()) out.push_back(Json::parse(l));
        return out;
    }
    std::vector<std::string> kinds() {
        std::vector<std::string> out;
        for (const Json& m : messages()) out.push_back(m["t"].get<std::string>());
        return out;
    }

    // The updates sent since the last call, as short texts.
    std::vector<std::string> updates() {
        std::vector<std::string> out;
        EngineUpdate u;
        char text[80];
        while (fed_.updates.pop(u)) {
            if (const auto* s = std::get_if<update::FeedSwitch>(&u)) {
                std::snprintf(text, sizeof text, "feed %zu %s", s->output, s->on ? "on" : "off");
            } else if (const auto* s = std::get_if<update::SetNotch>(&u)) {
                std::snprintf(text, sizeof text, "set %zu %.0f %.1f", s->output, s->freq_hz,
                              s->depth_db);
            } else if (const auto* s = std::get_if<update::RemoveNotch>(&u)) {
                std::snprintf(text, sizeof text, "remove %zu %.0f", s->output, s->freq_hz);
            } else if (const auto* s = std::get_if<update::ClearNotches>(&u)) {
                std::snprintf(text, sizeof text, "clear %zu", s->output);
            } else if (const auto* s = std::get_if<update::StartHowl>(&u)) {
                std::snprintf(text, sizeof text, "howl %zu %.0f", s->output, s->freq_hz);
            } else {
                std::snprintf(text, sizeof text, "other");
            }
            out.push_back(text);
        }
        return out;
    }

    std::size_t unread(std::size_t output) const {
        const RingProducer<float>& feed = fed_.links.feeds[output];
        return feed.capacity() - feed.free_slots();
    }
    const FeedbackSuppressor& suppressor() const { return *fed_.worker; }

  private:
    std::string text_;
    testing::FedWorkerRig<FeedbackSuppressor> fed_{kThreadRate};
    std::size_t n_[kOutputsWatched] = {};
};

FbaCfg on(const char* mode = "live") {
    FbaCfg cfg;
    cfg.on = true;
    cfg.mode = mode;
    return cfg;
}

using Texts = std::vector<std::string>;

TEST(FeedbackSuppressor, OutputsSwitchedOffAreDrainedSilently) {
    Rig rig;
    for (std::size_t i = 0; i < kOutputsWatched; ++i) rig.frames_of(i, 1000.0, 20);
    rig.pass(0.5);
    rig.pass(2.5);  // a release pass too
    for (std::size_t i = 0; i < kOutputsWatched; ++i) EXPECT_EQ(rig.unread(i), 0u) << i;
    EXPECT_EQ(rig.lines(), Texts{});
    EXPECT_EQ(rig.updates(), Texts{});
}

TEST(FeedbackSuppressor, AHowlIsReportedNotchedAndShownInTheState) {
    Rig rig;
    rig.configure(0, on());
    rig.pass(0.0);
    EXPECT_EQ(
        rig.lines(),
        Texts{R"({"mode":"live","notches":[],"on":true,"suggest":[],"t":"fba","target":"main"})"});
    EXPECT_EQ(rig.updates(), Texts{"feed 0 on"});

    // Seven frames: not yet.
    rig.frames_of(0, 1000.0, 7);
    rig.pass(0.1);
    EXPECT_EQ(rig.lines(), Texts{});
    // The eighth.
    rig.frames_of(0, 1000.0, 1);
    rig.pass(0.2);
    EXPECT_EQ(
        rig.lines(),
        (Texts{
            R"({"f":1000.0,"t":"fba.detect","target":"main"})",
            R"({"f":1000.0,"g":-6.0,"t":"fba.notch","target":"main"})",
            R"({"mode":"live","notches":[[1000.0,-6.0,false]],"on":true,"suggest":[],"t":"fba","target":"main"})"}));
    EXPECT_EQ(rig.updates(), Texts{"set 0 1000 -6.0"});

    // Sixteen frames in one pass on bus 3 (index 4): two reports, one state line at the end.
    rig.configure(4, on());
    rig.frames_of(4, 2500.0, 16);
    rig.pass(0.3);
    const std::vector<Json> m = rig.messages();
    ASSERT_EQ(m.size(), 6u);
    EXPECT_EQ(m[0]["t"], "fba");  // the Configure
    EXPECT_EQ(m[1], Json::parse(R"({"f":2500.0,"t":"fba.detect","target":"bus.3"})"));
    EXPECT_EQ(m[2], Json::parse(R"({"f":2500.0,"g":-6.0,"t":"fba.notch","target":"bus.3"})"));
    EXPECT_EQ(m[3]["t"], "fba.detect");
    EXPECT_EQ(m[4], Json::parse(R"({"f":2500.0,"g":-9.0,"t":"fba.notch","target":"bus.3"})"));
    EXPECT_EQ(m[5]["notches"], Json::parse("[[2500.0,-9.0,false]]"));
    EXPECT_EQ(rig.updates(), (Texts{"feed 4 on", "set 4 2500 -6.0", "set 4 2500 -9.0"}));
}

TEST(FeedbackSuppressor, SuggestModeListsFrequenciesAndCutsTakeThemOver) {
    Rig rig;
    rig.configure(1, on("suggest"));
    rig.frames_of(1, 1000.0, 8);
    rig.pass(0.0);
    rig.frames_of(1, 1000.0 * std::exp2(1.0 / 7), 9);  // within a whole tone: not listed again
    rig.pass(0.1);
    rig.frames_of(1, 1000.0 * std::exp2(1.0 / 5), 9);  // beyond: listed
    rig.pass(0.2);
    EXPECT_EQ(rig.kinds(),
              (Texts{"fba", "fba.detect", "fba", "fba.detect", "fba", "fba.detect", "fba"}));
    const auto& suggested = rig.suppressor().output(1).suggestions;
    ASSERT_EQ(suggested.size(), 2u);
    EXPECT_NEAR(suggested[1], 1148.7f, 1.0f);
    EXPECT_EQ(rig.updates(), Texts{"feed 1 on"}) << "suggestions place no notch";

    // A cut at 1250 Hz takes over the suggestion 0.12 octave away and leaves the one 0.32 away;
    // a reset then clears both.
    const struct {
        FbaCommand command;
        double now;
        const char* line;
        Texts updates;
    } steps[] = {
        {fba::Cut{1, 1250.0f},
         0.3,
         R"({"mode":"suggest","notches":[[1250.0,-6.0,true]],"on":true,"suggest":[1000.0],"t":"fba","target":"mono"})",
         {"set 1 1250 -6.0"}},
        {fba::Reset{1},
         0.4,
         R"({"mode":"suggest","notches":[],"on":true,"suggest":[],"t":"fba","target":"mono"})",
         {"clear 1"}},
    };
    for (const auto& step : steps) {
        rig.command(step.command);
        rig.pass(step.now);
        EXPECT_EQ(rig.lines(), Texts{step.line});
        EXPECT_EQ(rig.updates(), step.updates);
    }
}

TEST(FeedbackSuppressor, CutsAreFixedAndSilentEvenWhenTheBankIsFull) {
    Rig rig;
    FbaCfg cfg = on();
    cfg.max_notches = 2;
    rig.configure(2, cfg);
    for (const float f : {500.0f, 2000.0f, 8000.0f, 0.0f, -100.0f}) rig.command(fba::Cut{2, f});
    rig.pass(0.0);
    // The third cut finds the bank full; cuts at no real frequency are ignored.
    EXPECT_EQ(rig.kinds(), (Texts{"fba", "fba", "fba", "fba"}));
    EXPECT_EQ(rig.updates(), (Texts{"feed 2 on", "set 2 500 -6.0", "set 2 2000 -6.0"}));
    EXPECT_EQ(rig.suppressor().output(2).bank.notches().size(), 2u);
}

TEST(FeedbackSuppressor, AFullBankEvictsInLiveModeAndWarnsWhenNothingMayGo) {
    const struct {
        const char* name;
        bool first_is_cut;
        Texts kinds;
        Texts updates;
    } cases[] = {
        {"live evicts the oldest",
         false,
         {"fba.detect", "fba.notch", "fba"},
         {"remove 0 1000", "set 0 2700 -6.0"}},
        {"only a fixed notch", true, {"fba.detect", "warn", "fba"}, {}},
    };
    for (const auto& c : cases) {
        Rig rig;
        FbaCfg cfg = on();
        cfg.max_notches = 1;
        rig.configure(0, cfg);
        if (c.first_is_cut) {
            rig.command(fba::Cut{0, 1000.0f});
        } else {
            rig.frames_of(0, 1000.0, 8);
        }
        rig.pass(0.0);
        rig.lines();
        rig.updates();
        rig.frames_of(0, 2700.0, 9);
        rig.pass(0.1);
        const std::vector<Json> m = rig.messages();
        Texts kinds;
        for (const Json& j : m) kinds.push_back(j["t"]);
        EXPECT_EQ(kinds, c.kinds) << c.name;
        EXPECT_EQ(rig.updates(), c.updates) << c.name;
        if (c.first_is_cut) {
            EXPECT_EQ(m[1]["text"],
                      "FBA on main: every notch is in use or at its deepest. Turn "
                      "that output down a little.");
        }
    }
}

TEST(FeedbackSuppressor, ReleasePassesComeEveryTwoSecondsForLiveOutputsThatAreOn) {
    const struct {
        const char* name;
        const char* mode;
        bool stays_on;
        bool releases;
    } cases[] = {
        {"live", "live", true, true},
        {"switched off", "live", false, false},
        {"turned fixed", "fixed", true, false},
        {"turned suggest", "suggest", true, false},
    };
    for (const auto& c : cases) {
        Rig rig;
        FbaCfg cfg = on();
        cfg.hold_s = 0.0f;
        rig.configure(0, cfg);
        rig.frames_of(0, 1000.0, 8);
        rig.pass(1.0);  // placed at -6 dB
        cfg.mode = c.mode;
        cfg.on = c.stays_on;
        rig.configure(0, cfg);
        rig.pass(1.5);
        rig.lines();
        rig.updates();

        Texts got;
        for (const double now : {1.75, 2.0, 3.75, 4.25, 6.0, 6.25}) {
            rig.pass(now);
            for (const std::string& u : rig.updates()) got.push_back(std::to_string(now) + " " + u);
        }
        const Texts expected = c.releases
                                   ? Texts{"2.000000 set 0 1000 -5.0", "4.250000 set 0 1000 -4.0",
                                           "6.250000 set 0 1000 -3.0"}
                                   : Texts{};
        EXPECT_EQ(got, expected) << c.name;
        EXPECT_EQ(rig.lines().size(), expected.size()) << c.name << ": one state line per change";
        EXPECT_FALSE(rig.suppressor().output(0).bank.notches()[0].fixed) << c.name;
    }
}

TEST(FeedbackSuppressor, HowlsStartAtTheGivenOrTheOutputsDefaultFrequency) {
    const struct {
        std::size_t output;
        float f;
        std::string update;
    } cases[] = {
        {0, 0.0f, "howl 0 630"},  {1, 0.0f, "howl 1 1250"}, {2, 0.0f, "howl 2 2500"},
        {3, 0.0f, "howl 3 3150"}, {4, 0.0f, "howl 4 800"},  {4, -5.0f, "howl 4 800"},
        {5, 0.0f, "howl 5 630"},  {9, 0.0f, "howl 9 800"},  {6, 440.0f, "howl 6 440"},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.command(fba::Howl{c.output, c.f});
        rig.pass(0.0);
        EXPECT_EQ(rig.updates(), Texts{c.update});
        EXPECT_EQ(rig.lines(), Texts{}) << "a howl is announced by nothing but itself";
    }
}

TEST(FeedbackSuppressor, OutputIndicesFrom10AreIgnored) {
    Rig rig;
    rig.command(fba::Configure{10, on()});
    rig.command(fba::Cut{11, 1000.0f});
    rig.command(fba::Reset{99});
    rig.command(fba::Howl{10, 0.0f});
    rig.pass(0.0);
    EXPECT_EQ(rig.lines(), Texts{});
    EXPECT_EQ(rig.updates(), Texts{});
}

TEST(FeedbackSuppressor, OutputNames) {
    const char* names[] = {"main",  "mono",  "bus.1", "bus.2", "bus.3",
                           "bus.4", "bus.5", "bus.6", "bus.7", "bus.8"};
    for (std::size_t i = 0; i < kOutputsWatched; ++i) EXPECT_EQ(fba_output_name(i), names[i]);
}

TEST(FeedbackSuppressor, ThreadStartsDrainsAndStops) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto [updates, consumer] = make_update_ring();
    auto links = start_fed_thread<FeedbackSuppressor>(updates, stop, kThreadRate);
    ASSERT_EQ(links.feeds.size(), kOutputsWatched);
    links.commands.send(fba::Howl{3, 0.0f});
    // The howl update arrives and the feeds are drained, whatever the thread's pace.
    EngineUpdate u;
    while (!consumer.pop(u)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(std::holds_alternative<update::StartHowl>(u));
    EXPECT_EQ(std::get<update::StartHowl>(u).freq_hz, 3150.0f);
    std::vector<float> block(60000, 0.5f);
    EXPECT_EQ(links.feeds[9].push_some(block.data(), block.size()), block.size());
    while (links.feeds[9].free_slots() < FeedbackSuppressor::kThread.samples)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop->store(true);
}

}  // namespace
}  // namespace mixengine
