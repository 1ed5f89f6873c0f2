// One start-up for the worker threads of the live and simulation modes. It creates the shared
// objects, rings and channels and starts the threads in the order the system relies on (feedback
// suppressor, auto-EQ analysis, listen sender, command reader, spectrum analysis), then hands back
// the ends that the engine's owner needs. Every ring end has exactly one holder.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "control/shared_state.h"
#include "control/update_sender.h"
#include "engine/meters.h"
#include "engine/mix_engine.h"
#include "engine/spsc_ring.h"

namespace mixengine {

// The ring ends the engine feeds; installed once, before the engine goes to its audio thread.
struct EngineFeeds {
    std::vector<RingProducer<float>> fba;  // 10: main, mono, buses
    std::vector<RingProducer<float>> aeq;  // 42: strips, buses, main, mono
    RingProducer<float> listen;

    void install_into(MixEngine& engine);
};

struct WorkerThreadsRequest {
    std::shared_ptr<std::atomic<bool>> stop;
    uint32_t rate = 48000;
    std::size_t output_channels = 1;
    // The live mode's dropout count; the simulation passes none and reports 0.
    std::shared_ptr<std::atomic<uint64_t>> xruns;
    // The simulation's block, in frames: "room" commands build a practice room, whose margin is
    // reported. 0 in the live mode, where the room is real and "room" is ignored.
    std::size_t room_block = 0;
};

// What the engine's owner (output callback or practice loop) takes over.
struct WorkerThreads {
    std::shared_ptr<Meters> meters;
    std::shared_ptr<ControlState> control;
    RingConsumer<EngineUpdate> updates;
    RingProducer<float> analyser;
    EngineFeeds feeds;
};

// Nothing when the command reader cannot run: its error line is out and the stop flag set, and
// the mode ends. The other workers are optional (see control/worker.h).
std::optional<WorkerThreads> start_worker_threads(const WorkerThreadsRequest& request);

}  // namespace mixengine
