// Modes whose parts are not built yet.
#include "control/telemetry.h"
#include "modes.h"

#include <string>

namespace mixengine {

int mode_not_built(const char* mode_name) {
    print_error(std::string("This build of mixengine does not have the ") + mode_name +
                " mode yet.");
    return 1;
}

}  // namespace mixengine
