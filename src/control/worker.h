// Every worker thread starts here, so that each one fails the same way. Workers are detached and
// never joined: the process may end while they run, so whatever a body uses is held by shared
// pointers it owns, never by statics.
//
// A worker the mode cannot do without (a command reader: without it nothing could stop the mode)
// is required: when no thread can be had, its error line is printed and the stop flag set, and
// the mode ends. Any other worker is optional: one warning line, and the mode goes on without it.
// A body that ends by an exception is reported by the same rule.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

namespace mixengine {

struct WorkerSpec {
    bool required = false;
    std::string_view failure_text;            // the error or warning line's text; a string literal
    std::shared_ptr<std::atomic<bool>> stop;  // set when a required worker fails

    static WorkerSpec required_by_mode(std::string_view text,
                                       std::shared_ptr<std::atomic<bool>> stop) {
        return WorkerSpec{true, text, std::move(stop)};
    }
    static WorkerSpec optional(std::string_view text) { return WorkerSpec{false, text, nullptr}; }
};

// The one line a worker's failure prints (and, when it is required, the stop flag it sets).
// Never throws.
void report_worker_failure(const WorkerSpec& spec) noexcept;

// Starts `run` on a detached thread, where an exception ending it is reported. Returns false, after
// the report, when no thread could be had.
bool start_worker_thread(const WorkerSpec& spec, std::function<void()> run);

// The same for any callable, move-only ones included.
template <class Body>
bool start_worker(const WorkerSpec& spec, Body&& body) {
    std::function<void()> run;
    try {
        run = [held = std::make_shared<std::decay_t<Body>>(std::forward<Body>(body))] {
            (*held)();
        };
    } catch (const std::bad_alloc&) {
        report_worker_failure(spec);
        return false;
    }
    return start_worker_thread(spec, std::move(run));
}

// What makes a thread, for tests: it runs `run` somewhere or throws when it cannot. The default
// (nullptr restores it) is a detached std::thread. Set it before any worker starts.
using ThreadStarter = void (*)(const WorkerSpec& spec, std::function<void()>& run);
void set_thread_starter_for_tests(ThreadStarter starter);

// Sleeps the whole duration on the steady clock, resuming after an early wake-up. Every loop
// that waits sleeps with this.
void sleep_fully(std::chrono::steady_clock::duration d) noexcept;

}  // namespace mixengine
