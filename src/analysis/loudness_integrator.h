// Turns the engine's 100 ms loudness blocks (K-weighted mean squares) into momentary (last 400 ms),
// short-term (last 3 s) and gated integrated loudness in LUFS, each rounded to 0.1 LU. Silence
// reads -120.0. Integrated loudness gates 400 ms blocks that overlap by 300 ms: first against
// -70 LUFS, then 10 LU below the loudness of what passed the first gate. The programme kept for
// it is bounded at four hours, so one update never costs more than a pass over that list.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace mixengine {

// Momentary, short-term, integrated, in LUFS rounded to 0.1 (non-finite only for a non-finite
// block).
using LoudnessTriple = std::array<double, 3>;

// -0.691 + 10 log10(mean square).
double lufs_of(double mean_square) noexcept;

class LoudnessIntegrator {
  public:
    static constexpr std::size_t kHistoryBlocks = 30;    // 3 s of 100 ms blocks
    static constexpr std::size_t kGatingLimit = 144000;  // 4 hours of 100 ms steps
    static constexpr double kSilence = -120.0;

    // `gating_limit` bounds the programme kept for integrated loudness, in 100 ms steps.
    explicit LoudnessIntegrator(std::size_t gating_limit = kGatingLimit)
        : gating_limit_(gating_limit) {}

    // Forgets the programme; the triple is absent until the next block.
    void reset();

    // Adds one 100 ms block and recomputes the triple.
    void add_block(double mean_square);

    const std::optional<LoudnessTriple>& triple() const noexcept { return triple_; }
    std::size_t gating_blocks() const noexcept { return gating_.size(); }

    // Reads the engine's block counter and, when a new block has arrived, adds its mean square.
    // A pending reset request is honoured first. Returns the current triple.
    const std::optional<LoudnessTriple>& update(bool reset_requested, uint32_t block_count,
                                                double latest_mean_square);

  private:
    double integrated() const noexcept;

    std::size_t gating_limit_;
    std::deque<double> history_;
    std::deque<double> gating_;
    uint32_t last_count_ = 0;
    std::optional<LoudnessTriple> triple_;
};

}  // namespace mixengine
