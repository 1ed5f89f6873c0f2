#include "modes.h"
namespace mixengine {
int run_library_mode() { return mode_not_built("library"); }
}  // namespace mixengine
