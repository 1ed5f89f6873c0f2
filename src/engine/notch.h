// Notches and simulated howls of the watched outputs (kWatchedMain, kWatchedMono, watched_bus(b)).
//
// A NotchCascade is the engine's filtering copy of the feedback suppressor's notch bookkeeping:
// the suppressor decides where to cut and sends updates, the engine only applies them. Each entry
// is a Q 12 peaking cut; an entry remembers the frequency it was created at, so retuning within a
// sixth of an octave moves its filter but not its identity.
//
// A HowlSim is a practice howl: a sine that grows chunk by chunk until the notches at its
// frequency cut at least 3 dB, then dies away.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "biquad.h"

namespace mixengine {

inline constexpr std::size_t kMaxNotches = 12;

// Whether two frequencies lie less than a sixth of an octave (a whole tone) apart: the test by
// which notches, the suppressor's notches and its suggestions are the same one. With
// `edge_counts`, exactly a sixth apart counts as within too. False when either is zero, infinite
// or not a number, or when their signs differ.
bool within_sixth_octave(float a_hz, float b_hz, bool edge_counts = false) noexcept;

struct NotchEntry {
    float freq_hz = 0.0f;  // where the entry was created
    float gain_db = 0.0f;
};

class NotchCascade {
  public:
    explicit NotchCascade(double sample_rate);

    // Retunes the first entry within 1/6 octave, else appends while fewer than 12 exist.
    void set_notch(float freq_hz, float depth_db);
    // Removes every entry within 1/6 octave of freq_hz, keeping the order of the rest.
    void remove_notch(float freq_hz) noexcept;
    void clear() noexcept;

    // Every entry in order over the chunk, without denormal flush.
    void apply(float* buf, std::size_t n) noexcept;
    void apply(float* left, float* right, std::size_t n) noexcept;

    // The entries as one lane of run_stages_in_lanes, over the left (or right) memories; after
    // the lanes have run, restart() finishes as apply does.
    LaneStages lane(float* buf, bool right = false) noexcept {
        return LaneStages{buf, stages_, right ? std::span<BiquadState>(right_) : left_};
    }
    void restart() noexcept;

    // Summed attenuation of the entries at freq_hz, in dB (negative for a cut).
    float attenuation_db(float freq_hz) const noexcept;

    // Entry k is filtered by stages()[k] with the memories left_states()[k] and (main only)
    // right_states()[k].
    const std::vector<NotchEntry>& entries() const noexcept { return entries_; }
    std::span<const BiquadCoeffs> stages() const noexcept { return stages_; }
    std::span<const BiquadState> left_states() const noexcept { return left_; }
    std::span<const BiquadState> right_states() const noexcept { return right_; }

  private:
    double sample_rate_;
    std::vector<NotchEntry> entries_;
    std::vector<BiquadCoeffs> stages_;
    std::vector<BiquadState> left_, right_;
};

struct HowlSim {
    float freq_hz = 0.0f;
    float amp = 0.0f;    // linear sine amplitude; 0 means no howl
    float phase = 0.0f;  // radians

    void start(float freq) noexcept { *this = HowlSim{freq, 0.003f, 0.0f}; }

    // Once per chunk: grows the howl, or lets it die when the notches cut at least 3 dB.
    void advance(const NotchCascade& notches) noexcept;
    // Adds the howl's next n samples to each given buffer (right may be null).
    void add(float* left, float* right, std::size_t n, float sample_rate) noexcept;
};

}  // namespace mixengine
