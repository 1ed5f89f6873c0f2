// The feedback-suppressor thread: for each watched output (engine/signals.h) it drains the
// engine's feed ring, detects howls and keeps the output's notch bank, sending notch
// updates to the engine and reporting on standard output.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "control/fba_command.h"
#include "control/fed_worker.h"
#include "control/update_sender.h"
#include "engine/config.h"
#include "engine/signals.h"
#include "suppression/feedback_detector.h"
#include "suppression/notch_bank.h"

namespace mixengine {

// "main", "mono", "bus.1" .. "bus.8".
std::string fba_output_name(std::size_t output);

// What the thread (start_fed_thread<FeedbackSuppressor>) does on each pass, apart from sleeping;
// it owns all the thread's state, so a test can drive passes with a clock of its own.
class FeedbackSuppressor : public FedWorker<FbaCommand> {
  public:
    static const FedThreadSpec kThread;
    static constexpr double kReleaseInterval_s = 2.0;

    struct Output {
        explicit Output(float rate) : detector(rate), bank(rate) {}
        FbaCfg cfg;  // every output starts switched off
        FeedbackDetector detector;
        NotchBank bank;
        std::vector<float> suggestions;  // Hz, "suggest" mode
    };

    // The ends hold one feed per output in index order (fewer leaves the rest unfed).
    FeedbackSuppressor(FedWorkerEnds<FbaCommand> ends, std::shared_ptr<UpdateSender> updates,
                       float rate);

    // One pass at `now_s` seconds since the thread started: a release pass when one is due, every
    // waiting command, then every feed ring drained and, where suppression is on, analysed.
    void pass(double now_s);

    const Output& output(std::size_t i) const { return *outputs_[i]; }

  private:
    void release_pass(double now_s);
    void handle(const FbaCommand& command, double now_s);
    void detection(std::size_t i, float freq_hz, double now_s);
    void print_state(std::size_t i) const;

    std::array<std::unique_ptr<Output>, kOutputsWatched> outputs_;
    double last_release_s_ = 0.0;
};

}  // namespace mixengine
