// The simulation mode end to end: the real executable practising on a generated recording or on
// test signals, driven through a pipe. Assertions wait for the lines they need instead of
// counting on any thread's timing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <numbers>
#include <string>
#include <vector>

#include "multitrack/wav.h"
#include "support/json_lines.h"
#include "support/scratch_dir.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace testing;

constexpr auto kWait = 15s;  // generous: sanitizer builds on a shared machine

// A finished 24-bit recording: a sine at `hz`, `seconds` long.
void write_tone(const std::string& path, double hz, double seconds) {
    auto w = WavWriter::create(path, 48000);
    ASSERT_TRUE(w) << w.error();
    const auto frames = static_cast<int>(seconds * 48000);
    for (int i = 0; i < frames; ++i)
        ASSERT_TRUE(w->write_sample(
            static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * hz * i / 48000.0))));
    ASSERT_TRUE(w->finish(48000));
}

TEST(SimulationMode, PlaysSeeksAndPausesARecordingThenQuits) {
    ScratchDir dir;
    write_tone(dir.file("ch01.wav"), 440.0, 3.2);
    write_tone(dir.file("ch02.wav"), 660.0, 1.0);
    std::filesystem::create_directories(dir.file("ch03.wav"));  // not a file: skipped silently

    ChildProcess p(MIXENGINE_BINARY,
                   {"--sim", "--inputs", "4", "--outputs", "2", "--files", dir.path()});
    ASSERT_TRUE(p.started());
    const json ready = expect_of_kind(p, "ready", kWait);
    EXPECT_EQ(ready, json::parse(R"j({"buffer":256,"in_name":"Test signals","inputs":4,
        "latency_ms":10.666666984558105,"mode":"sim","out_name":"None (test mode)","outputs":2,
        "rate":48000.0,"t":"ready"})j"));

    const json files = expect_of_kind(p, "files", kWait);
    EXPECT_EQ(files["tracks"], 2);
    EXPECT_EQ(files["length"], 3);
    EXPECT_EQ(files["paused"], false);

    // The recording reaches the console: strip 1's input meter moves.
    expect_of_kind(p, "m", kWait, [](const json& m) { return m["in"][0].get<double>() > 0.1; });

    p.write_line(R"({"t":"files.pause","on":true})");
    expect_of_kind(p, "files", kWait, [](const json& f) { return f["paused"] == true; });
    const json held = expect_of_kind(p, "files", kWait);
    const json still = expect_of_kind(p, "files", kWait);
    EXPECT_EQ(held["paused"], true);
    EXPECT_EQ(still["secs"], held["secs"]) << "the position stands still while paused";

    p.write_line(R"({"t":"files.seek","s":2.7})");
    expect_of_kind(p, "files", kWait,
                   [](const json& f) { return f["secs"] == 2 && f["paused"] == true; });

    p.write_line(R"({"t":"files.pause","on":false})");
    expect_of_kind(p, "files", kWait, [](const json& f) { return f["paused"] == false; });

    p.write_line(R"({"t":"quit"})");
    EXPECT_EQ(p.wait(kWait), 0);
    EXPECT_EQ(p.stderr_text(), "");
}

TEST(SimulationMode, FallsBackToTestSignalsAndEndsWithItsInput) {
    ScratchDir empty;
    const struct {
        std::vector<std::string> args;
        bool warns;
        double rate;
    } cases[] = {
        {{"--sim", "--inputs", "8"}, false, 48000.0},
        {{"--sim", "--files", empty.path(), "--rate", "96000"}, true, 96000.0},
    };
    for (const auto& c : cases) {
        ChildProcess p(MIXENGINE_BINARY, c.args);
        ASSERT_TRUE(p.started());
        // The meter thread starts before the engine is built, so its lines may come first; the
        // warning, printed by the same thread as "ready", always comes before it.
        std::vector<std::string> warnings;
        json ready;
        while (const auto line = p.read_line(kWait)) {
            const json j = json::parse(*line, nullptr, false);
            ASSERT_TRUE(j.is_object()) << *line;
            if (j.value("t", "") == "warn") warnings.push_back(j.value("text", ""));
            if (j.value("t", "") == "ready") {
                ready = j;
                break;
            }
        }
        ASSERT_EQ(ready.value("t", ""), "ready");
        EXPECT_EQ(warnings, c.warns
                                ? std::vector<std::string>{"No recording found to practise with; "
                                                           "playing test signals."}
                                : std::vector<std::string>{});
        EXPECT_EQ(ready["rate"].get<double>(), c.rate);
        EXPECT_EQ(ready["latency_ms"].get<double>(),
                  static_cast<double>(256.0f / static_cast<float>(c.rate) * 2000.0f));

        // Test signals drive the meters; a simulation has no device to miss deadlines.
        const json m =
            expect_of_kind(p, "m", kWait, [](const json& m) { return m["in"][0] > 0.0; });
        EXPECT_EQ(m["xruns"], 0);

        p.close_stdin();  // the end of input stops the run like "quit"
        EXPECT_EQ(p.wait(kWait), 0);
        EXPECT_EQ(p.stderr_text(), "");
    }
}

}  // namespace
}  // namespace mixengine
