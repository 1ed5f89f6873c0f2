// The executable's top level: exit statuses, error lines and the library line, with an empty
// standard error throughout.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/child_process.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

struct Outcome {
    std::string out;
    std::string err;
    int status;
};

Outcome run(const std::vector<std::string>& args) {
    ChildProcess p(MIXENGINE_BINARY, args);
    p.close_stdin();
    const int status = p.wait(20s);
    return {p.rest_of_output(), p.stderr_text(), status};
}

TEST(Executable, WithoutDevicesAsksForThemAndExitsWithStatus2) {
    const std::string expected =
        R"({"t":"error","text":"Choose an audio input and output (--in / --out), or use --sim."})"
        "\n";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"--in", "Desk"}, {"--in", "Desk", "--out"}, {"--out", "Desk", "--rate", "x"}}) {
        const Outcome o = run(args);
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(o.out, expected);
        EXPECT_EQ(o.err, "");
    }
}

TEST(Executable, LibraryPrintsOneJsonLine) {
    const Outcome o = run({"--library"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    ASSERT_EQ(o.out.rfind(R"({"t":"library","data":{)", 0), 0u);
    ASSERT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1);
    const auto line = nlohmann::json::parse(o.out);
    EXPECT_EQ(line["t"], "library");
    EXPECT_TRUE(line["data"]["exercises"].is_array());
}

// Help and version are for people and only count as the first argument; anywhere else the
// modes see them as before (a device may be called "--help").
TEST(Executable, HelpAndVersionFirstOnlyLeaveEveryModeAsItWas) {
    struct Case {
        std::vector<std::string> args;
        std::string starts_with;
        int status;
    };
    const std::string version = "mixengine " MIXENGINE_VERSION "\n";
    const Case cases[] = {
        {{"--help"}, "Usage: mixengine MODE [OPTIONS]\n", 0},
        {{"--help", "--sim"}, "Usage: mixengine MODE [OPTIONS]\n", 0},
        {{"--version"}, version, 0},
        {{"--version", "--library"}, version, 0},
        {{"--library", "--help"}, R"({"t":"library","data":{)", 0},
        {{"--in", "--help", "--out"}, R"({"t":"error","text":"Choose an audio input)", 2},
    };
    for (const Case& c : cases) {
        const Outcome o = run(c.args);
        EXPECT_EQ(o.status, c.status) << c.args[0];
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.out.rfind(c.starts_with, 0), 0u) << o.out;
    }
    const Outcome help = run({"--help"});
    for (const char* flag : {"--list", "--detect", "--record", "--play", "--library", "--sim",
                             "--in", "--out", "--files", "--buffer", "--version"})
        EXPECT_NE(help.out.find(flag), std::string::npos) << flag;
    EXPECT_EQ(run({"--version"}).out, version);
}

TEST(Executable, OddArgumentsNeverCrashOrWriteToStandardError) {
    const std::vector<std::vector<std::string>> cases = {
        {"\xff\xfe\xfd"},
        {"--library", "\xc3"},
        {"--library", "--inputs", "99999999999999999999999999"},
        {"--in", "\xff", "--out", "--in"},
        {"--from", "1e999", "--library"},
        {std::string(100000, 'x'), "--library"},
    };
    for (const auto& args : cases) {
        const Outcome o = run(args);
        EXPECT_TRUE(o.status == 0 || o.status == 1 || o.status == 2) << o.status;
        EXPECT_EQ(o.err, "");
        for (std::size_t pos = 0; pos < o.out.size();) {
            const auto nl = o.out.find('\n', pos);
            EXPECT_FALSE(
                nlohmann::json::parse(o.out.substr(pos, nl - pos), nullptr, false).is_discarded());
            pos = nl + 1;
        }
    }
}

}  // namespace
}  // namespace mixengine
