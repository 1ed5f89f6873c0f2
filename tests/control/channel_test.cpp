#include "control/channel.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "control/update_sender.h"

namespace mixengine {
namespace {

TEST(Channel, DeliversInOrderPerProducerAndDropsSendsAfterTheReceiverEnds) {
    auto [tx, rx] = make_channel<std::string>();
    constexpr int kEach = 2000;
    auto produce = [tx = tx](char tag) {
        for (int k = 0; k < kEach; ++k) {
            std::string message = std::to_string(k);
            message.insert(message.begin(), tag);
            tx.send(std::move(message));
        }
    };
    std::thread a(produce, 'a'), b(produce, 'b');
    a.join();
    b.join();
    int next_a = 0, next_b = 0;
    while (auto m = rx.try_receive()) {
        int& next = (*m)[0] == 'a' ? next_a : next_b;
        EXPECT_EQ(m->substr(1), std::to_string(next));
        ++next;
    }
    EXPECT_EQ(next_a, kEach);
    EXPECT_EQ(next_b, kEach);

    { Receiver<std::string> ended = std::move(rx); }  // the receiving thread is gone
    tx.send("lost");                                  // neither blocks nor accumulates
    Sender<std::string>{}.send("nowhere");
    EXPECT_FALSE(rx.try_receive().has_value());
}

TEST(UpdateSender, WaitsForRoomInsteadOfDropping) {
    auto [sender, ring] = make_update_ring();
    for (std::size_t k = 0; k < kUpdateRingCapacity; ++k) {
        sender->send(update::ClearNotches{k});
    }
    std::atomic<bool> sent{false};
    std::thread late([&, s = sender] {
        s->send(update::ClearNotches{kUpdateRingCapacity});
        sent = true;
    });
    EngineUpdate u;
    for (std::size_t k = 0; k <= kUpdateRingCapacity; ++k) {
        while (!ring.pop(u)) std::this_thread::yield();  // the last one arrives once room is made
        EXPECT_EQ(std::get<update::ClearNotches>(u).output, k);
    }
    late.join();
    EXPECT_TRUE(sent.load());
}

}  // namespace
}  // namespace mixengine
