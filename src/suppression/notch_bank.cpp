#include "suppression/notch_bank.h"

#include <algorithm>
#include <cmath>

#include "engine/notch.h"

namespace mixengine {

NotchBank::NotchBank(double sample_rate) : sample_rate_(sample_rate) {
    notches_.reserve(kCapacity);
}

NotchOutcome NotchBank::place(float freq_hz, double now_s, const FbaCfg& cfg) {
    const bool fixed = cfg.mode == "fixed";
    for (Notch& n : notches_) {
        if (!within_sixth_octave(n.freq_hz, freq_hz)) continue;
        // Even a notch that cannot go deeper is refreshed, which keeps it from being released.
        n.time_s = now_s;
        n.fixed = n.fixed || fixed;
        if (n.depth_db <= cfg.max_cut) return notch::Exhausted{};
        n.depth_db = std::fmax(n.depth_db + cfg.step, cfg.max_cut);
        return notch::Placed{n.depth_db};
    }

    const Notch fresh{freq_hz, std::fmax(cfg.first_cut, cfg.max_cut), now_s, fixed};
    const std::size_t limit =
        static_cast<std::size_t>(std::min<uint64_t>(cfg.max_notches, kCapacity));
    if (notches_.size() < limit) {
        notches_.push_back(fresh);
        return notch::Placed{fresh.depth_db};
    }
    if (cfg.mode != "live") return notch::Exhausted{};

    auto oldest = notches_.end();
    for (auto it = notches_.begin(); it != notches_.end(); ++it) {
        if (!it->fixed && (oldest == notches_.end() || it->time_s < oldest->time_s)) oldest = it;
    }
    if (oldest == notches_.end()) return notch::Exhausted{};
    const float evicted = oldest->freq_hz;
    notches_.erase(oldest);
    notches_.push_back(fresh);
    return notch::Replaced{fresh.depth_db, evicted};
}

std::vector<NotchChange> NotchBank::release(double now_s, const FbaCfg& cfg) {
    std::vector<NotchChange> changes;
    for (auto it = notches_.begin(); it != notches_.end();) {
        if (it->fixed || now_s - it->time_s < cfg.hold_s) {
            ++it;
            continue;
        }
        it->depth_db += 1.0f;
        if (it->depth_db >= -1.5f) {
            changes.push_back(notch::Removed{it->freq_hz});
            it = notches_.erase(it);
        } else {
            changes.push_back(notch::Raised{it->freq_hz, it->depth_db});
            ++it;
        }
    }
    return changes;
}

}  // namespace mixengine
