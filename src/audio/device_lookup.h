// Finding a device from the name a user typed, and the device list of the list mode. Nothing is
// cached: every call asks the host afresh, so a device plugged in after start-up is found.
#pragma once

#include <optional>
#include <string_view>

#include "audio_host.h"
#include "control/telemetry.h"

namespace mixengine {

// A device is of a direction when its supported configurations for it can be read and are not
// empty.
bool has_direction(AudioHost& host, const DeviceHandle& device, Direction direction);

// Case-insensitive: the first device of that direction whose name equals `name` wins over any
// earlier one that merely contains it; failing both, not found. Devices whose names cannot be
// read are skipped. An empty name matches the first device of the direction.
std::optional<DeviceHandle> find_device(AudioHost& host, std::string_view name,
                                        Direction direction);

// The {"t":"devices", "host", "inputs", "outputs"} message. A device whose name or default
// configuration cannot be read is left out of that list; an unreadable device list gives two
// empty lists.
Json list_devices_line(AudioHost& host);

}  // namespace mixengine
