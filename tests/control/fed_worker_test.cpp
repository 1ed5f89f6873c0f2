// The part every fed worker shares: its messages, its drained feeds and its thread.
#include "control/fed_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace mixengine {
namespace {

// Counts what each pass drains from each feed and which messages it takes.
class CountingWorker : public FedWorker<int> {
  public:
    static const FedThreadSpec kThread;

    CountingWorker(FedWorkerEnds<int> ends, std::shared_ptr<UpdateSender> updates, float)
        : FedWorker(std::move(ends), std::move(updates), kThread.samples) {}

    void pass(double now_s) {
        while (auto m = next_message()) messages.push_back(*m);
        for (std::size_t i = 0; i < drained.size(); ++i) drained[i] += drain(i).size();
        last_now_s.store(now_s);
        passes.fetch_add(1);
    }

    std::vector<int> messages;
    std::vector<std::size_t> drained = std::vector<std::size_t>(4, 0);
    std::atomic<double> last_now_s{-1.0};
    std::atomic<int> passes{0};
};

const FedThreadSpec CountingWorker::kThread{3, 8, std::chrono::milliseconds(1), "gone"};

TEST(FedWorker, APassTakesEveryMessageAndAtMostARingOfEachFeedItWasGiven) {
    struct Case {
        const char* name;
        std::vector<std::size_t> pushed;   // into feeds 0, 1, 2
        std::size_t feeds_given;           // the worker sees only the first ones
        std::vector<std::size_t> drained;  // by one pass, feeds 0..3
    };
    const Case cases[] = {
        {"nothing waiting", {0, 0, 0}, 3, {0, 0, 0, 0}},
        {"some of each", {1, 5, 8}, 3, {1, 5, 8, 0}},
        {"a feed not given is not read", {2, 3, 4}, 1, {2, 0, 0, 0}},
        {"no feeds at all", {2, 3, 4}, 0, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto [links, ends] = make_fed_worker<int>(CountingWorker::kThread.feeds, 8);
        ends.feeds.resize(c.feeds_given);
        CountingWorker worker(std::move(ends), nullptr, 48000.0f);
        for (std::size_t f = 0; f < c.pushed.size(); ++f) {
            const std::vector<float> x(c.pushed[f], 0.25f);
            ASSERT_EQ(links.feeds[f].push_some(x.data(), x.size()), x.size());
        }
        links.commands.send(7);
        links.commands.send(9);
        worker.pass(0.0);
        EXPECT_EQ(worker.messages, (std::vector<int>{7, 9}));
        EXPECT_EQ(worker.drained, c.drained);
        // Whatever was drained is gone: a second pass finds the rings as it left them.
        worker.pass(0.0);
        EXPECT_EQ(worker.drained, c.drained);
    }
}

TEST(FedWorker, AFeedEmptiedByOnePassTakesARingsWorthAtATime) {
    auto [links, ends] = make_fed_worker<int>(1, 8);
    CountingWorker worker(std::move(ends), nullptr, 48000.0f);
    const std::vector<float> x(8, 1.0f);
    for (int round = 1; round <= 3; ++round) {
        ASSERT_EQ(links.feeds[0].push_some(x.data(), x.size()), 8u);
        worker.pass(0.0);
        EXPECT_EQ(worker.drained[0], 8u * static_cast<std::size_t>(round));
        EXPECT_EQ(links.feeds[0].free_slots(), 8u);
    }
}

// A worker its test can watch from outside its thread.
class WatchedWorker : public CountingWorker {
  public:
    WatchedWorker(FedWorkerEnds<int> ends, std::shared_ptr<UpdateSender> updates, float rate)
        : CountingWorker(std::move(ends), std::move(updates), rate) {
        watched.store(this);
    }
    static inline std::atomic<WatchedWorker*> watched{nullptr};
};

TEST(FedWorker, WithoutAStopFlagNoThreadStartsAndTheEndsStillWork) {
    WatchedWorker::watched.store(nullptr);
    auto links = start_fed_thread<WatchedWorker>(nullptr, nullptr, 48000.0f);
    ASSERT_EQ(links.feeds.size(), CountingWorker::kThread.feeds);
    links.commands.send(1);  // goes nowhere, and does not fail
    const std::vector<float> x(8, 1.0f);
    EXPECT_EQ(links.feeds[2].push_some(x.data(), x.size()), 8u);
    EXPECT_EQ(WatchedWorker::watched.load(), nullptr);
}

TEST(FedWorker, TheThreadPassesWithItsOwnClockUntilStopped) {
    WatchedWorker::watched.store(nullptr);
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto links = start_fed_thread<WatchedWorker>(nullptr, stop, 48000.0f);
    const std::vector<float> x(8, 1.0f);
    ASSERT_EQ(links.feeds[1].push_some(x.data(), x.size()), 8u);
    // Drained whatever the thread's pace; its clock starts at 0 and goes forward.
    while (links.feeds[1].free_slots() < 8)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    WatchedWorker* worker = WatchedWorker::watched.load();
    ASSERT_NE(worker, nullptr);
    const int passes = worker->passes.load();
    while (worker->passes.load() < passes + 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(worker->last_now_s.load(), 0.0);
    stop->store(true);
}

}  // namespace
}  // namespace mixengine
