#include "stream_choice.h"

#include <algorithm>
#include <tuple>

namespace mixengine {

namespace {
constexpr uint32_t kPreferredRate = 48000;

bool has_preferred_rate(const StreamConfigRange& r) {
    return r.min_rate <= kPreferredRate && kPreferredRate <= r.max_rate;
}

auto rank(const StreamConfigRange& r) {
    return std::make_tuple(r.channels, has_preferred_rate(r), r.format == SampleFormat::F32);
}
}  // namespace

std::optional<StreamChoice> choose_stream_config(std::span<const StreamConfigRange> ranges,
                                                 std::optional<uint16_t> requested_channels) {
    if (ranges.empty()) return std::nullopt;
    const StreamConfigRange* best = &ranges.front();
    for (const auto& r : ranges)
        if (rank(r) >= rank(*best)) best = &r;  // >=: the last of equals wins

    StreamChoice choice;
    choice.config.rate = has_preferred_rate(*best) ? kPreferredRate : best->max_rate;
    choice.config.channels =
        requested_channels ? std::min(best->channels, *requested_channels) : best->channels;
    choice.format = best->format;
    return choice;
}

}  // namespace mixengine
