// Feedback suppression end to end in the simulation: a practice howl on main is found, notched
// and dies away; on mono, "suggest" lists the howl, a cut takes it over and a reset clears both
// lists. Every wait is for a line, never for a time.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "support/json_lines.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace testing;

// Collects every "fba.detect" and "fba.notch" line read on the way.
testing::LineSeen howl_events(std::vector<json>& events) {
    return [&events](const json& j) {
        const std::string kind = j.value("t", "");
        if (kind == "fba.detect" || kind == "fba.notch") events.push_back(j);
    };
}

constexpr auto kHowlWait = 20s;  // generous: sanitizer builds on a shared machine

TEST(FeedbackSuppression, APracticeHowlOnMainIsFoundNotchedAndDiesAway) {
    ChildProcess p(MIXENGINE_BINARY, {"--sim"});
    ASSERT_TRUE(p.started());
    expect_of_kind(p, "ready", kHowlWait);
    // Nothing but the howl reaches main.
    p.write_line(R"({"t":"patch","ins":[]})");
    p.write_line(R"({"t":"fba","target":"main","cfg":{"on":true}})");
    expect_of_kind(p, "fba", kHowlWait,
                   [](const json& j) { return j["target"] == "main" && j["on"] == true; });
    p.write_line(R"({"t":"fba.howl","target":"main"})");

    std::vector<json> events;
    const json state = expect_of_kind(
        p, "fba", kHowlWait, [](const json& j) { return !j["notches"].empty(); },
        howl_events(events));
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0]["t"], "fba.detect");
    EXPECT_EQ(events[0]["target"], "main");
    const double f = events[0]["f"].get<double>();
    EXPECT_NEAR(f, 630.0, 2.0);
    EXPECT_EQ(f, std::round(f));
    EXPECT_EQ(events[1], (json{{"t", "fba.notch"}, {"target", "main"}, {"f", f}, {"g", -6.0}}));
    // A suppressor starved for a third of a second finds the howl twice in one pass and deepens
    // the notch before it prints the state; normally the state shows the first cut.
    const double depth = events.back()["g"].get<double>();
    EXPECT_EQ(state, (json{{"t", "fba"},
                           {"target", "main"},
                           {"on", true},
                           {"mode", "live"},
                           {"notches", json::array({json::array({f, depth, false})})},
                           {"suggest", json::array()}}));

    // The notch cuts at least 6 dB at the howl, so it decays to nothing.
    expect_of_kind(
        p, "m", kHowlWait, [](const json& m) { return m["main"][0] == 0.0 && m["main"][1] == 0.0; },
        howl_events(events));
    for (const json& e : events) EXPECT_EQ(e["f"], f) << "only the howl is ever reported";

    // "suggest" lists the howl on mono without a notch; a cut there takes the suggestion over.
    p.write_line(R"({"t":"fba","target":"mono","cfg":{"on":true,"mode":"suggest"}})");
    p.write_line(R"({"t":"fba.howl","target":"mono"})");
    const json suggested = expect_of_kind(p, "fba", kHowlWait, [](const json& j) {
        return j["target"] == "mono" && !j["suggest"].empty();
    });
    EXPECT_EQ(suggested["notches"], json::array());
    ASSERT_EQ(suggested["suggest"].size(), 1u);
    EXPECT_NEAR(suggested["suggest"][0].get<double>(), 1250.0, 2.0);

    p.write_line(R"({"t":"fba.cut","target":"mono","f":1250})");
    const json cut = expect_of_kind(p, "fba", kHowlWait, [](const json& j) {
        return j["target"] == "mono" && !j["notches"].empty();
    });
    EXPECT_EQ(cut["notches"], json::parse("[[1250.0,-6.0,true]]"));
    EXPECT_EQ(cut["suggest"], json::array());

    p.write_line(R"({"t":"fba.reset","target":"mono"})");
    const json reset = expect_of_kind(p, "fba", kHowlWait, [](const json& j) {
        return j["target"] == "mono" && j["notches"].empty();
    });
    EXPECT_EQ(reset["suggest"], json::array());

    p.write_line(R"({"t":"quit"})");
    EXPECT_EQ(p.wait(kHowlWait), 0);
    EXPECT_EQ(p.stderr_text(), "");
}

}  // namespace
}  // namespace mixengine
