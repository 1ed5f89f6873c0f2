// The practice room's gain before feedback, reported from outside the audio thread.
//
// A LoopModel is a console that never runs: every engine update is applied to it too, in the
// order the engine gets them (the update sender hands each one over as it queues it), so its
// designs are the running engine's designs. The dynamics' present gains come from the engine
// through Meters. The reporter thread computes the margin from both every 100 ms while a room
// exists and prints the "room" line; the audio thread only publishes a hundred gains per chunk.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>

#include "control/telemetry.h"
#include "engine/meters.h"
#include "engine/mix_engine.h"
#include "engine/room.h"
#include "engine/update.h"

namespace mixengine {

class LoopModel {
  public:
    // `latency_frames`: the console's block, part of every loop's delay.
    LoopModel(float sample_rate, std::size_t latency_frames);

    void apply(EngineUpdate update);

    // The margin for these gains, or nullopt while there is no room. Holds the model's lock for
    // the computation (a few milliseconds).
    std::optional<RoomMargin> margin(const LoopGains& gains) const;

  private:
    mutable std::mutex mutex_;
    MixEngine shadow_;
    std::size_t latency_;
};

// The "room" line: "ch" the microphone's input channel, "gain_db" and "f" the highest open-loop
// gain and its frequency, "ring_db" and "ring_hz" the same where the loop is in phase (what rings
// first), "loop_ms" the loop's delay there.
Json room_line(const RoomMargin& m);

inline constexpr auto kRoomReportInterval = std::chrono::milliseconds(100);

// Starts the detached reporter: every 100 ms, while the model has a room, one "room" line; less
// often when one computation takes more than 11 ms, so that it costs at most a tenth of a core.
void start_room_reporter(std::shared_ptr<const LoopModel> model, std::shared_ptr<Meters> meters,
                         std::shared_ptr<std::atomic<bool>> stop);

}  // namespace mixengine
