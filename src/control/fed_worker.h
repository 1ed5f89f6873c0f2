// The wiring of a worker that the engine feeds through sample rings and the command reader steers
// through a channel (the feedback suppressor, the auto-EQ analysis): one end for them, one for
// the worker itself, and what every such worker's passes do with its end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "control/channel.h"
#include "control/update_sender.h"
#include "control/worker.h"
#include "engine/spsc_ring.h"
#include "engine/update.h"

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

// The part of a fed worker that is the same for each: it takes its messages, drains its feeds and
// sends its updates to the engine. The worker is one thread's alone, so nothing here locks but
// the channel and the update sender.
template <class M>
class FedWorker {
  public:
    using Message = M;

  protected:
    // `samples` is the most one drain takes: a ring's worth. Without `updates`, updates go nowhere.
    FedWorker(FedWorkerEnds<Message> ends, std::shared_ptr<UpdateSender> updates,
              std::size_t samples)
        : ends_(std::move(ends)), updates_(std::move(updates)), samples_(samples) {}

    // Never waits.
    std::optional<Message> next_message() { return ends_.commands.try_receive(); }

    // What feed `i` holds, up to a ring's worth, valid until the next drain; empty for a feed the
    // worker was not given. A worker drains every feed on every pass, whether it analyses it or
    // not, so that no ring fills while its work is off.
    std::span<const float> drain(std::size_t i) {
        if (i >= ends_.feeds.size() || !ends_.feeds[i].valid()) return {};
        return {samples_.data(), ends_.feeds[i].pop_some(samples_.data(), samples_.size())};
    }

    void send(EngineUpdate update) {
        if (updates_) updates_->send(std::move(update));
    }

  private:
    FedWorkerEnds<Message> ends_;
    std::shared_ptr<UpdateSender> updates_;
    std::vector<float> samples_;
};

// What a fed worker's thread is made of besides the worker itself.
struct FedThreadSpec {
    std::size_t feeds = 0;                           // places watched
    std::size_t samples = 0;                         // of each feed ring
    std::chrono::steady_clock::duration interval{};  // from the end of one pass to the next
    std::string_view failure_text;                   // its warning line's text
};

// Creates the channel and the feed rings and starts an optional detached thread that owns a
// `Worker` (a FedWorker with a constructor from its ends, `updates` and `rate`, and its thread's
// spec as `Worker::kThread`), calling `pass(seconds since it started)` every interval until `stop`
// is set. Without a stop flag no thread starts: the rings simply fill and drop samples. Returns
// the other ends.
template <class Worker>
FedWorkerLinks<typename Worker::Message> start_fed_thread(std::shared_ptr<UpdateSender> updates,
                                                          std::shared_ptr<std::atomic<bool>> stop,
                                                          float rate) {
    const FedThreadSpec& spec = Worker::kThread;
    auto [links, ends] = make_fed_worker<typename Worker::Message>(spec.feeds, spec.samples);
    if (!stop) return std::move(links);
    auto worker = std::make_unique<Worker>(std::move(ends), std::move(updates), rate);
    start_worker(WorkerSpec::optional(spec.failure_text), [worker = std::move(worker),
                                                           stop = std::move(stop)]() {
        const auto origin = std::chrono::steady_clock::now();
        while (!stop->load()) {
            const std::chrono::duration<double> now = std::chrono::steady_clock::now() - origin;
            worker->pass(now.count());
            sleep_fully(Worker::kThread.interval);
        }
    });
    return std::move(links);
}

}  // namespace mixengine
