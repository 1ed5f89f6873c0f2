// The notch bookkeeping of one output: where the feedback suppressor has cut, how deep, since
// when, and whether a cut is fixed. The engine applies the cuts with its own filters and is kept
// in step through updates; this object only decides frequencies and depths.
//
// A notch is created by a report, deepened by later reports of a frequency within a whole tone
// (down to "max_cut"), and, on a "live" output, raised 1 dB per release pass once "hold_s" has
// passed since its last report, until it is gone at -1.5 dB. A full "live" bank makes room by
// evicting its oldest notch that is not fixed.
#pragma once

#include <cstddef>
#include <variant>
#include <vector>

#include "engine/config.h"

namespace mixengine {

struct Notch {
    float freq_hz = 0.0f;   // where the notch was created; never changes
    float depth_db = 0.0f;  // negative for a cut
    double time_s = 0.0;    // created or last reported, on the suppressor's clock
    bool fixed = false;     // never released or evicted
};

namespace notch {
struct Placed {
    float depth_db = 0.0f;
};  // added or deepened
struct Replaced {
    float depth_db = 0.0f;
    float evicted_hz = 0.0f;
};                    // added after an eviction
struct Exhausted {};  // at "max_cut" already, or full with nothing to evict
struct Raised {
    float freq_hz = 0.0f;
    float depth_db = 0.0f;
};
struct Removed {
    float freq_hz = 0.0f;
};
}  // namespace notch

using NotchOutcome = std::variant<notch::Placed, notch::Replaced, notch::Exhausted>;
using NotchChange = std::variant<notch::Raised, notch::Removed>;

class NotchBank {
  public:
    static constexpr std::size_t kCapacity = 12;

    explicit NotchBank(double sample_rate);

    // Records a report of `freq_hz` at `now_s`.
    NotchOutcome place(float freq_hz, double now_s, const FbaCfg& cfg);

    // One release pass; the changes in bank order.
    std::vector<NotchChange> release(double now_s, const FbaCfg& cfg);

    void clear() noexcept { notches_.clear(); }

    const std::vector<Notch>& notches() const noexcept { return notches_; }
    double sample_rate() const noexcept { return sample_rate_; }

  private:
    double sample_rate_;
    std::vector<Notch> notches_;
};

}  // namespace mixengine
