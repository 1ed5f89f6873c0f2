// The command reader's links, with every far end held by the caller: the engine's update ring
// and the feedback and auto-EQ channels. No test framework here: the fuzz target shares it.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "control/command_reader.h"

namespace mixengine::testing {

struct CommandReaderEnds {
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<ControlState> state = std::make_shared<ControlState>(stop);
    RingConsumer<EngineUpdate> ring;
    Receiver<FbaCommand> fba;
    Receiver<AutoEqRequest> aeq;
    CommandReaderLinks links;

    CommandReaderEnds() {
        auto [sender, consumer] = make_update_ring();
        ring = std::move(consumer);
        auto [fba_tx, fba_rx] = make_channel<FbaCommand>();
        fba = std::move(fba_rx);
        auto [aeq_tx, aeq_rx] = make_channel<AutoEqRequest>();
        aeq = std::move(aeq_rx);
        links = CommandReaderLinks{sender, state, fba_tx, aeq_tx};
    }
};

}  // namespace mixengine::testing
