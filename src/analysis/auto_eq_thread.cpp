#include "analysis/auto_eq_thread.h"

#include "control/telemetry.h"
#include "engine/denormals.h"

namespace mixengine {

namespace {

void print_correction(std::size_t target, bool on, const BandGains& gains) {
    Json g = Json::array();
    for (float v : gains) g.push_back(json_f32(v));
    print_json(
        Json{{"t", "aeq"}, {"id", auto_eq_target_name(target)}, {"on", on}, {"g", std::move(g)}});
}

}  // namespace

const FedThreadSpec AutoEqAnalysis::kThread{
    kAutoEqTargets, 32768, std::chrono::milliseconds(20),
    "Automatic EQ has stopped: the engine ran out of memory or threads. Restart it to use it "
    "again."};

std::string auto_eq_target_name(std::size_t target) {
    if (target < auto_eq_bus(0)) return "in." + std::to_string(target + 1);
    if (target < kAutoEqMain) return "bus." + std::to_string(target - auto_eq_bus(0) + 1);
    return target == kAutoEqMain ? "main" : "mono";
}

AutoEqAnalysis::AutoEqAnalysis(FedWorkerEnds<AutoEqRequest> ends,
                               std::shared_ptr<UpdateSender> updates, float rate)
    : FedWorker(std::move(ends), std::move(updates), kThread.samples), rate_(rate) {
    for (auto& a : analyzers_) a = std::make_unique<BandAnalyzer>(rate_);
}

void AutoEqAnalysis::take_requests() {
    while (auto request = next_message()) {
        const std::size_t t = request->target;
        if (t >= kAutoEqTargets) continue;
        if (configs_[t].on && !request->cfg.on) {
            // Switching off forgets the measurement; the engine drops its correction by itself.
            *analyzers_[t] = BandAnalyzer(rate_);
            print_correction(t, false, BandGains{});
        }
        configs_[t] = std::move(request->cfg);
    }
}

void AutoEqAnalysis::analyse(std::size_t t, std::span<const float> samples) {
    if (!configs_[t].on || samples.empty()) return;
    BandAnalyzer& analyzer = *analyzers_[t];
    if (!analyzer.feed(samples.data(), samples.size(), configs_[t])) return;
    const BandGains& gains = analyzer.corrections();
    send(update::AutoEqCurve{t, std::vector<float>(gains.begin(), gains.end())});
    print_correction(t, true, gains);
}

void AutoEqAnalysis::pass(double) {
    // Quiet band filters decay through the denormal range, where each step costs far more.
    ScopedFlushDenormals denormals_off;
    take_requests();
    for (std::size_t t = 0; t < kAutoEqTargets; ++t) analyse(t, drain(t));
}

}  // namespace mixengine
