// MixEngine: the console. 32 strips, 8 buses, a mono bus and main L/R, processed block by block
// on exactly one thread (the live output callback or the practice loop). Configuration arrives
// only through apply_update between blocks; measurements leave through Meters and SPSC rings.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "meters.h"
#include "room.h"
#include "spsc_ring.h"
#include "update.h"

namespace mixengine {

// Receives the mono samples of the analyser source, once per chunk. A plain function pointer and
// context, so that calling it never allocates.
struct AnalyserSink {
    void* ctx = nullptr;
    void (*fn)(void* ctx, const float* samples, std::size_t frames) = nullptr;

    void operator()(const float* samples, std::size_t frames) const noexcept {
        if (fn) fn(ctx, samples, frames);
    }

    // A sink that pushes into a ring, dropping what does not fit.
    static AnalyserSink to_ring(RingProducer<float>& ring) noexcept {
        return {&ring, [](void* c, const float* s, std::size_t n) {
                    static_cast<RingProducer<float>*>(c)->push_some(s, n);
                }};
    }
};

class MixEngine {
  public:
    static constexpr std::size_t kMaxChunk = 2048;

    // Allocates every buffer and cascade at its final size.
    explicit MixEngine(float sample_rate);
    ~MixEngine();
    MixEngine(const MixEngine&) = delete;
    MixEngine& operator=(const MixEngine&) = delete;

    float sample_rate() const noexcept;

    // Ring ends installed by the start-up code before the engine goes to its audio thread.
    // fba: by watched output (kWatchedMain, kWatchedMono, watched_bus(b)), aeq: by auto-EQ target
    // (auto_eq_strip(s), auto_eq_bus(b), kAutoEqMain, kAutoEqMono); either may be shorter.
    void install_fba_rings(std::vector<RingProducer<float>> rings);
    void install_aeq_rings(std::vector<RingProducer<float>> rings);
    void install_listen_ring(RingProducer<float> ring);

    // Between blocks only. May allocate and free (it installs new configuration).
    void apply_update(EngineUpdate&& update);

    // One device block: interleaved input (frames * in_channels, may be empty) to interleaved
    // output (frames * out_channels, every sample written). Never allocates, locks or waits.
    void process(std::span<const float> input, std::size_t in_channels, std::span<float> output,
                 std::size_t out_channels, Meters& meters, AnalyserSink analyser) noexcept;

    // The practice room's gain before feedback as the console is set now, with `latency_frames`
    // of console delay in every loop (room_margin.h says how). The dynamics count at their
    // present gains, or at `gains` when given (those another thread read from Meters).
    bool has_room() const noexcept;
    RoomMargin room_margin(std::size_t latency_frames,
                           const LoopGains* gains = nullptr) const noexcept;

    struct State;  // defined by the engine's sources alone

  private:
    friend class EngineProbe;
    std::unique_ptr<State> s_;
};

}  // namespace mixengine
