// The listen sender: drains the engine's listen ring and sends the chosen signal to the front end
// as 10 ms datagrams on the loopback interface, while the front end has listening switched on.
// A datagram is raw stereo PCM in ring order (left, right, ...), without header: signed 16-bit
// little-endian with triangular dither, or signed 24-bit packed in three bytes, low byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "control/shared_state.h"
#include "engine/spsc_ring.h"

namespace mixengine {

// Triangular dither source: a 32-bit xorshift generator owned by one sender thread.
class ListenDither {
  public:
    // Advances once; the top 24 bits as a number in [0, 1).
    float next() noexcept {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 17;
        s_ ^= s_ << 5;
        return static_cast<float>(s_ >> 8) * 0x1p-24f;
    }

  private:
    uint32_t s_ = 0x9e3779b9u;
};

// Samples per datagram: 10 ms of stereo frames, (rate / 100) * 2 with integer division.
std::size_t listen_packet_samples(float rate) noexcept;

// One sample as three bytes, least significant first (clamped to full scale; NaN is silence).
void encode_listen_24(float x, uint8_t* out) noexcept;
// One sample as two bytes, least significant first, after adding plus or minus one 16-bit step
// of triangular dither.
void encode_listen_16(float x, ListenDither& dither, uint8_t* out) noexcept;

// The sender's work, apart from its thread: a UDP socket bound to an ephemeral loopback port, the
// packet buffers and the dither.
class ListenSender {
  public:
    ListenSender(std::shared_ptr<ControlState> state, RingConsumer<float> ring, std::size_t packet);
    ~ListenSender();
    ListenSender(const ListenSender&) = delete;
    ListenSender& operator=(const ListenSender&) = delete;

    // False when the socket could not be bound: there is no listen stream for this run.
    bool ready() const noexcept { return fd_ >= 0; }

    // Copies the settings, then takes every whole packet from the ring and sends it, or throws it
    // away while listening is off. A datagram nobody receives is simply lost.
    void drain() noexcept;

  private:
    std::shared_ptr<ControlState> state_;
    RingConsumer<float> ring_;
    std::size_t packet_;
    std::vector<float> samples_;
    std::vector<uint8_t> bytes_;
    ListenDither dither_;
    int fd_ = -1;
};

// Creates the listen ring (one second of stereo pairs: 2 * rate samples) and starts the detached
// sender, which reads the listen settings from `state` and ends when its stop flag is set.
// Returns the ring's producing end for the engine.
RingProducer<float> start_listen_sender(std::shared_ptr<ControlState> state, float rate);

}  // namespace mixengine
