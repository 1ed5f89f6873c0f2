#include "suppression/feedback_thread.h"

#include <chrono>
#include <thread>

namespace mixengine {

FeedbackLinks start_feedback_thread(std::shared_ptr<UpdateSender> updates,
                                    std::shared_ptr<std::atomic<bool>> stop, float /*rate*/) {
    auto [sender, receiver] = make_channel<FbaCommand>();
    FeedbackLinks links{std::move(sender), {}};
    std::vector<RingConsumer<float>> feeds;
    for (std::size_t i = 0; i < kOutputsWatched; ++i) {
        auto [producer, consumer] = make_spsc_ring<float>(kFeedbackFeedSamples);
        links.feeds.push_back(std::move(producer));
        feeds.push_back(std::move(consumer));
    }
    std::thread([updates = std::move(updates), stop = std::move(stop),
                 commands = std::move(receiver), feeds = std::move(feeds)]() mutable {
        // No detector yet: commands are taken and the feeds kept from filling.
        while (!stop->load()) {
            while (commands.try_receive()) {
            }
            for (auto& feed : feeds) feed.discard(feed.available());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }).detach();
    return links;
}

}  // namespace mixengine
