// The feedback-suppressor thread: for each of the ten outputs (0 main, 1 mono, 2 + b bus b) it
// drains the engine's feed ring, detects howls and keeps the output's notch bank, sending notch
// updates to the engine and reporting on standard output.
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

inline constexpr std::size_t kFeedbackFeedSamples = 65536;

struct FeedbackLinks {
    Sender<FbaCommand> commands;             // for the command reader
    std::vector<RingProducer<float>> feeds;  // kOutputsWatched, for the engine
};

// Creates the command channel and the feed rings and starts the detached thread, which ends when
// `stop` is set.
FeedbackLinks start_feedback_thread(std::shared_ptr<UpdateSender> updates,
                                    std::shared_ptr<std::atomic<bool>> stop, float rate);

}  // namespace mixengine
