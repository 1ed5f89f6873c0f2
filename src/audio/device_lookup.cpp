#include "device_lookup.h"

#include <string>
#include <vector>

#include "text_case.h"

namespace mixengine {

bool has_direction(AudioHost& host, const DeviceHandle& device, Direction direction) {
    const auto configs = host.supported_configs(device, direction);
    return configs && !configs->empty();
}

std::optional<DeviceHandle> find_device(AudioHost& host, std::string_view name,
                                        Direction direction) {
    const auto all = host.devices();
    if (!all) return std::nullopt;

    struct Candidate {
        const DeviceHandle* device;
        std::string lowered;
    };
    std::vector<Candidate> candidates;
    for (const auto& d : *all) {
        if (!has_direction(host, d, direction)) continue;
        const auto device_name = host.device_name(d);
        if (!device_name) continue;
        candidates.push_back({&d, lowercase_utf8(*device_name)});
    }

    const std::string wanted = lowercase_utf8(name);
    for (const auto& c : candidates)
        if (c.lowered == wanted) return *c.device;
    for (const auto& c : candidates)
        if (c.lowered.find(wanted) != std::string::npos) return *c.device;
    return std::nullopt;
}

Json list_devices_line(AudioHost& host) {
    Json inputs = Json::array();
    Json outputs = Json::array();
    if (const auto all = host.devices()) {
        for (const auto& d : *all) {
            const auto name = host.device_name(d);
            if (!name) continue;
            for (const auto direction : {Direction::Input, Direction::Output}) {
                if (!has_direction(host, d, direction)) continue;
                const auto config = host.default_config(d, direction);
                if (!config) continue;
                Json record = {{"name", *name},
                               {"channels", config->channels},
                               {"rate", config->rate},
                               {"format", std::string(format_name(config->format))}};
                (direction == Direction::Input ? inputs : outputs).push_back(std::move(record));
            }
        }
    }
    const auto host_name = host.host_name();
    return Json{{"t", "devices"},
                {"host", host_name ? *host_name : std::string()},
                {"inputs", std::move(inputs)},
                {"outputs", std::move(outputs)}};
}

}  // namespace mixengine
