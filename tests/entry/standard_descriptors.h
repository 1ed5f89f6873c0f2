// Starting a mode with descriptor 0 or 1 closed (not redirected), as a careless parent may: the
// process must find /dev/null there, so that nothing it opens later takes that number.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace mixengine::testing {

// What descriptor `fd` of process `pid` refers to once it is `wanted`, or the last thing it
// referred to within `timeout` (empty while closed). The loader briefly opens libraries on the
// lowest free number before the program runs, so the first thing seen may be one of those.
inline std::string descriptor_target(pid_t pid, int fd, const std::string& wanted,
                                     std::chrono::milliseconds timeout) {
    const std::filesystem::path link =
        "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string seen;
    do {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(link, ec);
        seen = ec ? std::string() : target.string();
        if (seen == wanted) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
    return seen;
}

struct ClosedDescriptorCase {
    const char* name;
    std::vector<std::string> args;
    const char* stop_line;  // what ends the mode when standard input is open
};

// Standard input closed: the mode starts as usual and ends as at the end of its input.
inline void expect_closed_input_ends(const ClosedDescriptorCase& c,
                                     const std::vector<std::string>& env) {
    using namespace std::chrono_literals;
    ChildProcess p(MIXENGINE_BINARY, c.args, env, {0});
    EXPECT_TRUE(p.read_until("\"t\":\"ready\"", 20s)) << c.name << ": " << p.stderr_text();
    EXPECT_EQ(p.wait(15s), 0) << c.name << ": it never saw the end of its input";
    EXPECT_EQ(p.stderr_text(), "") << c.name;
}

// Standard output closed: /dev/null takes its place, and the mode stops as usual.
inline void expect_closed_output_is_null(const ClosedDescriptorCase& c,
                                         const std::vector<std::string>& env) {
    using namespace std::chrono_literals;
    ChildProcess p(MIXENGINE_BINARY, c.args, env, {1});
    EXPECT_EQ(descriptor_target(p.pid(), 1, "/dev/null", 10s), "/dev/null") << c.name;
    // Long enough for the mode to have opened its files, sockets and streams.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(descriptor_target(p.pid(), 1, "/dev/null", 0ms), "/dev/null") << c.name;
    p.write_line(c.stop_line);
    EXPECT_EQ(p.wait(15s), 0) << c.name;
    EXPECT_EQ(p.stderr_text(), "") << c.name;
}

}  // namespace mixengine::testing
