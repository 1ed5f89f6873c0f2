#include "audio/rtaudio_host.h"
#include "control/transport_reader.h"
#include "multitrack_modes.h"

namespace mixengine {

int run_transport_mode(const TransportRun& run) {
    const auto host = make_system_host();
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto paused = std::make_shared<std::atomic<bool>>(false);
    if (!start_transport_reader(stop, paused)) return 1;
    return run(*host, std::move(paused), *stop);
}

}  // namespace mixengine
