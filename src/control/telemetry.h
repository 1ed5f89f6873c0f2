// Telemetry: every line the system writes to standard output goes through print_json (or, for the
// one line that is not built as a JSON value, print_raw_line). One process-wide lock keeps lines
// whole; each line is flushed at once; a failed write loses that line only.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace mixengine {

// Ordered map: keys come out in ascending byte order. Floats are stored as double; a value held as
// float is widened first, so it prints with the digits of its double expansion. Integers stay
// integers. Non-finite numbers print as null.
using Json = nlohmann::json;

// The compact text of a message, without the line feed.
std::string to_line(const Json& message);

// Writes the message and a line feed under the output lock, then flushes.
void print_json(const Json& message);

// Writes `text` and a line feed as they are, under the same lock.
void print_raw_line(std::string_view text);

// Convenience for the two plain message kinds.
void print_error(std::string_view text);
void print_warn(std::string_view text);

// Ignore SIGPIPE so that a closed standard output fails writes instead of ending the process.
void ignore_broken_pipe();

// Redirects the output lines into a string (tests); pass nullptr to restore standard output.
void capture_output_for_tests(std::string* sink);

// JSON string of a number held in single precision (widened to double).
inline Json json_f32(float v) { return Json(static_cast<double>(v)); }

}  // namespace mixengine
