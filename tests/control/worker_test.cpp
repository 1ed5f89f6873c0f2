#include "control/worker.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <system_error>

#include "control/telemetry.h"

namespace mixengine {
namespace {

void refuse_thread(const WorkerSpec&, std::function<void()>&) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

// Runs the body at once on the calling thread, so that what it reports is out on return.
void run_inline(const WorkerSpec&, std::function<void()>& run) {
    run();
}

TEST(Worker, AFailureIsOneLineAndOnlyARequiredWorkerStopsTheMode) {
    struct Case {
        const char* name;
        bool required;
        ThreadStarter starter;
        bool throws;
        bool started;
        const char* line;
        bool stopped;
    };
    const Case cases[] = {
        {"required, no thread", true, &refuse_thread, false, false,
         R"({"t":"error","text":"no reader"})", true},
        {"optional, no thread", false, &refuse_thread, false, false,
         R"({"t":"warn","text":"no reader"})", false},
        {"required, body throws", true, &run_inline, true, true,
         R"({"t":"error","text":"no reader"})", true},
        {"optional, body throws", false, &run_inline, true, true,
         R"({"t":"warn","text":"no reader"})", false},
        {"required, body returns", true, &run_inline, false, true, "", false},
        {"optional, body returns", false, &run_inline, false, true, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto stop = std::make_shared<std::atomic<bool>>(false);
        const WorkerSpec spec = c.required ? WorkerSpec::required_by_mode("no reader", stop)
                                           : WorkerSpec::optional("no reader");
        int runs = 0;
        std::string out;
        set_thread_starter_for_tests(c.starter);
        capture_output_for_tests(&out);
        const bool started = start_worker(spec, [&runs, throws = c.throws] {
            ++runs;
            if (throws) throw std::bad_alloc();
        });
        capture_output_for_tests(nullptr);
        set_thread_starter_for_tests(nullptr);
        EXPECT_EQ(started, c.started);
        EXPECT_EQ(runs, c.started ? 1 : 0);
        EXPECT_EQ(out, c.line[0] ? std::string(c.line) + "\n" : std::string());
        EXPECT_EQ(stop->load(), c.stopped);
    }
}

TEST(Worker, MoveOnlyBodiesRunOnARealThread) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto token = std::make_unique<int>(7);
    ASSERT_TRUE(start_worker(WorkerSpec::optional("unused"),
                             [done, token = std::move(token)] { done->store(*token == 7); }));
    // The thread is detached: wait for its flag, not for the thread.
    for (int i = 0; i < 5000 && !done->load(); ++i) sleep_fully(std::chrono::milliseconds(1));
    EXPECT_TRUE(done->load());
}

TEST(Worker, SleepLastsAtLeastTheDuration) {
    for (const auto d : {std::chrono::milliseconds(0), std::chrono::milliseconds(3)}) {
        const auto before = std::chrono::steady_clock::now();
        sleep_fully(d);
        EXPECT_GE(std::chrono::steady_clock::now() - before, d);
    }
}

}  // namespace
}  // namespace mixengine
