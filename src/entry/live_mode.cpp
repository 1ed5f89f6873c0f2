#include "modes.h"

namespace mixengine {
int run_live_mode(const LiveOptions&, StopFlag) { return mode_not_built("live"); }
}  // namespace mixengine
