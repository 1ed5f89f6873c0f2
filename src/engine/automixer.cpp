// Gain-sharing automixer; see automixer.h.
#include "automixer.h"

#include <cmath>

namespace mixengine {

void AutomixGroups::begin_chunk(std::size_t n, float sample_rate) noexcept {
    coeff_ = 1.0f - std::exp(-static_cast<float>(n) / (0.025f * sample_rate));
    running_[0] = running_[1] = 0.0f;
}

float AutomixGroups::strip_target(const std::optional<AmixCfg>& cfg, const float* signal,
                                  std::size_t n, float& power) noexcept {
    if (!cfg || (cfg->group != 1 && cfg->group != 2)) return 1.0f;
    const int j = cfg->group - 1;
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) sum += signal[i] * signal[i];
    const float ms = sum / static_cast<float>(n > 0 ? n : 1);
    power = power + coeff_ * (ms - power);
    if (!std::isfinite(power)) power = 0.0f;  // an overflow must not hold the group hostage
    const float a = power * std::pow(10.0f, cfg->weight_db / 10.0f) + 1e-12f;
    running_[j] += a;
    const float share = std::fmin(std::fmax(a / std::fmax(totals_[j], a), 0.0f), 1.0f);
    return std::fmax(std::sqrt(share), kAutomixFloor);
}

void AutomixGroups::end_chunk() noexcept {
    totals_[0] = running_[0];
    totals_[1] = running_[1];
}

}  // namespace mixengine
