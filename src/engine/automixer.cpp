// Gain-sharing automixer; see automixer.h.
#include "automixer.h"

#include <cmath>

namespace mixengine {

void AutomixGroups::begin_chunk(std::size_t n, float sample_rate) noexcept {
    coeff_ = 1.0f - std::exp(-static_cast<float>(n) / (0.025f * sample_rate));
    running_[0] = running_[1] = 0.0f;
}

AutomixMember automix_member(const std::optional<AmixCfg>& cfg) noexcept {
    if (!cfg || (cfg->group != 1 && cfg->group != 2)) return {};
    return {cfg->group, std::pow(10.0f, cfg->weight_db / 10.0f)};
}

float AutomixGroups::strip_target(const AutomixMember& member, const float* signal, std::size_t n,
                                  float& power) noexcept {
    float target = 1.0f;
    const AutomixJob job{&member, signal, &power};
    strip_targets(std::span(&job, 1), n, &target);
    return target;
}

void AutomixGroups::strip_targets(std::span<const AutomixJob> jobs, std::size_t n,
                                  float* targets) noexcept {
    for (std::size_t k = 0; k < jobs.size(); ++k) {
        const AutomixMember& member = *jobs[k].member;
        const float* signal = jobs[k].signal;
        float& power = *jobs[k].power;
        if (member.group == 0) {
            targets[k] = 1.0f;
            continue;
        }
        const int j = member.group - 1;
        // Eight partial sums, which the compiler keeps in lanes, instead of one long chain of adds.
        float part[8] = {};
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8)
            for (std::size_t q = 0; q < 8; ++q) part[q] += signal[i + q] * signal[i + q];
        for (; i < n; ++i) part[i % 8] += signal[i] * signal[i];
        const float sum = ((part[0] + part[4]) + (part[1] + part[5])) +
                          ((part[2] + part[6]) + (part[3] + part[7]));
        const float ms = sum / static_cast<float>(n > 0 ? n : 1);
        power = power + coeff_ * (ms - power);
        if (!std::isfinite(power)) power = 0.0f;  // an overflow must not hold the group hostage
        const float a = power * member.weight + 1e-12f;
        running_[j] += a;
        // fmax(totals, a), then the share clamped to [0, 1] with NaN as 0 and floored, written
        // out: the library's fmin and fmax are calls, on every strip of every block.
        const float total = std::isnan(totals_[j]) || a > totals_[j] ? a : totals_[j];
        const float x = a / total;
        const float share = x > 0.0f ? (x < 1.0f ? x : 1.0f) : 0.0f;
        const float gain = std::sqrt(share);
        targets[k] = gain > kAutomixFloor ? gain : kAutomixFloor;
    }
}

void AutomixGroups::end_chunk() noexcept {
    totals_[0] = running_[0];
    totals_[1] = running_[1];
}

}  // namespace mixengine
