// The console's internals, private to the engine's own sources; tests and benchmarks reach the few
// they need through EngineProbe. Every buffer here has its final size once the engine is built.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "automixer.h"
#include "biquad.h"
#include "bleed.h"
#include "dynamics.h"
#include "engine_probe.h"
#include "loudness.h"
#include "mix_engine.h"
#include "notch.h"
#include "room.h"

namespace mixengine {

using ChunkBuffer = std::array<float, MixEngine::kMaxChunk>;

// A gain that moves linearly to its target across one chunk.
struct Ramp {
    float cur = 0.0f;
    float target = 0.0f;
    bool silent() const noexcept { return cur == 0.0f && target == 0.0f; }
};

struct Strip {
    explicit Strip(float sample_rate);

    StripCfg cfg;
    ChunkBuffer buf_in{};    // input, then gated
    bool has_input = false;  // whether the patch gives this strip a channel the device has
    ChunkBuffer bleed_ref{};        // the bleed reducer's copy of its reference strip's input
    bool bleed_ref_taken = false;  // false when that strip has no input
    ChunkBuffer buf_proc{};  // after EQ, auto-EQ and compressor: the pre-fader signal
    ChunkBuffer buf_out{};   // after automixer and fader: the post-fader signal
    std::vector<float> delay_line;
    std::size_t delay_write = 0;
    std::size_t delay = 0;  // samples
    BiquadCascade hpf, eq, peq, geq, aeq;
    BleedReducer bleed;
    Gate gate;
    Compressor dyn;
    Ramp gain{1.0f, 1.0f};
    Ramp fader{1.0f, 1.0f};
    Ramp to_l{0.70710677f, 0.70710677f};
    Ramp to_r{0.70710677f, 0.70710677f};
    Ramp to_mono;
    Ramp amix_gain{1.0f, 1.0f};
    AutomixMember amix_member;
    float amix_power = 0.0f;
    std::array<Ramp, kBuses> sends{};
    bool aeq_on = false;
    // Leading samples of buf_proc and buf_out known to be silence (+0), while the lane path skips
    // the strip as idle.
    std::size_t silent_len = 0;
};

// Each of the eight buses, and the mono bus.
struct Bus {
    explicit Bus(float sample_rate) : dyn(sample_rate) {}

    ChunkBuffer sum{};
    ChunkBuffer work{};
    BiquadCascade eq, peq, geq, aeq;
    bool aeq_on = false;
    Compressor dyn;
    Ramp fader{1.0f, 1.0f};
    Ramp to_l, to_r, to_mono;
};

struct MixEngine::State {
    explicit State(float sample_rate);

    float sample_rate;
    std::vector<Strip> strips;
    std::vector<Bus> buses;
    Bus mono;

    StereoBiquadCascade main_eq, main_peq, main_geq, main_aeq;
    Compressor main_dyn;
    Ramp main_fader{1.0f, 1.0f};
    bool main_aeq_on = false;
    ChunkBuffer main_l{}, main_r{};
    ChunkBuffer scratch_mid{};
    std::array<float, 2 * kBiquadLanes * MixEngine::kMaxChunk> lane_scratch{};  // interleaved lanes
    // The gathered stages of each set of channels the lane path runs together, kept between
    // chunks: strips and buses eight at a time, main's sides beside mono.
    struct {
        std::array<LanePlan, kStrips / kBiquadLanes> strip_hpf, strip_eq, strip_aeq;
        std::array<LanePlan, kBuses / kBiquadLanes> bus_eq, bus_aeq;
        LanePlan out_eq, out_aeq;
    } plans;
    BlockPath path = BlockPath::Lanes;
    std::array<float, 2 * MixEngine::kMaxChunk> scratch_listen{};

    std::vector<int32_t> input_map;
    std::vector<OutputRoute> output_routes;

    std::vector<NotchCascade> notch_cascades;  // by watched output (kWatchedMain, ...)
    std::array<HowlSim, kOutputsWatched> howl{};
    std::array<bool, kOutputsWatched> fba_feed_on{};
    std::vector<RingProducer<float>> fba_rings;  // by watched output
    std::vector<RingProducer<float>> aeq_rings;  // by auto-EQ target (auto_eq_strip(0), ...)
    RingProducer<float> listen_ring;

    AnalyserSource analyser_select;
    std::optional<SignalSource> loud_select;
    std::optional<SignalSource> listen_select;
    LoudnessMeter loudness;
    AutomixGroups amix;
    Room room;  // the practice room's acoustic paths; inactive unless configured
};

}  // namespace mixengine
