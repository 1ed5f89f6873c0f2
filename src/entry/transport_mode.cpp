#include "audio/device_lookup.h"
#include "audio/rtaudio_host.h"
#include "control/telemetry.h"
#include "control/transport_reader.h"
#include "multitrack_modes.h"

namespace mixengine {

Result<ModeDevice> find_mode_device(AudioHost& host, const std::string& name, Direction direction) {
    const auto device = find_device(host, name, direction);
    if (!device)
        return fail(std::string("Audio ") + (direction == Direction::Input ? "input" : "output") +
                    " \"" + name + "\" not found. Is the console's USB connected?");
    auto ranges = host.supported_configs(*device, direction);
    if (!ranges) return fail(ranges.error());
    return ModeDevice{*device, std::move(*ranges)};
}

Result<std::unique_ptr<AudioStream>> start_mode_stream(
    AudioHost& host, const DeviceHandle& device, const StreamConfig& config, SampleFormat format,
    std::variant<InputCallback, OutputCallback> data, std::string_view warning_prefix,
    std::string_view open_failure) {
    ErrorCallback warn = [prefix = std::string(warning_prefix)](const std::string& text) {
        print_warn(prefix + text);
    };
    auto stream =
        std::holds_alternative<InputCallback>(data)
            ? host.build_input_stream(device, config, format,
                                      std::get<InputCallback>(std::move(data)), std::move(warn))
            : host.build_output_stream(device, config, format,
                                       std::get<OutputCallback>(std::move(data)), std::move(warn));
    if (!stream) return fail(std::string(open_failure) + stream.error());
    if (const auto started = (*stream)->start(); !started) return fail(started.error());
    return stream;
}

int run_transport_mode(const TransportRun& run) {
    const auto host = make_system_host();
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto paused = std::make_shared<std::atomic<bool>>(false);
    if (!start_transport_reader(stop, paused)) return 1;
    return run(*host, std::move(paused), *stop);
}

}  // namespace mixengine
