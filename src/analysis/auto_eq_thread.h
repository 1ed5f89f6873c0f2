// The auto-EQ analysis thread: for each of its 42 targets (0..31 strips, 32..39 buses, 40 main,
// 41 mono) it drains the engine's feed ring, measures the 31 graphic-EQ bands against the target
// curve and sends the correction to the engine.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "control/channel.h"
#include "control/fba_command.h"
#include "control/update_sender.h"
#include "engine/signals.h"
#include "engine/spsc_ring.h"

namespace mixengine {

inline constexpr std::size_t kAutoEqFeedSamples = 32768;

struct AutoEqLinks {
    Sender<AutoEqRequest> requests;          // for the command reader
    std::vector<RingProducer<float>> feeds;  // kAutoEqTargets, for the engine
};

// Creates the request channel and the feed rings and starts the detached thread, which ends when
// `stop` is set.
AutoEqLinks start_auto_eq_thread(std::shared_ptr<UpdateSender> updates,
                                 std::shared_ptr<std::atomic<bool>> stop, float rate);

}  // namespace mixengine
