// Placeholder until the command protocol is built.
#include "command_reader.h"

namespace mixengine {
void start_command_reader(CommandReaderLinks) {}
}  // namespace mixengine
