#include "modes.h"

namespace mixengine {
int run_sim_mode(const SimOptions&, StopFlag) { return mode_not_built("simulation"); }
}  // namespace mixengine
