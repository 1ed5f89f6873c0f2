#include "telemetry.h"

#include <charconv>
#include <cmath>
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

namespace {

// Invalid UTF-8 in a string must not throw on a printing thread: replace it instead.
void append_leaf(std::string& out, const Json& v) {
    out += v.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The JSON library's own number text is not always the shortest that reads back (about one
// double in 300 gets a digit too many), so numbers are written from std::to_chars digits in the
// library's layout: fixed notation from 1e-5 up to 1e15 with a ".0" on whole values, otherwise
// d.ddde+XX.
void append_double(std::string& out, double v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    if (std::signbit(v)) {
        out += '-';
        v = -v;
    }
    if (v == 0.0) {
        out += "0.0";
        return;
    }
    char buf[40];
    const auto end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
    const std::string_view sci(buf, static_cast<std::size_t>(end - buf));  // d[.ddd]e(+|-)XX
    const std::size_t e = sci.find('e');
    std::string digits(1, sci[0]);
    if (e > 1) digits.append(sci.substr(2, e - 2));
    int exp10 = 0;
    std::from_chars(sci.data() + e + 2, sci.data() + sci.size(), exp10);
    if (sci[e + 1] == '-') exp10 = -exp10;

    constexpr int kMinExp = -4;
    constexpr int kMaxExp = 15;
    const int k = static_cast<int>(digits.size());
    const int n = exp10 + 1;  // v = 0.digits * 10^n
    if (k <= n && n <= kMaxExp) {
        out += digits;
        out.append(static_cast<std::size_t>(n - k), '0');
        out += ".0";
    } else if (0 < n && n <= kMaxExp) {
        out.append(digits, 0, static_cast<std::size_t>(n));
        out += '.';
        out.append(digits, static_cast<std::size_t>(n));
    } else if (kMinExp < n && n <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n), '0');
        out += digits;
    } else {
        out += digits[0];
        if (k > 1) {
            out += '.';
            out.append(digits, 1);
        }
        const int x = n - 1;
        out += x < 0 ? "e-" : "e+";
        const int ax = x < 0 ? -x : x;
        if (ax < 10) out += '0';
        out += std::to_string(ax);
    }
}

void append_value(std::string& out, const Json& v) {
    switch (v.type()) {
        case Json::value_t::object: {
            out += '{';
            bool first = true;
            for (auto it = v.begin(); it != v.end(); ++it) {
                if (!first) out += ',';
                first = false;
                append_leaf(out, Json(it.key()));
                out += ':';
                append_value(out, it.value());
            }
            out += '}';
            return;
        }
        case Json::value_t::array: {
            out += '[';
            bool first = true;
            for (const Json& e : v) {
                if (!first) out += ',';
                first = false;
                append_value(out, e);
            }
            out += ']';
            return;
        }
        case Json::value_t::number_float:
            append_double(out, *v.get_ptr<const Json::number_float_t*>());
            return;
        default:
            append_leaf(out, v);
            return;
    }
}

}  // namespace

std::string to_line(const Json& message) {
    std::string out;
    append_value(out, message);
    return out;
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
