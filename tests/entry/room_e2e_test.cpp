// The practice room end to end in the simulation: a vocal microphone pushed past its gain before
// feedback rings at the frequency the "room" line names, the suppressor in live mode finds that
// howl and notches it, and the next "room" lines show the gain won back. Every wait is for a line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/json_lines.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace testing;

constexpr auto kRingWait = 30s;  // generous: sanitizer builds on a shared machine
// The detector's bin width: 4096-point frames at 48 kHz.
constexpr double kResolutionHz = 48000.0 / 4096.0;
// How far past unity the microphone is pushed: clear of the line's 0.1 dB rounding, and less than
// the suppressor's first cut, so that one notch at the right frequency ends the ringing.
constexpr double kPushDb = 3.0;

// The "rta" band (32 a decade from 20 Hz) that holds f.
int rta_band(double f) {
    return static_cast<int>(std::floor(32.0 * std::log10(f / 20.0)));
}

// Whether main's spectrum shows one tone near f: its loudest band is f's (or a neighbour, which
// shares border bins) and stands at least 20 dB above the median band.
bool rings_at(const json& rta, double f) {
    if (!rta.contains("b") || !rta["b"].is_array() || rta["b"].size() != 96) return false;
    std::vector<double> b = rta["b"].get<std::vector<double>>();
    const auto loudest = std::max_element(b.begin(), b.end());
    const int at = static_cast<int>(loudest - b.begin());
    const double peak = *loudest;
    std::nth_element(b.begin(), b.begin() + 48, b.end());
    return std::abs(at - rta_band(f)) <= 1 && peak >= b[48] + 20.0;
}

TEST(PracticeRoom, ALiveSuppressorNotchesTheFrequencyTheRoomRingsAt) {
    ChildProcess p(MIXENGINE_BINARY, {"--sim", "--inputs", "8", "--outputs", "2"});
    ASSERT_TRUE(p.started());
    expect_of_kind(p, "ready", kRingWait);
    // A vocal microphone with a presence boost on the simulation's room-noise input (a steady,
    // broadband programme), the only strip to reach main; main left comes back to it from 4 m.
    // The seed puts the first in-phase frequency well clear of the next one, as a ring-out
    // usually finds it: one frequency rings first.
    p.write_line(R"({"t":"patch","ins":[7],"outs":["main.l","main.r"]})");
    p.write_line(R"({"t":"strip","i":0,"s":{"eq":[{"f":2500,"g":6,"q":2}]}})");
    p.write_line(R"({"t":"room","paths":[{"from":"main.l","ch":7,"m":4,"db":-30,"seed":60}]})");
    p.write_line(R"({"t":"fba","target":"main","cfg":{"on":true}})");
    p.write_line(R"({"t":"rta","src":"main"})");
    const json quiet = expect_of_kind(p, "room", kRingWait);
    ASSERT_TRUE(quiet.contains("ring_db")) << quiet.dump();
    const double margin_db = -quiet["ring_db"].get<double>();
    ASSERT_GT(margin_db, 10.0) << "the room must not ring before the push";

    // A flat push lifts the whole loop alike, so it rings first where the quiet room comes
    // closest to ringing.
    const double ring_hz = quiet["ring_hz"].get<double>();
    std::vector<json> notches;
    std::optional<json> ringing;  // the first "room" line past unity
    std::optional<std::chrono::steady_clock::time_point> notched_at;
    const auto note_lines = [&](const json& j) {
        if (j.value("t", "") == "room" && !ringing && j.value("ring_db", -120.0) > 0.0) ringing = j;
        if (j.value("t", "") != "fba.notch") return;
        notches.push_back(j);
        if (!notched_at) notched_at = std::chrono::steady_clock::now();
    };
    const auto pushed_at = std::chrono::steady_clock::now();
    p.write_line(
        json{{"t", "strip"},
             {"i", 0},
             {"s", {{"gain_db", margin_db + kPushDb}, {"eq", {{{"f", 2500}, {"g", 6}, {"q", 2}}}}}}}
            .dump());

    // The output rings there: main's spectrum shows one tone in that band (the analyser holds a
    // level for a while, so the ring is still shown if the notch has already come).
    const json shown = expect_of_kind(
        p, "rta", kRingWait, [&](const json& j) { return rings_at(j, ring_hz); }, note_lines);
    EXPECT_FALSE(shown.is_null()) << "main never rang at " << ring_hz << " Hz";

    // The first notch is the ringing frequency, within a bin, at the first cut.
    if (notches.empty()) expect_of_kind(p, "fba.notch", kRingWait, any_line, note_lines);
    ASSERT_FALSE(notches.empty()) << "the suppressor found nothing; the room rang at " << ring_hz;
    const json& first = notches.front();
    EXPECT_EQ(first["target"], "main");
    EXPECT_NEAR(first["f"].get<double>(), ring_hz, kResolutionHz) << first.dump();
    EXPECT_EQ(first["g"].get<double>(), -6.0) << first.dump();
    RecordProperty("ring_hz", std::to_string(ring_hz));
    RecordProperty("notch_hz", first["f"].dump());
    RecordProperty("push_to_notch_ms",
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      *notched_at - pushed_at)
                                      .count()));

    // The reporter shows the push, unless the notch was in the loop before its next computation
    // (under a sanitizer one computation can take long enough for the suppressor to act first).
    if (ringing) {
        EXPECT_NEAR((*ringing)["ring_db"].get<double>(), kPushDb, 0.3) << ringing->dump();
        EXPECT_NEAR((*ringing)["ring_hz"].get<double>(), ring_hz, kResolutionHz) << ringing->dump();
    }

    // With the notch in the loop the push is won back: nothing is above unity any more, and the
    // frequency that would ring first is another one.
    const json after = expect_of_kind(p, "room", kRingWait,
                                      [&](const json& j) { return j.value("ring_db", 0.0) < 0.0; });
    ASSERT_FALSE(after.is_null()) << "the margin never came back after the notch at " << ring_hz;
    EXPECT_GT(std::abs(after["ring_hz"].get<double>() - ring_hz), kResolutionHz) << after.dump();
    if (ringing) RecordProperty("ring_db_before", (*ringing)["ring_db"].dump());
    RecordProperty("after", after.dump());

    p.write_line(R"({"t":"quit"})");
    EXPECT_EQ(p.wait(kRingWait), 0);
    EXPECT_EQ(p.stderr_text(), "");
}

}  // namespace
}  // namespace mixengine
