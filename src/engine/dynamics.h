// Gate and compressor. Both follow a level detector, turn the level into a target gain in dB,
// and smooth towards it with an attack coefficient when the gain has to fall (the compressor) or
// rise (the gate opening), a release coefficient the other way, and an optional hold that freezes
// the gain for a while before releasing. Times are in milliseconds, levels in dBFS; a ratio of 4
// means 4 dB of input above the threshold give 1 dB of output. Everything runs in single
// precision.
//
// Each processor is split into plain parameters (computed once in configure(), off the hot path)
// and a small state record, so the per-sample step can later be run over several channels at once.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "config.h"

namespace mixengine {

// exp(-1 / (time * fs)) for the attack (at least 0.05 ms) and release (at least 5 ms) times.
struct Ballistics {
    float att = 0.0f;
    float rel = 0.0f;
};
Ballistics ballistics(float attack_ms, float release_ms, float sample_rate) noexcept;

// One channel's gate or compressor, handed to the lane runs at the end of this file.
template <class Params, class State>
struct DynamicsLane {
    const Params* params = nullptr;
    State* state = nullptr;
    float* buf = nullptr;
};

struct GateParams {
    bool active = false;  // a gate is configured and its mode is not "duck"
    float thr_db = 0.0f;
    float open_lin = 0.0f;    // linear level at and above which the gate is surely open
    float closed_lin = 0.0f;  // linear level below which it is surely closed; between: dB decide
    float depth_db = 0.0f;    // -|range|
    float depth_gain = 1.0f;  // linear
    float slope = 0.0f;       // R - 1 for the expanders; 0 marks the plain gate
    float hold_samples = 0.0f;
    float att = 0.0f;
    float rel = 0.0f;
    float env_fall = 0.0f;  // 10 ms detector fall
};

struct GateState {
    float env = 0.0f;   // detector level, linear
    float gain = 1.0f;  // current linear gain
    float hold = 0.0f;  // remaining hold, samples
};

GateParams gate_params(const GateCfg& cfg, float sample_rate) noexcept;

// Gates the buffer in place; returns the smallest gain applied (1.0 when inactive).
float gate_run(const GateParams& p, GateState& st, float* buf, std::size_t n) noexcept;

using GateLane = DynamicsLane<GateParams, GateState>;

class Gate {
  public:
    explicit Gate(float sample_rate) noexcept : sample_rate_(sample_rate) {}

    // Removing the gate opens it fully; other state carries on across settings.
    void configure(const std::optional<GateCfg>& cfg) noexcept;
    float run(float* buf, std::size_t n) noexcept { return gate_run(params_, state_, buf, n); }
    GateLane lane(float* buf) noexcept { return {&params_, &state_, buf}; }

    const GateParams& params() const noexcept { return params_; }
    const GateState& state() const noexcept { return state_; }

  private:
    float sample_rate_;
    GateParams params_;
    GateState state_;
};

struct CompParams {
    bool active = false;    // a DynCfg is configured
    bool expander = false;  // downward expansion below the threshold instead of compression
    bool rms = false;
    float thr_db = 0.0f;
    float quiet_lin = 0.0f;      // linear level surely below the knee: nothing is compressed there
    float ratio = 1.0f;          // at least 1
    float knee_width_db = 0.0f;  // full width: twice the configured half-width
    float makeup = 1.0f;         // linear
    float mix = 1.0f;            // wet share 0..1
    float hold_samples = 0.0f;
    float att = 0.0f;
    float rel = 0.0f;
    float det = 0.0f;  // 20 ms detector
};

struct CompState {
    float env = 0.0f;    // detector level, linear
    float gr_db = 0.0f;  // smoothed gain change, never positive
    float hold = 0.0f;   // remaining hold, samples
};

CompParams comp_params(const DynCfg& cfg, float sample_rate, float det) noexcept;

// Target gain change in dB for a detector level in dB (the static curve).
float comp_target_db(const CompParams& p, float level_db) noexcept;

// Compresses the buffer in place; returns the smallest detector gain (before make-up and mix).
float comp_run(const CompParams& p, CompState& st, float* buf, std::size_t n) noexcept;
// Stereo-linked: one detector on max(|left|, |right|), the same gain on both channels.
float comp_run_linked(const CompParams& p, CompState& st, float* left, float* right,
                      std::size_t n) noexcept;
// The same, one sample after another with the library's log10f and powf: the check the block
// versions are held to (their levels and gains agree within a couple of ulps).
float comp_run_per_sample(const CompParams& p, CompState& st, float* buf, std::size_t n) noexcept;
float comp_run_linked_per_sample(const CompParams& p, CompState& st, float* left, float* right,
                                 std::size_t n) noexcept;

using CompLane = DynamicsLane<CompParams, CompState>;

class Compressor {
  public:
    explicit Compressor(float sample_rate) noexcept;

    // Removing the compressor forgets its gain reduction; other state carries on.
    void configure(const std::optional<DynCfg>& cfg) noexcept;
    float run(float* buf, std::size_t n) noexcept { return comp_run(params_, state_, buf, n); }
    float run_linked(float* left, float* right, std::size_t n) noexcept {
        return comp_run_linked(params_, state_, left, right, n);
    }
    CompLane lane(float* buf) noexcept { return {&params_, &state_, buf}; }

    bool active() const noexcept { return params_.active; }
    const CompParams& params() const noexcept { return params_; }
    const CompState& state() const noexcept { return state_; }

  private:
    float sample_rate_;
    float det_;
    CompParams params_;
    CompState state_;
};

// Up to sixteen gates, or compressors, side by side in SIMD lanes: the detector and smoothing
// recursions of sixteen channels advance together. Each lane does exactly the arithmetic of
// gate_run, or comp_run, on its own channel, so buffers, states and the smallest gain written to
// min_gain[lane] are the same bit for bit. A lane without a buffer, or whose processor is off, is
// left alone and reports 1.
inline constexpr std::size_t kDynamicsLanes = 16;
void gate_run_lanes(std::span<const GateLane> lanes, std::size_t n,
                    std::span<float> min_gain) noexcept;
void comp_run_lanes(std::span<const CompLane> lanes, std::size_t n,
                    std::span<float> min_gain) noexcept;
// The same on the lanes' channels already interleaved: sixteen to a frame, lane l of frame i at
// frames[16 i + l] (a lane without a buffer still has its place), where the result stays.
void gate_run_frames(std::span<const GateLane> lanes, float* frames, std::size_t n,
                     std::span<float> min_gain) noexcept;
void comp_run_frames(std::span<const CompLane> lanes, float* frames, std::size_t n,
                     std::span<float> min_gain) noexcept;

}  // namespace mixengine
