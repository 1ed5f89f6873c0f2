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
// Two microphone channels make one loop of two: a 2x2 matrix whose entry (i, j) is what channel
// j brings back into channel i, ringing where one of its eigenvalues is in phase, which counts
// the sound that goes round through both microphones.
//
// Approximations: the dynamics are frozen at their present gains (a compressor that pulls down
// while the room howls makes the real loop a little more stable than reported); with three
// microphone channels or more each one's loop is taken on its own (a loop that passes through
// two of them is not counted); bleed reduction and the preamp's clip are left out; and the grid
// is at most 8192 points, so a loop longer than about 0.2 s (a strip delay of hundreds of
// milliseconds) is sampled too coarsely to find all of its in-phase frequencies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "mix_engine_state.h"
#include "room.h"

namespace mixengine {

// Reads the gains from the engine's state: the gate's gain, the compressor's output factor
// (make-up and mix included), the automixer's target.
LoopGains present_loop_gains(const MixEngine::State& s) noexcept;

// The margin of `room` in the console `s`, with `latency_frames` of console delay in every loop.
// Pure: reads the designs and settings, changes nothing; allocates nothing either.
RoomMargin room_margin(const MixEngine::State& s, const Room& room, const LoopGains& gains,
                       std::size_t latency_frames) noexcept;

}  // namespace mixengine
