// The auto-EQ analysis thread: for each of its targets (engine/signals.h: the strips, the buses,
// main and mono) it drains the engine's feed ring, measures the 31 graphic-EQ bands against the
// target curve and sends the correction to the engine.
#pragma once

#include <array>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "analysis/band_analyzer.h"
#include "control/fba_command.h"
#include "control/fed_worker.h"
#include "control/update_sender.h"
#include "engine/signals.h"

namespace mixengine {

// The name of a target in "aeq" lines: "in.1".."in.32", "bus.1".."bus.8", "main", "mono".
std::string auto_eq_target_name(std::size_t target);

// What the thread (start_fed_thread<AutoEqAnalysis>) does on each pass, apart from sleeping: it
// owns every target's configuration and analyzer, so tests and benchmarks can drive passes
// themselves.
class AutoEqAnalysis : public FedWorker<AutoEqRequest> {
  public:
    static const FedThreadSpec kThread;
    // The ends hold one feed per target, in target order (missing or empty ones are skipped).
    AutoEqAnalysis(FedWorkerEnds<AutoEqRequest> ends, std::shared_ptr<UpdateSender> updates,
                   float rate);

    // Takes every waiting request, then drains every feed ring, analysing the targets that are on;
    // a target whose correction changed gets a curve update and an "aeq" line. The analysis keeps
    // no clock: the thread's time is not needed.
    void pass(double now_s = 0.0);

    const AutoEqCfg& config(std::size_t target) const { return configs_[target]; }
    const BandAnalyzer& analyzer(std::size_t target) const { return *analyzers_[target]; }

  private:
    void take_requests();
    void analyse(std::size_t target, std::span<const float> samples);

    float rate_;
    std::array<AutoEqCfg, kAutoEqTargets> configs_;
    std::array<std::unique_ptr<BandAnalyzer>, kAutoEqTargets> analyzers_;
};

}  // namespace mixengine
