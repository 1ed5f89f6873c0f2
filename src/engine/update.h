// EngineUpdate: the one way configuration enters the running engine. Producers push these through
// the update ring; the engine's owner pops and applies them between blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "config.h"
#include "room.h"
#include "signals.h"

namespace mixengine {

namespace update {

struct LoudnessSource {
    std::optional<SignalSource> source;
};
struct StripSettings {
    std::size_t index = 0;
    StripCfg cfg;
};
struct BusSettings {
    std::size_t index = 0;
    StripCfg cfg;
};
struct MainSettings {
    StripCfg cfg;
};
struct MonoSettings {
    StripCfg cfg;
};
struct Patch {
    std::vector<int32_t> input_map;   // entry s: input channel of strip s, negative = none
    std::vector<OutputRoute> routes;  // entry c: what output channel c plays
};
struct AnalyserSelect {
    AnalyserSource source;
};
struct FeedSwitch {
    std::size_t output = 0;
    bool on = false;
};
struct SetNotch {
    std::size_t output = 0;
    float freq_hz = 0.0f;
    float depth_db = 0.0f;
};
struct ClearNotches {
    std::size_t output = 0;
};
struct RemoveNotch {
    std::size_t output = 0;
    float freq_hz = 0.0f;
};
struct StartHowl {
    std::size_t output = 0;
    float freq_hz = 0.0f;
};
struct AutoEqCurve {
    std::size_t target = 0;
    std::vector<float> gains_db;
};
struct ListenSource {
    std::optional<SignalSource> source;
};
// The practice room: replaces every path; an empty list removes the room.
struct RoomSettings {
    RoomCfg cfg;
};

}  // namespace update

using EngineUpdate =
    std::variant<update::LoudnessSource, update::StripSettings, update::BusSettings,
                 update::MainSettings, update::MonoSettings, update::Patch, update::AnalyserSelect,
                 update::FeedSwitch, update::SetNotch, update::ClearNotches, update::RemoveNotch,
                 update::StartHowl, update::AutoEqCurve, update::ListenSource,
                 update::RoomSettings>;

inline constexpr std::size_t kUpdateRingCapacity = 1024;

}  // namespace mixengine
