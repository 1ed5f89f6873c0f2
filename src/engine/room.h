// The practice room: acoustic paths from the console's loudspeakers back into its microphones.
//
// A path carries one output signal (main left or right, mono, or a bus: the PA, a wedge) to one
// input channel, before any strip, so the input map decides which strip hears it. What reaches
// the microphone is the loudspeaker's band (12 dB/octave high-pass and low-pass), the direct sound
// after its distance at 343 m/s, a few early reflections drawn from the path's seed (later, weaker,
// and dulled by a gentle low-pass for the absorption of the walls) and, optionally, the
// microphone's proximity lift (a low shelf at 200 Hz). `db` is the direct sound's gain at 1 kHz:
// loudspeaker sensitivity, distance loss and pickup in one number.
//
// On top of the distance, every path is delayed by the chunk being processed: what the console
// plays during one chunk is heard at the start of the next, so a loop is never shorter than the
// console's own input-to-output path, as on a real desk. Each microphone channel also hears a
// -90 dBFS noise floor (an empty stage still rings) and passes the preamp's soft clip, which
// bounds a runaway howl just below full scale and turns anything non-finite into silence.
//
// Everything is designed in configure(); hear() and play() only run finished designs over buffers
// sized there.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "biquad.h"
#include "meters.h"
#include "signals.h"

namespace mixengine {

inline constexpr std::size_t kRoomPaths = 8;
inline constexpr std::size_t kRoomReflections = 8;
inline constexpr float kSpeedOfSound = 343.0f;  // m/s
inline constexpr float kRoomMaxMetres = 50.0f;
inline constexpr float kRoomNoiseDbfs = -90.0f;  // RMS of each microphone's noise floor

struct RoomPathCfg {
    OutputRoute from{OutputRoute::Kind::MainL};  // MainL, MainR, Mono or Bus; others are unusable
    int32_t ch = 0;                              // the microphone's input channel
    float m = 3.0f;                              // distance, metres (0 to 50)
    float db = -20.0f;                           // direct sound's gain at 1 kHz
    float hp = 90.0f;                            // loudspeaker's lower corner, Hz
    float lp = 12000.0f;                         // loudspeaker's upper corner, Hz
    uint32_t refl = 4;                           // early reflections (at most 8)
    float absorb_hz = 5000.0f;                   // the reflections' low-pass corner, Hz
    float prox_db = 0.0f;                        // proximity lift below 200 Hz, dB
    uint32_t seed = 1;                           // draws the reflections
    bool operator==(const RoomPathCfg&) const = default;
};

struct RoomCfg {
    std::vector<RoomPathCfg> paths;  // the first 8 usable ones are built; empty: no room
    bool operator==(const RoomCfg&) const = default;
};

struct RoomTap {
    uint32_t delay = 0;  // samples after the direct sound
    float gain = 0.0f;   // linear, relative to the direct sound
};

// One path, designed: everything the block processor and the margin need.
struct RoomPathDesign {
    OutputRoute from;
    int32_t ch = 0;
    uint32_t direct_delay = 0;  // samples of distance (the chunk's own delay comes on top)
    std::array<RoomTap, kRoomReflections> taps{};
    std::size_t tap_count = 0;
    float absorb = 0.0f;  // one-pole coefficient: y = (1 - a) x + a y'
    std::array<BiquadCoeffs, 3> band{};
    std::size_t band_count = 0;
    float level = 0.0f;  // linear; scales the direct sound to `db` at 1 kHz
};

// Whether a path can exist: its signal is a loudspeaker feed and its channel an input.
bool room_path_usable(const RoomPathCfg& cfg) noexcept;

// Pure design of one path at a sample rate; the same seed gives the same reflections.
RoomPathDesign design_room_path(const RoomPathCfg& cfg, double sample_rate);

// The path's response at f_hz, with `latency_frames` of console delay on top of its own.
std::complex<double> room_path_response(const RoomPathDesign& path, double f_hz,
                                        double sample_rate, std::size_t latency_frames) noexcept;

// The preamp's soft clip: the identity up to half scale, then a smooth bend that never reaches
// full scale. Anything non-finite becomes 0.
inline float preamp_clip(float x) noexcept {
    constexpr float knee = 0.5f;
    const float a = x < 0.0f ? -x : x;
    if (a <= knee) return x;  // NaN fails every comparison and falls through
    if (!(a <= 3.0e38f)) return 0.0f;
    const float over = a - knee;
    const float y = knee + (1.0f - knee) * over / ((1.0f - knee) + over);
    return x < 0.0f ? -y : y;
}

// The dynamics' present linear gains, as the engine has them at the end of a chunk.
struct LoopGains {
    std::array<float, kStrips> gate, comp, amix;
    std::array<float, kBuses> bus_comp;
    float main_comp = 1.0f;
    float mono_comp = 1.0f;
    LoopGains() noexcept {
        gate.fill(1.0f);
        comp.fill(1.0f);
        amix.fill(1.0f);
        bus_comp.fill(1.0f);
    }
};

// Through Meters, for the thread that reports the margin.
void publish_loop_gains(const LoopGains& gains, Meters& meters) noexcept;
LoopGains read_loop_gains(const Meters& meters) noexcept;

inline constexpr float kRoomFloorDb = -120.0f;

struct RoomMargin {
    int32_t ch = -1;                // the microphone whose loop rings first; -1 without a loop
    float gain_db = kRoomFloorDb;   // its highest open-loop gain over frequency
    float freq_hz = 0.0f;           // where that is
    float ring_db = kRoomFloorDb;   // its highest open-loop gain where the loop is in phase
    float ring_hz = 0.0f;           // where that is: the frequency that rings first
    float loop_ms = 0.0f;           // the loop's delay there (group delay), ms
};

class Room {
  public:
    explicit Room(float sample_rate);

    // Designs every usable path and sizes its buffers; an empty list removes the room.
    void configure(const RoomCfg& cfg);

    bool active() const noexcept { return count_ > 0; }
    std::span<const RoomPathDesign> paths() const noexcept { return {designs_.data(), count_}; }
    // Frames of the last chunk heard: the console's part of every loop's delay.
    std::size_t latency_frames() const noexcept { return latency_; }

    // Chunk start: every microphone channel becomes its device input (when the device has it)
    // plus what its paths bring back plus the noise floor, through the preamp's clip.
    void hear(std::span<const float> input, std::size_t in_channels, std::size_t n) noexcept;
    // The microphone signal of input channel `ch` for this chunk, or null when no path feeds it.
    const float* channel(int32_t ch) const noexcept {
        for (std::size_t m = 0; m < mic_count_; ++m)
            if (mic_ch_[m] == ch) return mics_[m].data();
        return nullptr;
    }

    // The paths in use, in order, and the output each one's loudspeaker plays: the console looks
    // the signals up with the same lookup as its output routes, so a loudspeaker plays exactly
    // what the converter does.
    std::size_t path_count() const noexcept { return count_; }
    const OutputRoute& path_source(std::size_t p) const noexcept { return designs_[p].from; }
    // Chunk end: what each path's loudspeaker played (`played[p]`, null for silence), clipped at
    // full scale like a converter.
    void play(std::span<const float* const> played, std::size_t n) noexcept;

  private:
    struct PathState {
        std::vector<float> ring;  // the loudspeaker's past output, a power of two long
        std::size_t mask = 0;
        float absorb_y = 0.0f;
        std::array<BiquadState, 3> band{};
        std::size_t mic = 0;  // index into mics_
    };

    float sample_rate_;
    std::size_t count_ = 0;
    std::size_t latency_ = 256;
    uint64_t written_ = 0;  // samples each ring has taken
    std::array<RoomPathDesign, kRoomPaths> designs_{};
    std::array<PathState, kRoomPaths> states_{};
    std::size_t mic_count_ = 0;
    std::array<int32_t, kRoomPaths> mic_ch_{};
    std::vector<std::array<float, 2048>> mics_;
    std::vector<float> direct_, reflected_;
    uint32_t noise_ = 1;
};

}  // namespace mixengine
