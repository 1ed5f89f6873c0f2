#include "entry/worker_threads.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <system_error>

#include "control/line_reader.h"
#include "control/telemetry.h"
#include "control/worker.h"

namespace mixengine {
namespace {

void refuse_every_thread(const WorkerSpec&, std::function<void()>&) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

// The required reader "starts" but never runs, so that nothing reads this process's input.
void refuse_optional_threads(const WorkerSpec& spec, std::function<void()>& run) {
    if (!spec.required) refuse_every_thread(spec, run);
}

TEST(WorkerThreads, OnlyTheCommandReaderIsNeededToStart) {
    struct Case {
        const char* name;
        ThreadStarter starter;
        bool started;
        int warnings;  // feedback, auto-EQ, listening, and the meters when the reader runs
        int errors;    // the reader's
    };
    const Case cases[] = {
        {"no threads at all", &refuse_every_thread, false, 3, 1},
        {"no optional threads", &refuse_optional_threads, true, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto stop = std::make_shared<std::atomic<bool>>(false);
        std::string out;
        set_thread_starter_for_tests(c.starter);
        capture_output_for_tests(&out);
        const auto workers = start_worker_threads(WorkerThreadsRequest{stop, 48000, 2, nullptr});
        capture_output_for_tests(nullptr);
        set_thread_starter_for_tests(nullptr);
        EXPECT_EQ(workers.has_value(), c.started);
        // Lines by kind; an error line's text is its kind.
        std::map<std::string, int> kinds;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            const Json j = Json::parse(line);
            ++kinds[j["t"] == "error" ? j["text"].get<std::string>() : j["t"].get<std::string>()];
        }
        std::map<std::string, int> expected{{"warn", c.warnings}};
        if (c.errors) expected[std::string(kNoReaderText)] = c.errors;
        EXPECT_EQ(kinds, expected) << out;
        EXPECT_EQ(stop->load(), !c.started);
    }
}

}  // namespace
}  // namespace mixengine
