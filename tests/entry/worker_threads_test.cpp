#include "entry/worker_threads.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>

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

int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(WorkerThreads, OnlyTheCommandReaderIsNeededToStart) {
    struct Case {
        const char* name;
        ThreadStarter starter;
        bool started;
        int warnings;  // feedback, auto-EQ, listening, and the meters when the reader runs
        int errors;
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
        EXPECT_EQ(count(out, R"({"t":"warn")"), c.warnings) << out;
        EXPECT_EQ(count(out, R"({"t":"error","text":"Cannot read commands)"), c.errors) << out;
        EXPECT_EQ(count(out, "\n"), c.warnings + c.errors);
        EXPECT_EQ(stop->load(), !c.started);
    }
}

}  // namespace
}  // namespace mixengine
