#include "analysis/auto_eq_thread.h"

#include <chrono>
#include <thread>

namespace mixengine {

AutoEqLinks start_auto_eq_thread(std::shared_ptr<UpdateSender> updates,
                                 std::shared_ptr<std::atomic<bool>> stop, float /*rate*/) {
    auto [sender, receiver] = make_channel<AutoEqRequest>();
    AutoEqLinks links{std::move(sender), {}};
    std::vector<RingConsumer<float>> feeds;
    for (std::size_t i = 0; i < kAutoEqTargets; ++i) {
        auto [producer, consumer] = make_spsc_ring<float>(kAutoEqFeedSamples);
        links.feeds.push_back(std::move(producer));
        feeds.push_back(std::move(consumer));
    }
    std::thread([updates = std::move(updates), stop = std::move(stop),
                 requests = std::move(receiver), feeds = std::move(feeds)]() mutable {
        // No analysis yet: requests are taken and the feeds kept from filling.
        while (!stop->load()) {
            while (requests.try_receive()) {
            }
            for (auto& feed : feeds) feed.discard(feed.available());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }).detach();
    return links;
}

}  // namespace mixengine
