// The wiring of a worker that the engine feeds through sample rings and the command reader steers
// through a channel (the feedback suppressor, the auto-EQ analysis): one end for them, one for
// the worker itself.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "control/channel.h"
#include "engine/spsc_ring.h"

namespace mixengine {

template <class Message>
struct FedWorkerLinks {
    Sender<Message> commands;                // for the command reader
    std::vector<RingProducer<float>> feeds;  // one per place watched, in order, for the engine
};

template <class Message>
struct FedWorkerEnds {
    Receiver<Message> commands;
    std::vector<RingConsumer<float>> feeds;
};

// The channel and `count` rings of `samples` each.
template <class Message>
std::pair<FedWorkerLinks<Message>, FedWorkerEnds<Message>> make_fed_worker(std::size_t count,
                                                                           std::size_t samples) {
    auto [sender, receiver] = make_channel<Message>();
    std::pair<FedWorkerLinks<Message>, FedWorkerEnds<Message>> out{
        FedWorkerLinks<Message>{std::move(sender), {}},
        FedWorkerEnds<Message>{std::move(receiver), {}}};
    for (std::size_t i = 0; i < count; ++i) {
        auto [producer, consumer] = make_spsc_ring<float>(samples);
        out.first.feeds.push_back(std::move(producer));
        out.second.feeds.push_back(std::move(consumer));
    }
    return out;
}

}  // namespace mixengine
