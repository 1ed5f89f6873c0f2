// Automatic equalisation seen from the front end: the simulation engine on its test signals with
// auto-EQ on a strip, a bus, main and mono. Every wait is for a line with a property, bounded by a
// generous deadline; how long the corrections take is pinned down in the analyzer's unit tests.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <string>

#include "control/telemetry.h"
#include "support/json_lines.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using namespace testing;

constexpr auto kPatience = 30s;  // sanitizer builds on a shared machine

// Total power of an analyser spectrum, in dB.
double spectrum_power_db(const Json& rta) {
    double sum = 0.0;
    for (const auto& b : rta["b"]) sum += std::pow(10.0, b.get<double>() / 10.0);
    return 10.0 * std::log10(sum);
}

// The spectrum of `src` once the analyser has looked at nothing else for a while.
std::optional<Json> settled_spectrum(ChildProcess& child, const std::string& src) {
    child.write_line(R"({"t":"rta","src":")" + src + "\"}");
    std::optional<Json> rta;
    for (int i = 0; i < 8; ++i) {
        rta = next_of_kind(
            child, "rta", kPatience, [&](const Json& j) { return j["src"] == src; },
            [](const Json&) {});
        if (!rta) return rta;
    }
    return rta;
}

TEST(AutoEqEndToEnd, TargetsCorrectTowardAFlatCurveAndReportSwitchingOffOnce) {
    ChildProcess child(MIXENGINE_BINARY, {"--sim"});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.read_until("\"t\":\"ready\"", kPatience));

    // Strip 6 plays the test signals' steady keys chord; it also feeds bus 1 and mono.
    const std::string aeq = R"("aeq":{"on":true,"curve":"flat"})";
    child.write_line(R"({"t":"strip","i":5,"s":{"mono":1.0,"sends":[{"lin":1.0}],)" + aeq + "}}");
    child.write_line(R"({"t":"bus","i":0,"s":{)" + aeq + "}}");
    child.write_line(R"({"t":"main","s":{)" + aeq + "}}");
    child.write_line(R"({"t":"mono","s":{)" + aeq + "}}");

    const std::set<std::string> targets = {"in.6", "bus.1", "main", "mono"};
    std::map<std::string, double> deepest;  // most negative gain reported per target
    auto check_on_line = [&](const Json& j) {
        if (j.value("t", "") != "aeq") return;
        const std::string id = j["id"];
        EXPECT_TRUE(targets.count(id)) << j.dump();
        EXPECT_EQ(j["on"], true) << j.dump();
        ASSERT_EQ(j["g"].size(), 31u) << j.dump();
        for (const auto& g : j["g"]) {
            EXPECT_LE(g.get<double>(), 0.0) << "the default \"max_boost\" is 0: " << j.dump();
            EXPECT_GE(g.get<double>(), -6.0) << "the default \"max_cut\" is 6: " << j.dump();
            deepest[id] = std::fmin(deepest.count(id) ? deepest[id] : 0.0, g.get<double>());
        }
    };
    // Every target reports, and the strip's correction goes deep enough to be seen.
    const auto settled = next_of_kind(
        child, "aeq", kPatience,
        [&](const Json&) { return deepest.size() == targets.size() && deepest["in.6"] <= -4.0; },
        check_on_line);
    ASSERT_TRUE(settled) << "corrections seen for " << deepest.size() << " targets";

    // The engine applies the strip's correction: after it (post) the keys are quieter than
    // before it (pre), where nothing else differs.
    const auto post = settled_spectrum(child, "in.6.post");
    ASSERT_TRUE(post);
    const auto pre = settled_spectrum(child, "in.6");
    ASSERT_TRUE(pre);
    EXPECT_GT(spectrum_power_db(*pre) - spectrum_power_db(*post), 1.5)
        << "pre " << pre->dump() << "\npost " << post->dump();

    // Switching off: one line each with "on" false and 31 zeros, and nothing more from them.
    const std::string off = R"("aeq":{"on":false})";
    child.write_line(R"({"t":"strip","i":5,"s":{"mono":1.0,"sends":[{"lin":1.0}],)" + off + "}}");
    child.write_line(R"({"t":"bus","i":0,"s":{)" + off + "}}");
    child.write_line(R"({"t":"main","s":{)" + off + "}}");
    child.write_line(R"({"t":"mono","s":{)" + off + "}}");
    std::map<std::string, int> offs;
    int meters_after = 0;
    auto count_off = [&](const Json& j) {
        if (j.value("t", "") == "m" && offs.size() == targets.size()) ++meters_after;
        if (j.value("t", "") != "aeq") return;
        const std::string id = j["id"];
        if (j["on"] == true) {
            EXPECT_EQ(offs.count(id), 0u) << "a correction after switching off: " << j.dump();
            return;
        }
        ++offs[id];
        ASSERT_EQ(j["g"].size(), 31u);
        for (const auto& g : j["g"]) EXPECT_EQ(g.get<double>(), 0.0) << j.dump();
    };
    // A second's worth of meter lines after the last of them gives the thread 50 passes to err.
    ASSERT_TRUE(next_of_kind(
        child, "m", kPatience, [&](const Json&) { return meters_after >= 25; }, count_off));
    for (const auto& id : targets) EXPECT_EQ(offs[id], 1) << id;

    child.write_line(R"({"t":"quit"})");
    EXPECT_EQ(child.wait(5s), 0);
    EXPECT_EQ(child.stderr_text(), "");
}

}  // namespace
}  // namespace mixengine
