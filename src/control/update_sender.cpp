#include "update_sender.h"

#include <chrono>
#include <optional>

#include "control/worker.h"

namespace mixengine {

void UpdateSender::send(EngineUpdate update) {
    std::optional<EngineUpdate> copy;
    if (observer_) copy = update;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (ring_.push(std::move(update))) {
                if (copy) observer_(std::move(*copy));
                return;
            }
        }
        sleep_fully(std::chrono::milliseconds(2));
    }
}

std::pair<std::shared_ptr<UpdateSender>, RingConsumer<EngineUpdate>> make_update_ring() {
    auto [producer, consumer] = make_spsc_ring<EngineUpdate>(kUpdateRingCapacity);
    return {std::make_shared<UpdateSender>(std::move(producer)), std::move(consumer)};
}

}  // namespace mixengine
