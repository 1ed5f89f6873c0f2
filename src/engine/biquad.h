// Second-order sections: the one filter shape of the console. Coefficients are designed in double
// precision and stored as floats; a stage runs in transposed direct form II over float state.
// H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2).
//
// A cascade keeps its stage states across redesigns, so retuning an equaliser while audio flows
// does not click: the first stages carry on from where they were, stages beyond the old count start
// from silence, and states of dropped stages wait unused until the cascade grows again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "config.h"

namespace mixengine {

struct BiquadCoeffs {
    float b0 = 1.0f;
    float b1 = 0.0f;
    float b2 = 0.0f;
    float a1 = 0.0f;
    float a2 = 0.0f;
    bool operator==(const BiquadCoeffs&) const = default;
};

// Memory of one stage on one channel.
struct BiquadState {
    float s1 = 0.0f;
    float s2 = 0.0f;
    bool operator==(const BiquadState&) const = default;
};

// States whose magnitude falls below this are set to zero after every chunk, so a decaying tail
// never turns into a stream of denormals.
inline constexpr float kBiquadFlushBelow = 1e-20f;
inline constexpr float kBiquadFiniteMax = 3.40282347e+38f;  // largest finite float

// Stages reserved up front so that ordinary designs never reallocate.
inline constexpr std::size_t kCascadeReserve = 32;

// The one-at-a-time form: stages[k] with states[k], one after another over n samples in place
// (over the shorter of the two spans). No flush: each owner decides what its states need after a
// chunk (flush_biquad_state for the equalisers, restart_if_broken for notches and bleed bands).
void run_stages(std::span<const BiquadCoeffs> stages, std::span<BiquadState> states, float* buf,
                std::size_t n) noexcept;

// One stage over n samples in place; the same arithmetic as run_stages.
void run_biquad(const BiquadCoeffs& c, BiquadState& st, float* buf, std::size_t n) noexcept;

void flush_biquad_state(BiquadState& st) noexcept;

// A state that is not finite (an overflow upstream) would stay so for good and silence its
// filter; it starts afresh from silence. Tiny values are left as they are.
void restart_if_broken(std::span<BiquadState> states) noexcept;

// Mono cascade.
class BiquadCascade {
  public:
    BiquadCascade();

    // Installs new stages, keeping the states of the first ones (may allocate past 32 stages).
    void set_stages(std::span<const BiquadCoeffs> stages);
    // Removes every stage; the states stay for a later redesign.
    void clear() noexcept {
        stages_.clear();
        ++version_;
    }

    // Runs every stage over the whole buffer in turn, flushing tiny states after each stage.
    void run(float* buf, std::size_t n) noexcept;

    std::span<const BiquadCoeffs> stages() const noexcept { return stages_; }
    std::span<const BiquadState> states() const noexcept { return states_; }
    std::span<BiquadState> states() noexcept { return states_; }
    bool empty() const noexcept { return stages_.empty(); }
    // Changes whenever the stages do (or where their states are kept).
    uint64_t version() const noexcept { return version_; }

  private:
    std::vector<BiquadCoeffs> stages_;
    std::vector<BiquadState> states_;
    uint64_t version_ = 0;
};

// Channels run side by side in SIMD lanes: the same stage of up to eight channels at once, each
// lane with its own coefficients and state. A channel lists up to four cascades, run in order as
// one; a lane whose channel has fewer stages runs pass-through stages (b0 = 1, the rest 0). Each
// lane does exactly the arithmetic of BiquadCascade::run on its own, so the result is the same
// (a pass-through stage may turn -0 into +0), and the states are flushed after the chunk alike.
inline constexpr std::size_t kBiquadLanes = 8;
// What may run on two sets' frames while they are interleaved, after their filters: the sixteen
// channels from `first`, lane l of frame i at frames[16 i + l]. It saves the next stage of those
// channels taking them apart and interleaving them again.
struct FramesHook {
    void (*run)(void* context, std::size_t first, float* frames, std::size_t n) noexcept = nullptr;
    void* context = nullptr;
};

struct SweepPlan;
struct LaneChannel {
    float* buf = nullptr;
    std::array<BiquadCascade*, 4> cascades{};  // null entries are skipped
};
// What run_in_lanes gathers for one set of channels before it can run them: each sweep's
// coefficients lane by lane and where each lane's states live, and the same stages laid out for
// the skewed form. Kept between chunks, it is gathered again only after a cascade of the set was
// redesigned or the set changed, which saves most of the fixed cost of a chunk. A set with more
// stages than it holds runs without one.
//
// The skewed form is for a set whose lanes would mostly idle, such as main's two sides and mono
// beside each other: each channel alone, eight consecutive stages of it across the lanes of a
// unit, lane l one sample behind lane l - 1, so that a stage's output is the next lane's input a
// step later (where the processor has 512-bit vectors, two units of a channel run as one of
// sixteen lanes). Every stage still sees its channel's samples in order with its own arithmetic,
// so the result is the same; only the lanes are full.
class LanePlan {
  public:
    static constexpr std::size_t kSweeps = 16;  // four stages each: 64 stages per channel
    static constexpr std::size_t kUnits = kSweeps * 4 / kBiquadLanes;  // per channel, skewed

    // Eight consecutive stages of one channel: [b0, b1, b2, a1, a2][lane], and their states.
    struct Unit {
        float coeffs[5][kBiquadLanes];
        std::array<BiquadState*, kBiquadLanes> home;  // null: a pass-through
    };

  private:
    friend void run_in_lanes(std::span<const LaneChannel>, std::size_t, float*, LanePlan*) noexcept;
    friend void run_sets_in_lanes(std::span<const LaneChannel>, std::span<LanePlan>, std::size_t,
                                  float*, FramesHook) noexcept;
    // Gathers the plan again if the set or one of its cascades changed; whether the set fits.
    bool follow(std::span<const LaneChannel> channels) noexcept;
    // Whether the skewed form is the cheaper for n frames.
    bool skewed(std::size_t n) const noexcept;
    // Runs the set this plan follows in its own lanes.
    void run(std::span<const LaneChannel> channels, std::size_t n, float* scratch) noexcept;
    SweepPlan sweeps() noexcept;

    static constexpr std::size_t kKeys = 4 * kBiquadLanes;
    std::array<const BiquadCascade*, kKeys> cascades_{};
    std::array<uint64_t, kKeys> versions_{};
    std::size_t lanes_ = 0;
    bool built_ = false;
    bool fits_ = false;
    std::size_t sweeps_ = 0;
    std::size_t last_stages_ = 0;  // stages of the last sweep that some lane uses (1 to 4)
    // [sweep][stage of the sweep][b0, b1, b2, a1, a2][lane]
    std::array<float, kSweeps * 4 * 5 * kBiquadLanes> coeffs_{};
    std::array<BiquadState*, kSweeps * 4 * kBiquadLanes> homes_{};  // null: a pass-through
    // Per sweep: every lane keeps its four states side by side (or passes all four through), so
    // they move between their homes and the lanes in one transpose.
    std::array<bool, kSweeps> whole_{};
    std::array<BiquadState, 4> spare_{};  // the pass-through lanes' states: always zero
    std::array<Unit, kBiquadLanes * kUnits> units_{};  // [channel * kUnits + unit]
    std::array<std::size_t, kBiquadLanes> unit_count_{};
};

// At most kBiquadLanes channels; `scratch` holds kBiquadLanes * n floats. With a plan, the same
// set of channels (the same cascades in the same places) should come with the same plan each
// time; the result is the same with or without one. Where the processor has 512-bit vectors, a
// planned set runs its stages four and four in sixteen lanes, the second four a few samples
// behind the first.
void run_in_lanes(std::span<const LaneChannel> channels, std::size_t n, float* scratch,
                  LanePlan* plan = nullptr) noexcept;

// Consecutive sets of kBiquadLanes channels, the k-th with plans[k], each as run_in_lanes runs
// it; where the processor has 512-bit vectors, two sets at a time in sixteen lanes, which steps
// twice the channels per instruction, and `then` runs on such pairs of full sets. `scratch` holds
// 2 * kBiquadLanes * n floats.
void run_sets_in_lanes(std::span<const LaneChannel> channels, std::span<LanePlan> plans,
                       std::size_t n, float* scratch, FramesHook then = {}) noexcept;

// The same lane form for filters kept as plain stage and state lists, without the equalisers'
// flush: each lane does exactly run_stages (the bleed bands and the notches, whose owners restart
// broken states themselves). `buf` is that lane's samples. Any number of channels, in sets of
// kBiquadLanes; `scratch` holds 2 * kBiquadLanes * n floats. Where the processor has 512-bit
// vectors, two sets run side by side in sixteen lanes, or a set alone its sweeps two at a time.
struct LaneStages {
    float* buf = nullptr;
    std::span<const BiquadCoeffs> stages;
    std::span<BiquadState> states;
};
void run_stages_in_lanes(std::span<const LaneStages> channels, std::size_t n,
                         float* scratch) noexcept;

// A bank of stages side by side, all fed the same signal, each adding the squares of its output
// to its own power sum (the automatic equaliser's analysis filters). Stages run in SIMD lanes,
// each lane exactly the arithmetic of run_biquad followed by a sum of squares. A stage meant to
// stay silent has zero coefficients (the default is a pass-through).
inline constexpr std::size_t kBankStages = 4 * kBiquadLanes;
struct BiquadBank {
    std::array<BiquadCoeffs, kBankStages> coeffs{};
    std::array<BiquadState, kBankStages> states{};
    std::array<float, kBankStages> power{};
};
void run_bank(BiquadBank& bank, const float* samples, std::size_t n) noexcept;

// Stereo cascade: shared coefficients, separate states for left and right.
class StereoBiquadCascade {
  public:
    void set_stages(std::span<const BiquadCoeffs> stages) {
        left_.set_stages(stages);
        right_.set_stages(stages);
    }
    void clear() noexcept {
        left_.clear();
        right_.clear();
    }

    // All stages over the left buffer, then all stages over the right buffer.
    void run(float* left, float* right, std::size_t n) noexcept {
        left_.run(left, n);
        right_.run(right, n);
    }

    std::span<const BiquadCoeffs> stages() const noexcept { return left_.stages(); }
    std::span<const BiquadState> left_states() const noexcept { return left_.states(); }
    std::span<const BiquadState> right_states() const noexcept { return right_.states(); }
    bool empty() const noexcept { return left_.empty(); }

    // Each side as a mono cascade, to run in lanes beside other channels.
    BiquadCascade& left() noexcept { return left_; }
    BiquadCascade& right() noexcept { return right_; }

  private:
    BiquadCascade left_, right_;
};

// Designs one stage. `type` is compared as exact text: "hp", "lp", "bp", "hp1", "lshv", "hshv",
// "lcut", "hcut"; anything else is a peaking filter. f is clamped to [10, fs / 2.1] and q to at
// least 0.1. A sample rate below 21 Hz has no valid design and gives a pass-through stage.
BiquadCoeffs design_biquad(std::string_view type, double f_hz, double g_db, double q,
                           double sample_rate);

// ISO 1/3-octave centres of the graphic equaliser bands.
inline constexpr double kGraphicCentresHz[31] = {
    20,  25,   31.5, 40,   50,   63,   80,   100,  125,  160,  200,  250,   315,   400,   500,  630,
    800, 1000, 1250, 1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000};

// Graphic equaliser (and auto-EQ correction): one Q 4.32 peaking stage per band that is audible
// (|g| >= 0.05 dB) and below fs / 2.2. Only the first 31 gains are read.
std::vector<BiquadCoeffs> design_graphic(std::span<const float> gains_db, double sample_rate);

// A strip's high-pass: 18 dB/octave as first order + Butterworth Q 1, 24 as two Butterworth
// sections, any other slope as one 12 dB/octave section.
std::vector<BiquadCoeffs> design_hpf(const Hpf& hpf, double sample_rate);

// One stage per band, in list order.
std::vector<BiquadCoeffs> design_bands(std::span<const Band> bands, double sample_rate);

}  // namespace mixengine
