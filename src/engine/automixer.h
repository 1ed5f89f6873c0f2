// Gain-sharing automixer. Within each of the two groups the strips share one unit of power: a
// strip's share is its smoothed, weighted power over the group's total, and its gain is the square
// root of that share, never below -30 dB and never above unity. Shares are measured against the
// totals of the previous chunk, so every strip of a group sees the same reference regardless of
// the order in which the strips are processed.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "config.h"

namespace mixengine {

inline constexpr float kAutomixFloor = 0.0316f;  // about -30 dB

// A strip's place in the automixer, taken from its configuration once, when the configuration
// arrives: its group (0 for none) and its linear power weight.
struct AutomixMember {
    int group = 0;
    float weight = 1.0f;
};
AutomixMember automix_member(const std::optional<AmixCfg>& cfg) noexcept;

// One strip's part in strip_targets: its place in the groups, its pre-fader signal and its
// smoothed power, which the call updates.
struct AutomixJob {
    const AutomixMember* member = nullptr;
    const float* signal = nullptr;
    float* power = nullptr;
};

class AutomixGroups {
  public:
    // Starts a chunk of n frames: sets the 25 ms smoothing coefficient and clears the sums.
    void begin_chunk(std::size_t n, float sample_rate) noexcept;

    // Target gain of one strip for this chunk from its pre-fader signal; updates the strip's
    // smoothed power while it belongs to a group. Strips outside groups 1 and 2 get 1.0.
    float strip_target(const AutomixMember& member, const float* signal, std::size_t n,
                       float& power) noexcept;
    // The targets of several strips, exactly as strip_target gives them called in this order.
    // Each strip's divisions and square root wait only on its own sums, so a console's strips
    // taken together overlap where one at a time between other work they would not.
    void strip_targets(std::span<const AutomixJob> jobs, std::size_t n, float* targets) noexcept;

    // Ends the chunk: this chunk's sums become the totals the next chunk measures against.
    void end_chunk() noexcept;

    float total(int group) const noexcept { return totals_[group - 1]; }

  private:
    float coeff_ = 0.0f;
    float totals_[2] = {0.0f, 0.0f};
    float running_[2] = {0.0f, 0.0f};
};

}  // namespace mixengine
