// A fed worker (control/fed_worker.h) with the other ends of its wiring in a test's hands: the
// channel the command reader would send on, the rings the engine would feed and the update ring
// the engine would read. Passes are the test's to make.
#pragma once

#include <memory>
#include <utility>

#include "control/fed_worker.h"
#include "control/update_sender.h"

namespace mixengine::testing {

template <class Worker>
struct FedWorkerRig {
    explicit FedWorkerRig(float rate) {
        auto [our_ends, its_ends] = make_fed_worker<typename Worker::Message>(
            Worker::kThread.feeds, Worker::kThread.samples);
        links = std::move(our_ends);
        auto [sender, consumer] = make_update_ring();
        updates = std::move(consumer);
        worker = std::make_unique<Worker>(std::move(its_ends), std::move(sender), rate);
    }

    FedWorkerLinks<typename Worker::Message> links;
    RingConsumer<EngineUpdate> updates;
    std::unique_ptr<Worker> worker;
};

}  // namespace mixengine::testing
