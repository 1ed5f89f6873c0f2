#include "loudness_integrator.h"

#include <cmath>

namespace mixengine {

namespace {

constexpr double kAbsoluteGate = -70.0;
constexpr double kRelativeGate = -10.0;

// Rounds LUFS to 0.1, halves away from zero.
double round_tenth(double lufs) noexcept {
    return std::round(10.0 * lufs) / 10.0 + 0.0;
}

double rounded_or_silence(double mean_square) noexcept {
    return mean_square > 0.0 ? round_tenth(lufs_of(mean_square)) : LoudnessIntegrator::kSilence;
}

// True when lufs_of(v) > gate_lufs. Comparing mean squares against the gate turned back into a
// mean square spares a logarithm per entry over a list of up to four hours; only entries within
// rounding distance of the gate are decided by the logarithm itself.
struct Gate {
    explicit Gate(double gate_lufs)
        : lufs(gate_lufs), ms(std::pow(10.0, (gate_lufs + 0.691) / 10.0)) {}
    bool passes(double v) const noexcept {
        if (v > ms * (1.0 + 1e-9)) return true;
        if (v < ms * (1.0 - 1e-9)) return false;
        return lufs_of(v) > lufs;
    }
    double lufs;
    double ms;
};

}  // namespace

double lufs_of(double mean_square) noexcept {
    return -0.691 + 10.0 * std::log10(mean_square);
}

void LoudnessIntegrator::reset() {
    history_.clear();
    gating_.clear();
    triple_.reset();
}

double LoudnessIntegrator::integrated() const noexcept {
    const Gate absolute(kAbsoluteGate);
    double kept_sum = 0.0;
    std::size_t kept = 0;
    for (double v : gating_) {
        if (v > 0.0 && absolute.passes(v)) {
            kept_sum += v;
            ++kept;
        }
    }
    if (kept == 0) return kSilence;

    const Gate relative(lufs_of(kept_sum / static_cast<double>(kept)) + kRelativeGate);
    double sum = 0.0;
    std::size_t n = 0;
    for (double v : gating_) {
        if (v > 0.0 && absolute.passes(v) && relative.passes(v)) {
            sum += v;
            ++n;
        }
    }
    if (n == 0) return kSilence;
    const double mean = sum / static_cast<double>(n);
    return mean > 0.0 ? lufs_of(mean) : kSilence;
}

void LoudnessIntegrator::add_block(double mean_square) {
    history_.push_back(mean_square);
    if (history_.size() > kHistoryBlocks) history_.pop_front();
    const std::size_t n = history_.size();

    const auto mean_of_last = [this, n](std::size_t count) {
        double s = 0.0;
        for (std::size_t i = n - count; i < n; ++i) s += history_[i];
        return s / static_cast<double>(count);
    };

    const double momentary = mean_of_last(n < 4 ? n : 4);
    if (n >= 4) {
        gating_.push_back(momentary);
        if (gating_.size() > gating_limit_) gating_.pop_front();
    }
    triple_ = LoudnessTriple{rounded_or_silence(momentary), rounded_or_silence(mean_of_last(n)),
                             round_tenth(this->integrated())};
}

const std::optional<LoudnessTriple>& LoudnessIntegrator::update(bool reset_requested,
                                                                uint32_t block_count,
                                                                double latest_mean_square) {
    if (reset_requested) reset();
    if (block_count != last_count_) {
        add_block(latest_mean_square);
        last_count_ = block_count;
    }
    return triple_;
}

}  // namespace mixengine
