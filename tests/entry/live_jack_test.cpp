// The live mode on a private JACK dummy server: start-up, the ready line, stopping on "quit" or
// at the end of input, the start-up errors, the server dying under a running engine, and the
// feedback suppressor (the dummy inputs are silent, so a practice howl is all main carries, and
// it is found and notched). Standard error stays empty throughout.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>

#include "support/jack_engine.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace testing;

class LiveMode : public JackEngineTest {};

TEST_F(LiveMode, AnnouncesReadyAndRunsUntilQuit) {
    auto p = start({"--in", "SYSTEM", "--out", "sys", "--buffer", "256"});
    const auto ready = p.read_until("\"t\":\"ready\"", 20s);
    ASSERT_TRUE(ready) << p.stderr_text();
    EXPECT_EQ(json::parse(*ready), json::parse(R"({"buffer":256,"in_name":"system","inputs":16,
        "latency_ms":16.0,"mode":"device","out_name":"system","outputs":8,"rate":48000,
        "t":"ready"})"));
    EXPECT_NE(ready->find("\"latency_ms\":16.0"), std::string::npos);

    // The meter line follows within its 40 ms period, one peak per device output.
    const auto meters = p.read_until("\"t\":\"m\"", 20s);
    ASSERT_TRUE(meters);
    const json m = json::parse(*meters);
    EXPECT_EQ(m["out"].size(), 8u);
    EXPECT_TRUE(m["xruns"].is_number_unsigned());

    p.write_line(R"({"t":"quit"})");
    EXPECT_EQ(p.wait(10s), 0);
    EXPECT_EQ(p.stderr_text(), "");
}

TEST_F(LiveMode, EndOfInputStopsLikeQuitAndNoBufferMeansNoLatency) {
    auto p = start({"--in", "system", "--out", "system"});
    const auto ready = p.read_until("\"t\":\"ready\"", 20s);
    ASSERT_TRUE(ready) << p.stderr_text();
    const json r = json::parse(*ready);
    EXPECT_EQ(r["buffer"], 0);
    EXPECT_EQ(r["latency_ms"], 0.0);
    EXPECT_EQ(r["rate"], 48000);

    p.close_stdin();
    EXPECT_EQ(p.wait(10s), 0);
    EXPECT_EQ(p.stderr_text(), "");
}

TEST_F(LiveMode, StartUpFailuresAreOneErrorLineAndStatus1) {
    const struct {
        std::vector<std::string> args;
        std::string text_prefix;
    } cases[] = {
        {{"--in", "Stage Box", "--out", "system"},
         "Audio input \"Stage Box\" not found. Is the stage box plugged in and switched on?"},
        {{"--in", "system", "--out", "Main PA"}, "Audio output \"Main PA\" not found."},
        // JACK runs at its own rate: a stream at another one cannot open.
        {{"--in", "system", "--out", "system", "--rate", "96000"}, "Cannot open the input: "},
        {{"--in", "system", "--out", "system", "--buffer", "512"}, "Cannot open the input: "},
    };
    for (const auto& c : cases) {
        auto p = start(c.args);
        const auto error = p.read_until("\"t\":\"error\"", 20s);
        ASSERT_TRUE(error) << c.text_prefix;
        const std::string text = json::parse(*error)["text"];
        EXPECT_EQ(text.rfind(c.text_prefix, 0), 0u) << text;
        if (c.text_prefix.back() == '.') {
            EXPECT_EQ(text, c.text_prefix);
        }
        EXPECT_EQ(p.wait(10s), 1);
        EXPECT_EQ(p.rest_of_output().find("\"ready\""), std::string::npos);
        EXPECT_EQ(p.stderr_text(), "");
    }
}

// The server going away is a warning in the mode's own words; the process stays up, and "quit"
// still ends it cleanly (a recording keeps what it got).
TEST(ServerKilled, IsAWarningAndQuitStillEndsCleanly) {
    const auto take =
        std::filesystem::temp_directory_path() / ("mixengine-killed-" + std::to_string(getpid()));
    const struct {
        std::vector<std::string> args;
        std::string warn_prefix;
        std::string quit;
    } cases[] = {
        {{"--in", "system", "--out", "system", "--buffer", "256"}, "Audio: ", R"({"t":"quit"})"},
        {{"--record", "system", "--dir", take.string(), "--channels", "2"}, "Recording: ", "quit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.warn_prefix);
        JackTestServer server;
        ASSERT_TRUE(server.wait_ready()) << "jackd did not start";
        ChildProcess p(MIXENGINE_BINARY, c.args, {server.env()});
        ASSERT_TRUE(p.read_until("\"t\":\"ready\"", 20s)) << p.stderr_text();
        std::this_thread::sleep_for(300ms);

        server.kill_now();
        const auto warn = p.read_until("\"t\":\"warn\"", 10s);
        ASSERT_TRUE(warn) << p.stderr_text();
        const std::string text = json::parse(*warn)["text"];
        EXPECT_EQ(text.rfind(c.warn_prefix, 0), 0u) << text;

        p.write_line(c.quit);
        EXPECT_EQ(p.wait(10s), 0);
        EXPECT_EQ(p.stderr_text(), "");
    }
    EXPECT_TRUE(std::filesystem::exists(take / "ch01.wav"));
    std::filesystem::remove_all(take);
}

class LiveFeedbackSuppression : public JackEngineTest {};

TEST_F(LiveFeedbackSuppression, APracticeHowlOnMainIsFoundAndNotched) {
    auto p = start({"--in", "system", "--out", "system", "--buffer", "256"});
    ASSERT_TRUE(p.read_until("\"t\":\"ready\"", 20s)) << p.stderr_text();

    p.write_line(R"({"t":"fba","target":"main","cfg":{"on":true}})");
    p.write_line(R"({"t":"fba.howl","target":"main"})");
    const auto detect = p.read_until("\"t\":\"fba.detect\"", 20s);
    ASSERT_TRUE(detect);
    const double f = json::parse(*detect)["f"].get<double>();
    EXPECT_NEAR(f, 630.0, 2.0);
    const auto notch = p.read_until("\"t\":\"fba.notch\"", 20s);
    ASSERT_TRUE(notch);
    EXPECT_EQ(json::parse(*notch),
              (json{{"t", "fba.notch"}, {"target", "main"}, {"f", f}, {"g", -6.0}}));
    const auto state = p.read_until("\"notches\":[[", 20s);
    ASSERT_TRUE(state);
    EXPECT_EQ(json::parse(*state)["notches"][0][0], f);

    p.write_line(R"({"t":"quit"})");
    EXPECT_EQ(p.wait(10s), 0);
    EXPECT_EQ(p.stderr_text(), "");
}

}  // namespace
}  // namespace mixengine
