// List mode: one "devices" line describing every input and output device of the audio system.
#include "audio/device_lookup.h"
#include "audio/rtaudio_host.h"
#include "control/telemetry.h"
#include "modes.h"

namespace mixengine {

int run_list_mode() {
    const auto host = make_system_host();
    print_json(list_devices_line(*host));
    return 0;
}

}  // namespace mixengine
