// The meter bridge seen from the front end: the simulation engine's "m" and "rta" lines. Every
// wait is for a line with a property, bounded by a generous deadline, never for a time.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "control/telemetry.h"
#include "support/json_lines.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using namespace testing;

constexpr auto kMeterPatience = 10s;

bool is_whole(const Json& v) {
    return v.is_number() && v.get<double>() == std::round(v.get<double>());
}

TEST(MetersEndToEnd, SimulationReportsMetersLoudnessAndSpectra) {
    ChildProcess child(MIXENGINE_BINARY, {"--sim", "--outputs", "6"});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.read_until("\"t\":\"ready\"", kMeterPatience));

    // Meter lines with every array at its length; no loudness source yet.
    for (int i = 0; i < 3; ++i) {
        const auto m = next_of_kind(child, "m", kMeterPatience, [](const Json&) { return true; });
        ASSERT_TRUE(m);
        for (const char* k : {"in", "gate", "dyn", "amix"}) EXPECT_EQ((*m)[k].size(), 32u) << k;
        for (const char* k : {"bus", "busGR"}) EXPECT_EQ((*m)[k].size(), 8u) << k;
        EXPECT_EQ((*m)["main"].size(), 2u);
        EXPECT_EQ((*m)["out"].size(), 6u);
        EXPECT_TRUE((*m)["mainGR"].is_number());
        EXPECT_EQ((*m)["xruns"], 0u);
        EXPECT_TRUE((*m)["loud"].is_null());
    }

    // Loudness of main: a triple arrives, then a programme long enough to be integrated.
    child.write_line(R"({"t":"loud","src":"main"})");
    const auto measured = next_of_kind(child, "m", kMeterPatience, [](const Json& m) {
        return m["loud"].is_array() && m["loud"].size() == 3 && m["loud"][2].get<double>() > -120.0;
    });
    ASSERT_TRUE(measured) << "no integrated loudness from the test signals";
    for (const auto& v : (*measured)["loud"]) {
        const double tenths = v.get<double>() * 10.0;
        EXPECT_NEAR(tenths, std::round(tenths), 1e-6) << "rounded to 0.1 LU";
    }

    // A reset empties the programme: null, or a fresh triple whose integrated value waits for
    // four new blocks.
    child.write_line(R"({"t":"loud.reset"})");
    EXPECT_TRUE(next_of_kind(child, "m", kMeterPatience, [](const Json& m) {
        return m["loud"].is_null() || m["loud"][2].get<double>() == -120.0;
    }));

    // Spectra of main: 96 whole-decibel bands. How many 40 ms passes separate two spectra depends
    // on how late the thread wakes (the 100 ms spacing is pinned down on a driven clock), but
    // every pass prints its meter line before its spectrum.
    child.write_line(R"({"t":"rta","src":"main"})");
    int spectra = 0, meters_since = -1;
    const auto deadline = std::chrono::steady_clock::now() + kMeterPatience;
    while (spectra < 4 && std::chrono::steady_clock::now() < deadline) {
        const auto line = child.read_line(kMeterPatience);
        ASSERT_TRUE(line);
        const Json msg = Json::parse(*line);
        if (msg["t"] == "m") {
            if (meters_since >= 0) ++meters_since;
        } else if (msg["t"] == "rta") {
            EXPECT_EQ(msg["src"], "main");
            ASSERT_EQ(msg["b"].size(), 96u);
            for (const auto& b : msg["b"]) EXPECT_TRUE(is_whole(b)) << b;
            if (meters_since >= 0) {
                EXPECT_GE(meters_since, 1);
            }
            meters_since = 0;
            ++spectra;
        }
    }
    EXPECT_EQ(spectra, 4);

    child.write_line(R"({"t":"quit"})");
    EXPECT_EQ(child.wait(5s), 0);
    EXPECT_EQ(child.stderr_text(), "");
}

}  // namespace
}  // namespace mixengine
