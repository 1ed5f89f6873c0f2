#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <thread>

#include "control/telemetry.h"

namespace mixengine {
namespace {

TEST(TelemetryLine, KeysAscendInByteOrderWhateverTheInsertionOrder) {
    Json m;
    m["t"] = "fba.detect";
    m["target"] = "main";
    m["f"] = 1250.0;
    m["i"] = 3;
    m["Z"] = 1;  // upper case sorts before lower case in byte order
    EXPECT_EQ(to_line(m), R"({"Z":1,"f":1250.0,"i":3,"t":"fba.detect","target":"main"})");
}

TEST(TelemetryLine, NumbersUseShortestRoundTripFormWithFractionOrExponent) {
    struct Case {
        Json value;
        const char* text;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {Json(48000.0), "48000.0"},
        {Json(-23.4), "-23.4"},
        {Json(1e-05), "1e-05"},
        {json_f32(0.1234f), "0.1234000027179718"},
        {json_f32(256.0f / 48000.0f * 2000.0f), "10.666666984558105"},
        {json_f32(1.0f), "1.0"},
        {json_f32(-57.0f), "-57.0"},
        {json_f32(nan), "null"},
        {json_f32(inf), "null"},
        {json_f32(-inf), "null"},
        // Shortest digits that read back, where a Grisu-style printer adds one more
        // ("-0.23847982287406921", "-1216.8631598296529", "2.3647748481875968e+16").
        {json_f32(-0.238479823f), "-0.2384798228740692"},
        {Json(-1216.8631598296529), "-1216.863159829653"},
        {Json(2.3647748481875968e16), "2.364774848187597e+16"},
        {Json(-0.0), "-0.0"},
        {Json(1e21), "1e+21"},
        {Json(256), "256"},
        {Json(uint64_t{18446744073709551615u}), "18446744073709551615"},
        {Json(int64_t{-1}), "-1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_line(Json{{"v", c.value}}), std::string(R"({"v":)") + c.text + "}");
        if (c.value.is_number_float() && std::isfinite(c.value.get<double>())) {
            EXPECT_EQ(std::strtod(c.text, nullptr), c.value.get<double>()) << c.text;
        }
    }
}

TEST(TelemetryLine, StringsAreEscapedAndInvalidUtf8NeverThrows) {
    EXPECT_EQ(to_line(Json{{"text", "a \"quote\"\n"}}), R"({"text":"a \"quote\"\n"})");
    std::string line;
    EXPECT_NO_THROW(line = to_line(Json{{"name", std::string("Desk \xff\xfe")}}));
    EXPECT_EQ(line.find('\xff'), std::string::npos);
}

TEST(TelemetryPrint, ErrorAndWarnLinesHaveTheirEnvelope) {
    std::string captured;
    capture_output_for_tests(&captured);
    print_error("Audio output \"X\" not found.");
    print_warn("Audio: gone");
    print_raw_line(R"({"t":"library","data":{"b":1,"a":2}})");
    capture_output_for_tests(nullptr);
    EXPECT_EQ(captured,
              "{\"t\":\"error\",\"text\":\"Audio output \\\"X\\\" not found.\"}\n"
              "{\"t\":\"warn\",\"text\":\"Audio: gone\"}\n"
              "{\"t\":\"library\",\"data\":{\"b\":1,\"a\":2}}\n");
}

TEST(TelemetryPrint, LinesFromManyThreadsNeverInterleave) {
    std::string captured;
    capture_output_for_tests(&captured);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) print_json(Json{{"t", "x"}, {"w", t}, {"i", i}});
        });
    }
    for (auto& th : threads) th.join();
    capture_output_for_tests(nullptr);
    std::size_t lines = 0;
    for (std::size_t pos = 0; pos < captured.size(); ++lines) {
        const auto nl = captured.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        EXPECT_FALSE(Json::parse(captured.substr(pos, nl - pos), nullptr, false).is_discarded());
        pos = nl + 1;
    }
    EXPECT_EQ(lines, 2000u);
}

TEST(TelemetryPrint, ClosedOutputLosesTheLineButNotTheProcess) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // nobody will ever read
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        ignore_broken_pipe();
        print_json(Json{{"t", "m"}});
        print_json(Json{{"t", "m"}});
        _exit(7);  // reached only if the writes did not end the process
    }
    close(fds[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

}  // namespace
}  // namespace mixengine
