// The feedback detector: looks at one signal in half-overlapped 4096-point spectra and reports
// the frequencies of narrow peaks that stand well out of their neighbourhood, belong to no
// harmonic series, and persist without decaying for the number of frames the programme content
// calls for.
//
// A peak that runs away the way a howl does (its level climbing frame after frame to a height it
// never had, then holding there) is reported even when it has harmonic partners. A loop above
// unity first lifts the comb of its other in-phase frequencies out of the programme, some of which
// land near the octaves of the howl, and once the howl clips the output its own harmonics come
// back round the loop; either would otherwise hide the howl as a musical note for as long as it
// rings. A note does not climb like that, or if it swells, it falls back within a syllable. A
// howl that was clipping already when the detector first saw it was never seen climbing, and
// with its harmonics still passes for a held note.
//
// Levels are dB relative to full scale (a full-scale sine centred on a bin reads 0 dB), floored at
// -180 dB; frequencies are Hz. One detector belongs to one thread; its FFT plan is made once, when
// it is built.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/config.h"
#include "engine/fft4096.h"

namespace mixengine {

// One peak followed from frame to frame.
struct PeakTrack {
    float freq_hz = 0.0f;      // the candidate's frequency in the frame that wrote the track
    uint32_t count = 0;        // consecutive frames matched, 1 for a new track
    float start_level = 0.0f;  // dB when the track began
    float max_level = 0.0f;    // highest dB seen
    float level = 0.0f;        // dB in the frame that wrote the track
    uint32_t rises = 0;        // consecutive frames, up to this one, that rose by kRiseDb or more
    float climb_from = 0.0f;   // dB in the frame before those rises
    uint32_t runaway = 0;      // frames it has run away like a howl; 0 when it does not
    bool harmonic = false;     // held back as part of a harmonic series: followed, not reported
};

// The persistence rule a "content" selects: how much a peak must have grown since its track
// began, and after how many frames it is reported (then again every that many frames).
struct PersistenceRule {
    float growth_db = -1.0f;
    uint32_t frames = 8;
};
PersistenceRule persistence_rule(const FbaCfg& cfg) noexcept;

class FeedbackDetector {
  public:
    static constexpr std::size_t kFrame = Fft4096::kSize;  // 4096
    static constexpr std::size_t kHop = kFrame / 2;        // 2048
    static constexpr std::size_t kBins = kFrame / 2;       // 0 .. 2047 are analysed
    static constexpr std::size_t kMaxCandidates = 6;
    static constexpr float kFloorDb = -180.0f;
    // A peak runs away after kRunawayRises or more rises of at least kRiseDb each that together
    // climb kRunawayClimbDb and leave it higher than it has ever been, and stops running away
    // once it falls kRunawayFallDb below its highest level. Harmonic partners hold it back until
    // it has run away for kRunawayHold frames: a swelling note's climb is over within a syllable,
    // a howl holds its height. (Near unity a loop's other frequencies swell too when a fader
    // moves, but by a few dB, not by the tens a howl climbs out of the programme.)
    static constexpr float kRiseDb = 1.0f;
    static constexpr uint32_t kRunawayRises = 3;
    static constexpr float kRunawayClimbDb = 10.0f;
    static constexpr float kRunawayFallDb = 3.0f;
    static constexpr uint32_t kRunawayHold = 4;

    explicit FeedbackDetector(float sample_rate);
    FeedbackDetector(const FeedbackDetector&) = delete;
    FeedbackDetector& operator=(const FeedbackDetector&) = delete;

    // Appends the samples and analyses every frame they complete; returns the frequencies those
    // frames reported, in order. A sample that is not finite counts as silence, so a burst of
    // NaN or infinity can neither be reported nor poison later frames.
    std::vector<float> process(std::span<const float> samples, const FbaCfg& cfg);

    // The dB spectrum of the latest frame (bin j at j * bin_hz), empty before the first frame.
    std::span<const float> spectrum() const noexcept {
        return analysed_ ? std::span<const float>(spectrum_) : std::span<const float>();
    }

    float bin_hz() const noexcept { return bin_hz_; }
    // The peaks that the latest frame may report, in candidate order; harmonic peaks that have
    // not run away are followed too, but are not among them.
    const std::vector<PeakTrack>& tracks() const noexcept { return tracks_; }

  private:
    struct Candidate {
        float freq_hz = 0.0f;
        float prominence_db = 0.0f;
    };

    void analyse_frame(const FbaCfg& cfg, std::vector<float>& reports);
    void compute_spectrum() noexcept;
    void find_candidates(float sensitivity_db) noexcept;
    bool may_stand_out(std::size_t k, float sensitivity_db) const noexcept;
    float local_median(std::size_t k) noexcept;
    bool is_harmonic(float freq_hz) const noexcept;
    PeakTrack follow(float freq_hz, float level) const noexcept;

    float bin_hz_;
    float norm_ = 0.0f;
    std::array<float, kFrame> window_;
    std::unique_ptr<Fft4096> fft_;
    std::array<float, kFrame> input_{};
    std::size_t fill_ = 0;
    std::array<float, kBins> spectrum_{};
    bool analysed_ = false;
    std::size_t search_lo_ = 1;  // peak search range, inclusive; empty when lo > hi
    std::size_t search_hi_ = 0;

    // Working lists, sized once.
    std::vector<float> neighbourhood_;
    std::array<Candidate, kMaxCandidates> best_{};
    std::size_t best_count_ = 0;
    // Every peak of the latest frame in candidate order, the harmonic ones included, so that one
    // that runs away is seen doing it; and those of them that are not harmonic.
    std::vector<PeakTrack> followed_;
    std::vector<PeakTrack> next_followed_;
    std::vector<PeakTrack> tracks_;
};

}  // namespace mixengine
