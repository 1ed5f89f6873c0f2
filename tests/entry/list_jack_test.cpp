// The list mode on a private JACK dummy server.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "support/jack_test_server.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

TEST(ListMode, ShowsTheJackSystemDeviceAmongInputsAndOutputs) {
    testing::JackTestServer server;
    ASSERT_TRUE(server.wait_ready()) << "jackd did not start";

    testing::ChildProcess p(MIXENGINE_BINARY, {"--list"}, {server.env()});
    p.close_stdin();
    const auto line = p.read_line(20s);
    ASSERT_TRUE(line);
    EXPECT_EQ(p.wait(20s), 0);
    EXPECT_EQ(p.rest_of_output(), "");
    EXPECT_EQ(p.stderr_text(), "");

    const json list = json::parse(*line);
    EXPECT_EQ(list["t"], "devices");
    EXPECT_EQ(list["host"], "Jack");
    EXPECT_EQ(list["inputs"], json::parse(R"([{"channels":16,"format":"F32","name":"system",
                                                "rate":48000}])"));
    EXPECT_EQ(list["outputs"], json::parse(R"([{"channels":8,"format":"F32","name":"system",
                                                 "rate":48000}])"));
}

}  // namespace
}  // namespace mixengine
