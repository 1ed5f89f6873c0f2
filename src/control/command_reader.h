// The command reader: one thread reading JSON commands from standard input and turning each into
// engine updates, channel messages or shared-state changes. It never answers on standard output.
#pragma once

#include <memory>

#include "channel.h"
#include "fba_command.h"
#include "shared_state.h"
#include "update_sender.h"

namespace mixengine {

struct CommandReaderLinks {
    std::shared_ptr<UpdateSender> updates;
    std::shared_ptr<ControlState> state;
    Sender<FbaCommand> fba;       // default-constructed when no feedback suppressor runs
    Sender<AutoEqRequest> aeq;    // default-constructed when no auto-EQ thread runs
};

// Starts the detached reader thread on standard input. It sets the stop flag and ends on "quit",
// end of input, a read error or a line that is not valid UTF-8.
void start_command_reader(CommandReaderLinks links);

}  // namespace mixengine
