// The update ring's producing end, shared by every thread that changes the engine (command
// reader, feedback suppressor, auto-EQ) behind one mutex. A full ring makes the sender release
// the lock, sleep 2 ms and try again: no update is ever dropped, and the audio thread never waits.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "engine/spsc_ring.h"
#include "engine/update.h"

namespace mixengine {

class UpdateSender {
public:
    explicit UpdateSender(RingProducer<EngineUpdate> ring) : ring_(std::move(ring)) {}

    // Blocks (in 2 ms sleeps) while the ring is full.
    void send(EngineUpdate update);

    // Gets a copy of every update as it is queued, in queue order. Set before any sender runs.
    void set_observer(std::function<void(EngineUpdate)> observer) { observer_ = std::move(observer); }

private:
    std::mutex mutex_;
    std::function<void(EngineUpdate)> observer_;
    RingProducer<EngineUpdate> ring_;
};

// Creates the update ring (1024 records): the shared sender and the engine owner's consumer end.
std::pair<std::shared_ptr<UpdateSender>, RingConsumer<EngineUpdate>> make_update_ring();

}  // namespace mixengine
