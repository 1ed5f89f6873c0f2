#include "engine_probe.h"

#include "mix_engine_state.h"

namespace mixengine {

void EngineProbe::set_path(BlockPath path) noexcept {
    s_.path = path;
}

float EngineProbe::strip_gain_target(std::size_t strip) const noexcept {
    return s_.strips[strip].gain.target;
}

float EngineProbe::send_target(std::size_t strip, std::size_t bus) const noexcept {
    return s_.strips[strip].sends[bus].target;
}

float EngineProbe::automix_gain(std::size_t strip) const noexcept {
    return s_.strips[strip].amix_gain.cur;
}

std::size_t EngineProbe::delay_samples(std::size_t strip) const noexcept {
    return s_.strips[strip].delay;
}

std::size_t EngineProbe::auto_eq_stages(std::size_t target) const noexcept {
    if (target < auto_eq_bus(0)) return s_.strips[target].aeq.stages().size();
    if (target < kAutoEqMain) return s_.buses[target - auto_eq_bus(0)].aeq.stages().size();
    if (target == kAutoEqMain) return s_.main_aeq.stages().size();
    return s_.mono.aeq.stages().size();
}

float EngineProbe::howl_amplitude(std::size_t output) const noexcept {
    return s_.howl[output].amp;
}

std::size_t EngineProbe::notch_count(std::size_t output) const noexcept {
    return s_.notch_cascades[output].entries().size();
}

}  // namespace mixengine
