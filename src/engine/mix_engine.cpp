// Placeholder until the console is built: plays silence.
#include "mix_engine.h"

#include <algorithm>

namespace mixengine {

struct MixEngine::State {
    float sample_rate = 48000.0f;
};

MixEngine::MixEngine(float sample_rate) : s_(std::make_unique<State>()) {
    s_->sample_rate = sample_rate;
}
MixEngine::~MixEngine() = default;
float MixEngine::sample_rate() const noexcept { return s_->sample_rate; }
void MixEngine::install_fba_rings(std::vector<RingProducer<float>>) {}
void MixEngine::install_aeq_rings(std::vector<RingProducer<float>>) {}
void MixEngine::install_listen_ring(RingProducer<float>) {}
void MixEngine::apply_update(EngineUpdate&&) {}
void MixEngine::process(std::span<const float>, std::size_t, std::span<float> output, std::size_t,
                        Meters&, AnalyserSink) noexcept {
    std::fill(output.begin(), output.end(), 0.0f);
}

}  // namespace mixengine
