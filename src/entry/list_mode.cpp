#include "modes.h"

namespace mixengine {
int run_list_mode() { return mode_not_built("device list"); }
}  // namespace mixengine
