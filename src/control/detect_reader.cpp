#include "control/detect_reader.h"

#include <exception>
#include <string>
#include <utility>

#include "control/config_json.h"
#include "control/json_fields.h"

namespace mixengine {

using json_fields::index_of;
using json_fields::member;
using json_fields::string_member;

CommandResult handle_detect_line(std::string_view line, DetectTable& table) {
    try {
        const nlohmann::json cmd = parse_json_line(line);
        if (!cmd.is_object()) return CommandResult::Continue;
        const std::size_t i = index_of(cmd);
        if (i >= kDetectChannels) return CommandResult::Continue;
        const std::string* t = string_member(cmd, "t");
        if (!t) return CommandResult::Continue;
        if (*t == "cfg") {
            // Every key of the line is a candidate field: "t", "i" and "spec" are simply not
            // fields of the record.
            FbaCfg cfg = decode_fba_cfg_or_default(cmd);
            const nlohmann::json* spec = member(cmd, "spec");
            const bool spec_on = spec && spec->is_boolean() && spec->get<bool>();
            std::lock_guard<std::mutex> lock(table.mutex);
            table.channels[i].cfg = std::move(cfg);
            table.channels[i].spec = spec_on;
        } else if (*t == "reset") {
            std::lock_guard<std::mutex> lock(table.mutex);
            table.channels[i].reset = true;
        } else if (*t == "quit") {
            return CommandResult::Quit;
        }
    } catch (const std::exception&) {
        // Out of memory: this line is lost, nothing else.
    }
    return CommandResult::Continue;
}

void run_detect_reader(ByteSource source, std::shared_ptr<DetectTable> table,
                       std::shared_ptr<std::atomic<bool>> stop) {
    {
        // A line that is not JSON is ignored, and one that is not even UTF-8 is not JSON.
        LineReader reader(std::move(source), kMaxLineBytes, Utf8Fault::DropsLine);
        std::string line;
        while (reader.next(line)) {
            if (handle_detect_line(line, *table) == CommandResult::Quit) break;
        }
    }
    stop->store(true);
}

}  // namespace mixengine
