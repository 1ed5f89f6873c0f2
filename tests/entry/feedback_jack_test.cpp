// The feedback suppressor in the live mode, on a private JACK dummy server: the dummy inputs are
// silent, so a practice howl is all main carries, and it is found and notched.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "audio/jack_test_server.h"
#include "support/child_process.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::ChildProcess;
using testing::JackTestServer;

TEST(LiveFeedbackSuppression, APracticeHowlOnMainIsFoundAndNotched) {
    JackTestServer server;
    ASSERT_TRUE(server.wait_ready()) << "jackd did not start";
    ChildProcess p(MIXENGINE_BINARY, {"--in", "system", "--out", "system", "--buffer", "256"},
                   {server.env()});
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
