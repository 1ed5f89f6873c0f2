#include "control/listen_sender.h"

#include <chrono>
#include <thread>

#include "engine/numeric.h"

namespace mixengine {

RingProducer<float> start_listen_sender(std::shared_ptr<ControlState> state, float rate) {
    auto [producer, consumer] = make_spsc_ring<float>(2 * saturating_cast<std::size_t>(rate));
    std::thread([state = std::move(state), ring = std::move(consumer)]() mutable {
        // Nothing is sent yet: the ring is only kept from filling.
        while (!state->stop->load()) {
            ring.discard(ring.available());
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    }).detach();
    return std::move(producer);
}

}  // namespace mixengine
