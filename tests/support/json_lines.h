// Waiting for the engine's JSON lines in end-to-end tests: every wait is for a line with a
// property, bounded by a generous deadline, never for a time.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "support/child_process.h"

namespace mixengine::testing {

using LineTest = std::function<bool(const nlohmann::json&)>;
using LineSeen = std::function<void(const nlohmann::json&)>;

inline bool any_line(const nlohmann::json&) {
    return true;
}

// Reads lines until one of kind `t` for which `want` holds and returns it; every line read on the
// way, that one included, is handed to `seen` first. A line that is not a JSON object fails the
// test and is skipped. Nothing when `patience` runs out or the output ends.
inline std::optional<nlohmann::json> next_of_kind(ChildProcess& p, const std::string& t,
                                                  std::chrono::milliseconds patience,
                                                  const LineTest& want = any_line,
                                                  const LineSeen& seen = {}) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        const auto line = p.read_line(left);
        if (!line) return std::nullopt;
        nlohmann::json j = nlohmann::json::parse(*line, nullptr, false);
        EXPECT_TRUE(j.is_object()) << *line;
        if (!j.is_object()) continue;
        if (seen) seen(j);
        if (j.value("t", "") == t && want(j)) return j;
    }
}

// The same where the line must come: a test failure and a null value when it does not.
inline nlohmann::json expect_of_kind(ChildProcess& p, const std::string& t,
                                     std::chrono::milliseconds patience,
                                     const LineTest& want = any_line, const LineSeen& seen = {}) {
    if (auto j = next_of_kind(p, t, patience, want, seen)) return std::move(*j);
    ADD_FAILURE() << "no \"" << t << "\" line as expected";
    return nlohmann::json();
}

}  // namespace mixengine::testing
