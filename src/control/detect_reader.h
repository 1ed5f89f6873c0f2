// The detector service's command reader: JSON lines on standard input configure the service's 64
// channels ("cfg", "reset") or end it ("quit"). It shares the console reader's line framing and
// JSON parsing, and answers nothing; a line that is not a JSON object (not even UTF-8, say) is
// ignored. A line whose "i" is 64 or more is ignored whole, whatever its "t"; a missing or
// unusable "i" means channel 0.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>

#include "control/command_reader.h"
#include "control/line_reader.h"
#include "engine/config.h"

namespace mixengine {

inline constexpr std::size_t kDetectChannels = 64;

struct DetectChannel {
    FbaCfg cfg;          // detection runs only while cfg.on
    bool spec = false;   // send "spec" lines
    bool reset = false;  // start the channel's detector afresh before its next datagram
};

// Shared by the reader and the receive loop; hold the mutex only to copy in or out.
struct DetectTable {
    std::mutex mutex;
    std::array<DetectChannel, kDetectChannels> channels;
};

// Applies one input line (line feed removed) under the table's mutex.
CommandResult handle_detect_line(std::string_view line, DetectTable& table);

// Reads lines until "quit", the end of input or a read error, then sets `stop`.
void run_detect_reader(ByteSource source, std::shared_ptr<DetectTable> table,
                       std::shared_ptr<std::atomic<bool>> stop);

}  // namespace mixengine
