// The narrow way into the engine for tests and benchmarks: which path a chunk takes, and a few
// settled values that neither the meters nor the outputs show. The application never uses it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mix_engine.h"

namespace mixengine {

// Lanes: the filters, gates and compressors of eight channels run side by side, the path every
// block takes in the application. OneAtATime: one strip after another, then one output after
// another, one channel per filter run; the lanes are held to its results bit for bit.
enum class BlockPath : uint8_t { Lanes, OneAtATime };

class EngineProbe {
  public:
    explicit EngineProbe(MixEngine& engine) noexcept : s_(*engine.s_) {}

    void set_path(BlockPath path) noexcept;

    // Where a strip's ramps are heading (linear), and where its automixer gain is now.
    float strip_gain_target(std::size_t strip) const noexcept;
    float send_target(std::size_t strip, std::size_t bus) const noexcept;
    float automix_gain(std::size_t strip) const noexcept;
    std::size_t delay_samples(std::size_t strip) const noexcept;

    // Stages of the auto-EQ correction of one target (auto_eq_strip(s), ..., kAutoEqMono).
    std::size_t auto_eq_stages(std::size_t target) const noexcept;

    // Of one watched output (kWatchedMain, kWatchedMono, watched_bus(b)).
    float howl_amplitude(std::size_t output) const noexcept;
    std::size_t notch_count(std::size_t output) const noexcept;

  private:
    MixEngine::State& s_;
};

}  // namespace mixengine
