// The auto-EQ analysis thread: for each of its targets (engine/signals.h: the strips, the buses,
// main and mono) it drains the engine's feed ring, measures the 31 graphic-EQ bands against the
// target curve and sends the correction to the engine.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "analysis/band_analyzer.h"
#include "control/channel.h"
#include "control/fba_command.h"
#include "control/fed_worker.h"
#include "control/update_sender.h"
#include "engine/signals.h"
#include "engine/spsc_ring.h"

namespace mixengine {

inline constexpr std::size_t kAutoEqFeedSamples = 32768;

using AutoEqLinks = FedWorkerLinks<AutoEqRequest>;  // kAutoEqTargets feeds

// Creates the request channel and the feed rings and starts the detached thread, which ends when
// `stop` is set.
AutoEqLinks start_auto_eq_thread(std::shared_ptr<UpdateSender> updates,
                                 std::shared_ptr<std::atomic<bool>> stop, float rate);

// The name of a target in "aeq" lines: "in.1".."in.32", "bus.1".."bus.8", "main", "mono".
std::string auto_eq_target_name(std::size_t target);

// What the thread does on each pass, apart from sleeping: it owns every target's configuration and
// analyzer, so tests and benchmarks can drive passes themselves.
class AutoEqAnalysis {
  public:
    // `feeds` holds one ring per target, in target order (missing or empty ends are skipped).
    AutoEqAnalysis(Receiver<AutoEqRequest> requests, std::vector<RingConsumer<float>> feeds,
                   std::shared_ptr<UpdateSender> updates, float rate);

    // Takes every waiting request, then drains every feed ring, analysing the targets that are on;
    // a target whose correction changed gets a curve update and an "aeq" line.
    void pass();

    const AutoEqCfg& config(std::size_t target) const { return configs_[target]; }
    const BandAnalyzer& analyzer(std::size_t target) const { return *analyzers_[target]; }

  private:
    void take_requests();
    void drain(std::size_t target);

    Receiver<AutoEqRequest> requests_;
    std::vector<RingConsumer<float>> feeds_;
    std::shared_ptr<UpdateSender> updates_;
    float rate_;
    std::array<AutoEqCfg, kAutoEqTargets> configs_;
    std::array<std::unique_ptr<BandAnalyzer>, kAutoEqTargets> analyzers_;
    std::vector<float> samples_;
};

}  // namespace mixengine
