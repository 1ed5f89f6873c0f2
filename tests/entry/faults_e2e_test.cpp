// The simulation under a misbehaving front end: a reader that goes away, a reader that stops
// reading for a while, and input that ends in the middle of a line. The engine must keep running,
// lose no command, write nothing to standard error and end with status 0.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "support/json_lines.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace testing;

constexpr auto kFaultWait = 15s;  // generous: sanitizer builds on a shared machine

// How long the stalled reader stops reading: 3 s by default, which already keeps the engine's
// writes blocked for nearly the whole stall; MIXENGINE_STALL_SECONDS=10 gives the full-length
// case.
std::chrono::seconds stall_time() {
    const char* s = std::getenv("MIXENGINE_STALL_SECONDS");
    const long n = s ? std::atol(s) : 0;
    return std::chrono::seconds(n > 0 ? n : 3);
}

bool main_is_silent(const json& m) {
    return m.contains("main") && m["main"][0] == 0.0 && m["main"][1] == 0.0;
}

TEST(Faults, ReaderGoneTheEngineRunsOnAndEndsCleanly) {
    for (const bool quit : {true, false}) {
        SCOPED_TRACE(quit ? "quit" : "end of input");
        ChildProcess p(MIXENGINE_BINARY, {"--sim", "--inputs", "4"});
        ASSERT_TRUE(p.read_until("\"ready\"", kFaultWait));
        p.close_stdout();
        // Meter lines now fail to be written; the engine must neither die of it nor stop.
        std::this_thread::sleep_for(300ms);
        for (int i = 0; i < 50; ++i) p.write_line(R"({"t":"rta","src":"main"})");
        std::this_thread::sleep_for(300ms);
        if (quit) p.write_line(R"({"t":"quit"})");
        p.close_stdin();
        EXPECT_EQ(p.wait(kFaultWait), 0);
        EXPECT_EQ(p.stderr_text(), "");
    }
}

TEST(Faults, StalledReaderLosesNoCommandAndMetersResume) {
    ChildProcess p(MIXENGINE_BINARY, {"--sim", "--inputs", "4", "--outputs", "2"});
    p.shrink_stdout_pipe(4096);
    ASSERT_TRUE(p.read_until("\"ready\"", kFaultWait));
    bool sounding = false;  // the first passes may come before the first block
    for (int i = 0; i < 200 && !sounding; ++i) {
        const auto m = next_of_kind(p, "m", kFaultWait);
        ASSERT_TRUE(m);
        sounding = !main_is_silent(*m);
    }
    ASSERT_TRUE(sounding) << "test signals reach main";

    // Stop reading. While the engine's output is blocked, 400 commands arrive; four of them,
    // spread among the rest, each mute one of the four strips. Losing any of those four would
    // leave signal on main.
    const auto stall_end = std::chrono::steady_clock::now() + stall_time();
    std::this_thread::sleep_for(500ms);  // long enough to fill the small pipe
    for (int k = 0; k < 400; ++k) {
        if (k % 100 == 50) {
            p.write_line(R"({"t":"strip","i":)" + std::to_string(k / 100) + R"(,"s":{"fader":0}})");
        } else if (k % 2 == 0) {
            p.write_line(R"({"t":"strip","i":)" + std::to_string(4 + k % 28) + R"(,"s":{}})");
        } else {
            p.write_line(R"({"t":"rta","src":"in.)" + std::to_string(1 + k % 4) + R"("})");
        }
    }
    std::this_thread::sleep_until(stall_end);

    // Reading again: meter lines flow, and once the faders have ramped down main is silent.
    bool silent = false;
    for (int i = 0; i < 200 && !silent; ++i) {
        const auto m = next_of_kind(p, "m", kFaultWait);
        ASSERT_TRUE(m) << "meter lines resume";
        silent = main_is_silent(*m);
    }
    EXPECT_TRUE(silent) << "every mute sent during the stall took effect";
    p.write_line(R"({"t":"quit"})");
    EXPECT_EQ(p.wait(kFaultWait), 0);
    EXPECT_EQ(p.stderr_text(), "");
}

TEST(Faults, InputEndingMidLineEndsTheEngineCleanly) {
    // Cut inside a command, inside a character, and right after an escape.
    for (const std::string tail : {R"({"t":"strip","i":0,"s":{"fader":)",
                                   "{\"t\":\"rta\",\"src\":\"\xe2\x82", R"({"t":"quit\)"}) {
        SCOPED_TRACE(tail);
        ChildProcess p(MIXENGINE_BINARY, {"--sim", "--inputs", "2"});
        ASSERT_TRUE(p.read_until("\"ready\"", kFaultWait));
        p.write_line(R"({"t":"loud.reset"})");
        p.write_text(tail);
        p.close_stdin();
        EXPECT_EQ(p.wait(kFaultWait), 0);
        EXPECT_EQ(p.stderr_text(), "");
        // Every line written before the end is whole.
        const std::string rest = p.rest_of_output();
        for (std::size_t pos = 0; pos < rest.size();) {
            const auto nl = rest.find('\n', pos);
            ASSERT_NE(nl, std::string::npos);
            EXPECT_FALSE(json::parse(rest.substr(pos, nl - pos), nullptr, false).is_discarded());
            pos = nl + 1;
        }
    }
}

}  // namespace
}  // namespace mixengine
