// The real-time halves of the record and play modes. The record callback queues each device
// buffer whole or not at all, so that a full queue drops whole frames and the channel order of
// everything after a drop stays right. The play callback takes queued samples (silence when the
// queue is empty), converts them to the device's type and advances the position by the frames it
// played, underrun or not; while paused it plays silence and the position stands still. Neither
// locks, waits, allocates or prints.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio_host.h"
#include "engine/spsc_ring.h"

namespace mixengine {

using SampleCounter = std::atomic<uint64_t>;

class RecordInput {
  public:
    RecordInput(RingProducer<float> ring, std::shared_ptr<SampleCounter> dropped);

    // Queues the whole block, or counts all of its samples in `dropped` when it does not fit.
    void operator()(const InputBlock& block) noexcept;

  private:
    RingProducer<float> ring_;
    std::shared_ptr<SampleCounter> dropped_;
};

class PlayOutput {
  public:
    PlayOutput(RingConsumer<float> ring, std::shared_ptr<SampleCounter> played,
               std::shared_ptr<std::atomic<bool>> paused, uint16_t outputs);

    void operator()(const OutputBlock& block) noexcept;

  private:
    RingConsumer<float> ring_;
    std::shared_ptr<SampleCounter> played_;
    std::shared_ptr<std::atomic<bool>> paused_;
    std::size_t outputs_;
};

}  // namespace mixengine
