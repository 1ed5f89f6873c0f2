// Names for the signals of the console that other parts can select: loudness and listen sources,
// analyser sources and output routes. Strip and bus indices are zero-based here.
#pragma once

#include <cstdint>

namespace mixengine {

inline constexpr std::size_t kStrips = 32;
inline constexpr std::size_t kBuses = 8;
inline constexpr std::size_t kOutputsWatched = 10;  // notch cascades: 0 main, 1 mono, 2 + b bus b
inline constexpr std::size_t kAutoEqTargets = 42;   // 0..31 strips, 32..39 buses, 40 main, 41 mono

// Loudness meter and listen stream input. `post` (strips only): after the fader, else before it.
struct SignalSource {
    enum class Kind : uint8_t { Main, Mono, Bus, Strip };
    Kind kind = Kind::Main;
    uint32_t index = 0;
    bool post = true;
    bool operator==(const SignalSource&) const = default;
};

// Analyser input. For strips `post` false taps after the gate, true after the compressor.
struct AnalyserSource {
    enum class Kind : uint8_t { None, Strip, Bus, Main, Mono };
    Kind kind = Kind::None;
    uint32_t index = 0;
    bool post = false;
    bool operator==(const AnalyserSource&) const = default;
};

// What one output channel plays. For strips `post` true is after the fader, false before it.
struct OutputRoute {
    enum class Kind : uint8_t { Off, MainL, MainR, Mono, Bus, Strip };
    Kind kind = Kind::Off;
    uint32_t index = 0;
    bool post = false;
    bool operator==(const OutputRoute&) const = default;
};

}  // namespace mixengine
