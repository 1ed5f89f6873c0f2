// The transport reader of the record and play modes: plain words on standard input instead of
// JSON commands. "stop" or "quit" ends the run, "pause" and "resume" hold and continue it.
//
// A word may be surrounded by white space and by double quotes, so that a front end writing a
// JSON string ("pause" with its quotes) is understood as well as one writing the bare word. The
// end of input, a read error or text that is not UTF-8 stop the run as "stop" does: a front end
// that has gone away must not leave a recording running.
#pragma once

#include <atomic>
#include <memory>
#include <string_view>

#include "control/line_reader.h"

namespace mixengine {

enum class TransportWord { Stop, Pause, Resume, Other };

// Reads one line: white space (as Unicode defines it) trimmed at both ends, then every double
// quote at either end removed, then an exact, case-sensitive match.
TransportWord parse_transport_word(std::string_view line) noexcept;

using SharedFlag = std::shared_ptr<std::atomic<bool>>;

// The reader loop over any byte source; returns after setting `stop`.
void run_transport_reader(ByteSource source, const SharedFlag& stop, const SharedFlag& paused);

// Starts the detached reader thread on standard input. Returns false, after the error line and
// with `stop` set, when the thread cannot run: the mode must end.
bool start_transport_reader(SharedFlag stop, SharedFlag paused);

}  // namespace mixengine
