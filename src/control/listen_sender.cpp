#include "control/listen_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <vector>

#include "control/worker.h"
#include "engine/numeric.h"

namespace mixengine {

namespace {

constexpr auto kIdle = std::chrono::milliseconds(3);

sockaddr_in loopback(uint16_t port) noexcept {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

ListenSender::ListenSender(std::shared_ptr<ControlState> state, RingConsumer<float> ring,
                           std::size_t packet)
    : state_(std::move(state)),
      ring_(std::move(ring)),
      packet_(packet),
      samples_(packet),
      bytes_(3 * packet) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    const sockaddr_in self = loopback(0);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

ListenSender::~ListenSender() {
    if (fd_ >= 0) ::close(fd_);
}

void ListenSender::drain() noexcept {
    // Converted even while off, so the ring never fills while nobody listens. The settings are
    // read for each packet once its samples are there: whatever was set before the engine wrote
    // them is then seen, so the first packet after listening is switched on is not lost.
    while (packet_ > 0 && ring_.available() >= packet_) {
        const ListenSettings settings = state_->listen_copy();
        const bool wide = settings.bits == 24;
        const sockaddr_in to = loopback(settings.port);
        ring_.pop_some(samples_.data(), packet_);
        uint8_t* out = bytes_.data();
        if (wide) {
            for (const float x : samples_) {
                encode_listen_24(x, out);
                out += 3;
            }
        } else {
            for (const float x : samples_) {
                encode_listen_16(x, dither_, out);
                out += 2;
            }
        }
        if (settings.on && fd_ >= 0) {
            (void)::sendto(fd_, bytes_.data(), static_cast<std::size_t>(out - bytes_.data()),
                           MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
    }
}

std::size_t listen_packet_samples(float rate) noexcept {
    return saturating_cast<std::size_t>(rate) / 100 * 2;
}

void encode_listen_24(float x, uint8_t* out) noexcept {
    const int32_t v = saturating_cast<int32_t>(std::round(clamp_output(x) * 8388607.0f));
    const auto u = static_cast<uint32_t>(v);
    out[0] = static_cast<uint8_t>(u);
    out[1] = static_cast<uint8_t>(u >> 8);
    out[2] = static_cast<uint8_t>(u >> 16);
}

void encode_listen_16(float x, ListenDither& dither, uint8_t* out) noexcept {
    const float u1 = dither.next();
    const float u2 = dither.next();
    const float d = (u1 - u2) * 0x1p-15f;
    int32_t v = saturating_cast<int32_t>(std::round(clamp_output(x + d) * 32767.0f));
    v = v < -32768 ? -32768 : (v > 32767 ? 32767 : v);
    const auto u = static_cast<uint16_t>(v);
    out[0] = static_cast<uint8_t>(u);
    out[1] = static_cast<uint8_t>(u >> 8);
}

RingProducer<float> start_listen_sender(std::shared_ptr<ControlState> state, float rate) {
    auto [producer, consumer] = make_spsc_ring<float>(2 * saturating_cast<std::size_t>(rate));
    auto sender =
        std::make_unique<ListenSender>(state, std::move(consumer), listen_packet_samples(rate));
    // Without it (or without a socket) the engine keeps dropping its chunks into a full ring.
    start_worker(WorkerSpec::optional("Listening has stopped: the engine ran out of memory or "
                                      "threads. Restart it to listen again."),
                 [stop = state->stop, sender = std::move(sender)] {
                     if (!sender->ready()) return;
                     for (;;) {
                         sender->drain();
                         sleep_fully(kIdle);
                         if (stop->load()) return;
                     }
                 });
    return std::move(producer);
}

}  // namespace mixengine
