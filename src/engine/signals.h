// Names for the signals of the console that other parts can select: loudness and listen sources,
// analyser sources and output routes. Strip and bus indices are zero-based here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mixengine {

inline constexpr std::size_t kStrips = 32;
inline constexpr std::size_t kBuses = 8;

// The outputs the feedback suppressor watches, each with its notches, practice howl and feed:
// main, mono, then the buses in order.
inline constexpr std::size_t kWatchedMain = 0;
inline constexpr std::size_t kWatchedMono = 1;
constexpr std::size_t watched_bus(std::size_t bus) noexcept {
    return 2 + bus;
}
inline constexpr std::size_t kOutputsWatched = watched_bus(kBuses);

// The auto-EQ's targets, each with its correction and feed: the strips, the buses, main, mono.
constexpr std::size_t auto_eq_strip(std::size_t strip) noexcept {
    return strip;
}
constexpr std::size_t auto_eq_bus(std::size_t bus) noexcept {
    return kStrips + bus;
}
inline constexpr std::size_t kAutoEqMain = auto_eq_bus(kBuses);
inline constexpr std::size_t kAutoEqMono = kAutoEqMain + 1;
inline constexpr std::size_t kAutoEqTargets = kAutoEqMono + 1;

// A strip's signals that selections tap: after its gate (the send tap 0), after its compressor,
// which is before its fader (the pre-fader signal), and after its fader.

// Loudness meter and listen stream input. For strips, after the fader or before it.
struct SignalSource {
    enum class Kind : uint8_t { Main, Mono, Bus, Strip };
    Kind kind = Kind::Main;
    uint32_t index = 0;
    bool post_fader = true;
    bool operator==(const SignalSource&) const = default;
};

// Analyser input. For strips, after the compressor or after the gate (the protocol's "post" and
// plain "in.N").
struct AnalyserSource {
    enum class Kind : uint8_t { None, Strip, Bus, Main, Mono };
    Kind kind = Kind::None;
    uint32_t index = 0;
    bool after_compressor = false;
    bool operator==(const AnalyserSource&) const = default;
};

// What one output channel plays. For strips, after the fader or before it.
struct OutputRoute {
    enum class Kind : uint8_t { Off, MainL, MainR, Mono, Bus, Strip };
    Kind kind = Kind::Off;
    uint32_t index = 0;
    bool post_fader = false;
    bool operator==(const OutputRoute&) const = default;
};

}  // namespace mixengine
