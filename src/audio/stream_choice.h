// Which of a device's supported configurations the recorder and the player open. The ranking
// prefers more channels, then a range that includes 48 kHz, then F32; ties go to the range the
// device lists last. The live engine does not use this: it opens the device's defaults.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "audio_host.h"

namespace mixengine {

struct StreamChoice {
    StreamConfig config;  // buffer size left to the device
    SampleFormat format = SampleFormat::F32;
    bool operator==(const StreamChoice&) const = default;
};

// None when the device offers no configuration at all.
std::optional<StreamChoice> choose_stream_config(std::span<const StreamConfigRange> ranges,
                                                 std::optional<uint16_t> requested_channels);

}  // namespace mixengine
