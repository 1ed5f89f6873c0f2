#include "analysis/auto_eq_thread.h"

#include <chrono>

#include "control/telemetry.h"
#include "control/worker.h"
#include "engine/denormals.h"

namespace mixengine {

namespace {

constexpr auto kPassInterval = std::chrono::milliseconds(20);

void print_correction(std::size_t target, bool on, const BandGains& gains) {
    Json g = Json::array();
    for (float v : gains) g.push_back(json_f32(v));
    print_json(
        Json{{"t", "aeq"}, {"id", auto_eq_target_name(target)}, {"on", on}, {"g", std::move(g)}});
}

}  // namespace

std::string auto_eq_target_name(std::size_t target) {
    if (target < auto_eq_bus(0)) return "in." + std::to_string(target + 1);
    if (target < kAutoEqMain) return "bus." + std::to_string(target - auto_eq_bus(0) + 1);
    return target == kAutoEqMain ? "main" : "mono";
}

AutoEqAnalysis::AutoEqAnalysis(Receiver<AutoEqRequest> requests,
                               std::vector<RingConsumer<float>> feeds,
                               std::shared_ptr<UpdateSender> updates, float rate)
    : requests_(std::move(requests)),
      feeds_(std::move(feeds)),
      updates_(std::move(updates)),
      rate_(rate),
      samples_(kAutoEqFeedSamples) {
    for (auto& a : analyzers_) a = std::make_unique<BandAnalyzer>(rate_);
}

void AutoEqAnalysis::take_requests() {
    while (auto request = requests_.try_receive()) {
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

void AutoEqAnalysis::drain(std::size_t t) {
    if (t >= feeds_.size() || !feeds_[t].valid()) return;
    // Taken whether on or off, so that the ring never fills; one ring's worth at most per pass.
    const std::size_t n = feeds_[t].pop_some(samples_.data(), samples_.size());
    if (!configs_[t].on || n == 0) return;
    BandAnalyzer& analyzer = *analyzers_[t];
    if (!analyzer.feed(samples_.data(), n, configs_[t])) return;
    const BandGains& gains = analyzer.corrections();
    if (updates_)
        updates_->send(update::AutoEqCurve{t, std::vector<float>(gains.begin(), gains.end())});
    print_correction(t, true, gains);
}

void AutoEqAnalysis::pass() {
    take_requests();
    for (std::size_t t = 0; t < kAutoEqTargets; ++t) drain(t);
}

AutoEqLinks start_auto_eq_thread(std::shared_ptr<UpdateSender> updates,
                                 std::shared_ptr<std::atomic<bool>> stop, float rate) {
    auto [links, ends] = make_fed_worker<AutoEqRequest>(kAutoEqTargets, kAutoEqFeedSamples);
    if (!stop) return std::move(links);
    start_worker(
        WorkerSpec::optional("Automatic EQ has stopped: the engine ran out of memory or threads. "
                             "Restart it to use it again."),
        [analysis = std::make_shared<AutoEqAnalysis>(
             std::move(ends.commands), std::move(ends.feeds), std::move(updates), rate),
         stop]() {
            // Quiet band filters decay through the denormal range, where each step costs far more.
            ScopedFlushDenormals denormals_off;
            // Without the thread the feed rings simply fill and drop samples.
            while (!stop->load()) {
                analysis->pass();
                sleep_fully(kPassInterval);
            }
        });
    return std::move(links);
}

}  // namespace mixengine
