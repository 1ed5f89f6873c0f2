#include "control/worker.h"

#include <exception>
#include <thread>

#include "control/telemetry.h"

namespace mixengine {

namespace {

void start_detached(const WorkerSpec&, std::function<void()>& run) {
    std::thread(std::move(run)).detach();
}

std::atomic<ThreadStarter> g_starter{&start_detached};

}  // namespace

void report_worker_failure(const WorkerSpec& spec) noexcept {
    // Set first: building the line may fail for want of memory, stopping must not.
    if (spec.required && spec.stop) spec.stop->store(true);
    try {
        if (spec.required) {
            print_error(spec.failure_text);
        } else {
            print_warn(spec.failure_text);
        }
    } catch (...) {
        // Not even the line could be built: nothing more can be done.
    }
}

bool start_worker_thread(const WorkerSpec& spec, std::function<void()> run) {
    try {
        std::function<void()> guarded = [spec, run = std::move(run)] {
            try {
                run();
            } catch (...) {
                report_worker_failure(spec);
            }
        };
        g_starter.load()(spec, guarded);
        return true;
    } catch (const std::exception&) {
        // No thread (std::system_error) or no memory for the wrapper.
        report_worker_failure(spec);
        return false;
    }
}

void set_thread_starter_for_tests(ThreadStarter starter) {
    g_starter.store(starter ? starter : &start_detached);
}

void sleep_fully(std::chrono::steady_clock::duration d) noexcept {
    const auto until = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

}  // namespace mixengine
