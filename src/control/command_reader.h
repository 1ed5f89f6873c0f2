// The command reader: one thread reading JSON commands from standard input and turning each into
// engine updates, channel messages or shared-state changes. It never answers on standard output.
//
// Input is forgiving by design: a line that is not one JSON object, an unknown command or an
// unusable target is skipped without a word, and a settings record that does not decode resets
// its strip or output to defaults. Everything one command sends (its auto-EQ message first) is
// sent before the next line is read, so the engine sees commands in input order.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string_view>

#include "channel.h"
#include "fba_command.h"
#include "line_reader.h"
#include "shared_state.h"
#include "update_sender.h"

namespace mixengine {

struct CommandReaderLinks {
    std::shared_ptr<UpdateSender> updates;
    std::shared_ptr<ControlState> state;
    Sender<FbaCommand> fba;     // default-constructed when no feedback suppressor runs
    Sender<AutoEqRequest> aeq;  // default-constructed when no auto-EQ thread runs
    // The practice room exists only in simulation: live, the room is real and "room" is ignored.
    bool room = false;
};

enum class CommandResult { Continue, Quit };

// The JSON value of one input line, or a discarded value when the line is anything but exactly
// one JSON value and whitespace: a NUL byte anywhere or a leading byte-order mark make it so,
// though the parser would stop at the first and skip the second. Containers nested deeper than
// any command are dropped while parsing. Throws only when memory runs out. Every JSON reader of
// standard input parses with this.
nlohmann::json parse_json_line(std::string_view line);

// Handles one input line (line feed already removed). Blocks only while the update ring is full.
CommandResult handle_command_line(std::string_view line, const CommandReaderLinks& links);

// The reader loop over any byte source: returns on "quit", end of input, a read error or bytes
// that are not UTF-8, after setting the stop flag. Lines over kMaxLineBytes are skipped.
void run_command_reader(ByteSource source, CommandReaderLinks links);

// Starts the detached reader thread on standard input. It sets the stop flag and ends on "quit",
// end of input, a read error or a line that is not valid UTF-8. Returns false, after the error
// line and with the stop flag set, when the thread cannot run: the mode must end.
bool start_command_reader(CommandReaderLinks links);

}  // namespace mixengine
