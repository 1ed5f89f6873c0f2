#include "telemetry.h"

#include <csignal>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace mixengine {

namespace {

std::mutex& output_lock() {
    // Never destroyed: detached threads may still print while the process exits.
    static auto* m = new std::mutex;
    return *m;
}

std::string* g_capture = nullptr;

// Writes all of `data` to standard output with plain write(2) calls, so that nothing is buffered
// between lines and a failure (EPIPE) simply drops the rest of this line.
void write_all(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void emit(std::string line) {
    line.push_back('\n');
    std::lock_guard<std::mutex> lock(output_lock());
    if (g_capture) {
        g_capture->append(line);
        return;
    }
    write_all(line.data(), line.size());
}

}  // namespace

std::string to_line(const Json& message) {
    // Invalid UTF-8 in a string must not throw on a printing thread: replace it instead.
    return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void print_json(const Json& message) { emit(to_line(message)); }

void print_raw_line(std::string_view text) { emit(std::string(text)); }

void print_error(std::string_view text) {
    print_json(Json{{"t", "error"}, {"text", std::string(text)}});
}

void print_warn(std::string_view text) {
    print_json(Json{{"t", "warn"}, {"text", std::string(text)}});
}

void ignore_broken_pipe() { std::signal(SIGPIPE, SIG_IGN); }

void capture_output_for_tests(std::string* sink) {
    std::lock_guard<std::mutex> lock(output_lock());
    g_capture = sink;
}

}  // namespace mixengine
