// Unbounded multi-producer channel. Sends to a channel whose receiver is gone are dropped
// silently. Not for the audio thread: sending allocates and locks.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace mixengine {

namespace detail {
template <typename T>
struct ChannelState {
    std::mutex mutex;
    std::deque<T> queue;
    bool receiver_alive = true;
};
}  // namespace detail

template <typename T>
class Sender {
public:
    Sender() = default;  // sends nowhere
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) {}

    void send(T value) const {
        if (!s_) return;
        std::lock_guard<std::mutex> lock(s_->mutex);
        if (s_->receiver_alive) s_->queue.push_back(std::move(value));
    }

private:
    std::shared_ptr<detail::ChannelState<T>> s_;
};

template <typename T>
class Receiver {
public:
    Receiver() = default;
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        close();
        s_ = std::move(other.s_);
        return *this;
    }
    ~Receiver() { close(); }

    // Never waits.
    std::optional<T> try_receive() {
        if (!s_) return std::nullopt;
        std::lock_guard<std::mutex> lock(s_->mutex);
        if (s_->queue.empty()) return std::nullopt;
        T v = std::move(s_->queue.front());
        s_->queue.pop_front();
        return v;
    }

private:
    void close() {
        if (!s_) return;
        std::lock_guard<std::mutex> lock(s_->mutex);
        s_->receiver_alive = false;
        s_->queue.clear();
    }
    std::shared_ptr<detail::ChannelState<T>> s_;
};

template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto s = std::make_shared<detail::ChannelState<T>>();
    return {Sender<T>(s), Receiver<T>(s)};
}

}  // namespace mixengine
