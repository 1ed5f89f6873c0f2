// Single-producer single-consumer ring with a capacity fixed at creation. Push fails when full,
// pop fails when empty; neither ever locks, waits or allocates. The two ends are separate handle
// types so that a thread's role is visible where it holds one: exactly one thread may use a given
// end at a time (ends may be moved between threads while nobody uses them).
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace mixengine {

namespace detail {

inline constexpr std::size_t kCacheLine = 64;

template <typename T>
struct SpscRingState {
    explicit SpscRingState(std::size_t capacity) : slots(capacity + 1), size(capacity + 1) {}

    std::vector<T> slots;  // one slot stays empty to tell full from empty
    const std::size_t size;
    alignas(kCacheLine) std::atomic<std::size_t> head{0};  // next slot to read (consumer owns)
    alignas(kCacheLine) std::atomic<std::size_t> tail{0};  // next slot to write (producer owns)

    std::size_t next(std::size_t i) const noexcept { return i + 1 == size ? 0 : i + 1; }
    std::size_t count(std::size_t h, std::size_t t) const noexcept {
        return t >= h ? t - h : t + size - h;
    }
};

// What either end holds: the shared ring. One holder per end: ends move, never copy.
template <typename T>
class RingEnd {
  public:
    RingEnd() = default;
    explicit RingEnd(std::shared_ptr<SpscRingState<T>> s) : s_(std::move(s)) {}
    RingEnd(RingEnd&&) noexcept = default;
    RingEnd& operator=(RingEnd&&) noexcept = default;
    RingEnd(const RingEnd&) = delete;
    RingEnd& operator=(const RingEnd&) = delete;

    bool valid() const noexcept { return s_ != nullptr; }
    std::size_t capacity() const noexcept { return s_->size - 1; }

  protected:
    ~RingEnd() = default;
    std::shared_ptr<SpscRingState<T>> s_;
};

}  // namespace detail

template <typename T>
class RingProducer : public detail::RingEnd<T> {
  public:
    using detail::RingEnd<T>::RingEnd;

    // Wait-free. Returns false (and leaves `v` untouched) when the ring is full.
    bool push(T&& v) noexcept(std::is_nothrow_move_assignable_v<T>) {
        const std::size_t t = s_->tail.load(std::memory_order_relaxed);
        const std::size_t n = s_->next(t);
        if (n == s_->head.load(std::memory_order_acquire)) return false;
        s_->slots[t] = std::move(v);
        s_->tail.store(n, std::memory_order_release);
        return true;
    }
    bool push(const T& v) noexcept(std::is_nothrow_copy_assignable_v<T>) {
        T copy = v;
        return push(std::move(copy));
    }

    // Wait-free. Free slots as seen by the producer (the true number can only be larger).
    std::size_t free_slots() const noexcept {
        const std::size_t t = s_->tail.load(std::memory_order_relaxed);
        const std::size_t h = s_->head.load(std::memory_order_acquire);
        return this->capacity() - s_->count(h, t);
    }

    // Wait-free. Pushes as many of the n values as fit, in order; returns how many.
    std::size_t push_some(const T* v, std::size_t n) noexcept {
        const std::size_t room = free_slots();
        const std::size_t m = n < room ? n : room;
        std::size_t t = s_->tail.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < m; ++i) {
            s_->slots[t] = v[i];
            t = s_->next(t);
        }
        s_->tail.store(t, std::memory_order_release);
        return m;
    }

  private:
    using detail::RingEnd<T>::s_;
};

template <typename T>
class RingConsumer : public detail::RingEnd<T> {
  public:
    using detail::RingEnd<T>::RingEnd;

    // Wait-free. Returns false when the ring is empty.
    bool pop(T& out) noexcept(std::is_nothrow_move_assignable_v<T>) {
        const std::size_t h = s_->head.load(std::memory_order_relaxed);
        if (h == s_->tail.load(std::memory_order_acquire)) return false;
        out = std::move(s_->slots[h]);
        s_->head.store(s_->next(h), std::memory_order_release);
        return true;
    }

    // Wait-free. Values available to the consumer (the true number can only be larger).
    std::size_t available() const noexcept {
        const std::size_t h = s_->head.load(std::memory_order_relaxed);
        const std::size_t t = s_->tail.load(std::memory_order_acquire);
        return s_->count(h, t);
    }

    // Wait-free. Pops up to n values into out, in order; returns how many.
    std::size_t pop_some(T* out, std::size_t n) noexcept {
        const std::size_t have = available();
        const std::size_t m = n < have ? n : have;
        std::size_t h = s_->head.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < m; ++i) {
            out[i] = std::move(s_->slots[h]);
            h = s_->next(h);
        }
        s_->head.store(h, std::memory_order_release);
        return m;
    }

    // Wait-free. Drops up to n values from the front; returns how many.
    std::size_t discard(std::size_t n) noexcept {
        const std::size_t have = available();
        const std::size_t m = n < have ? n : have;
        std::size_t h = s_->head.load(std::memory_order_relaxed);
        h = (h + m) % s_->size;
        s_->head.store(h, std::memory_order_release);
        return m;
    }

  private:
    using detail::RingEnd<T>::s_;
};

// Creates a ring that holds up to `capacity` values (allocates; call off the audio thread).
template <typename T>
std::pair<RingProducer<T>, RingConsumer<T>> make_spsc_ring(std::size_t capacity) {
    auto s = std::make_shared<detail::SpscRingState<T>>(capacity);
    return {RingProducer<T>(s), RingConsumer<T>(s)};
}

}  // namespace mixengine
