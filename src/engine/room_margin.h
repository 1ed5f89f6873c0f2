// Gain before feedback: how far the console, as it is set now, is from ringing in its room.
//
// For each microphone channel the open-loop gain L(f) is the sum, over the paths into that
// channel, of the path's designed response times the console's linear transfer from that input
// channel to the path's loudspeaker signal: every strip the input map gives the channel (input
// gain and polarity, delay, high-pass, the gate at its present gain, the four equalisers, the
// compressor at its present gain, the automixer, the fader), its pan and mono level, its sends at
// their taps, each bus, main and mono with their equalisers, compressors at their present gain,
// notches and faders. Gains are taken at their ramp targets. The frequencies where the loop is in
// phase (L(f) real and positive) are where a tone can build up; the highest |L| among them is the
// one that rings first, at 20 log10 |L| dB per loop delay.
//
// Approximations: the dynamics are frozen at their present gains (a compressor that pulls down
// while the room howls makes the real loop a little more stable than reported); each microphone's
// loop is taken on its own (a loop that passes through two microphones is not counted); bleed
// reduction and the preamp's clip are left out; and the grid is at most 8192 points, so a loop
// longer than about 0.2 s (a strip delay of hundreds of milliseconds) is sampled too coarsely to
// find all of its in-phase frequencies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "mix_engine_state.h"
#include "room.h"

namespace mixengine {

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

// Reads the gains from the engine's state: the gate's gain, the compressor's output factor
// (make-up and mix included), the automixer's target.
LoopGains present_loop_gains(const MixEngine::State& s) noexcept;

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

// The margin of `room` in the console `s`, with `latency_frames` of console delay in every loop.
// Pure: reads the designs and settings, changes nothing; allocates nothing either.
RoomMargin room_margin(const MixEngine::State& s, const Room& room, const LoopGains& gains,
                       std::size_t latency_frames) noexcept;

}  // namespace mixengine
