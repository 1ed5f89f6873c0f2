// Simulation mode: the live wiring without devices. The same shared objects and worker threads
// are created, in the same order, and the practice loop takes the output callback's place on the
// calling thread, paced by the clock.
#include <algorithm>
#include <atomic>
#include <memory>

#include "analysis/spectrum_thread.h"
#include "control/command_reader.h"
#include "control/shared_state.h"
#include "control/update_sender.h"
#include "engine/meters.h"
#include "engine/mix_engine.h"
#include "engine/spsc_ring.h"
#include "entry/modes.h"
#include "multitrack/practice_loop.h"

namespace mixengine {

namespace {
constexpr std::size_t kAnalyserRingSamples = 48000;  // also at 96000 Hz
}

int run_sim_mode(const SimOptions& options, StopFlag stop) {
    const std::size_t inputs = std::clamp<std::size_t>(options.inputs, 1, 32);
    const std::size_t outputs = std::clamp<std::size_t>(options.outputs, 1, 64);
    const float rate = static_cast<float>(options.rate);

    auto meters = std::make_shared<Meters>(std::max<std::size_t>(outputs, 1));
    auto [updates, update_consumer] = make_update_ring();
    auto [analyser_producer, analyser_consumer] = make_spsc_ring<float>(kAnalyserRingSamples);
    auto control = std::make_shared<ControlState>(stop);

    // Feedback suppressor: start_feedback_thread(updates, stop, rate) goes here; its command
    // sender goes to the command reader and its 10 feed rings to the engine.
    // Auto-EQ analysis: start_auto_eq_thread(updates, stop, rate) goes here; its channel sender
    // goes to the command reader and its 42 feed rings to the engine.
    // Listen sender: start_listen_sender(stop, rate) goes here; its ring goes to the engine.

    start_command_reader(
        CommandReaderLinks{updates, control, Sender<FbaCommand>{}, Sender<AutoEqRequest>{}});

    // A counter of its own that nothing increments: there are no device callbacks to miss.
    start_spectrum_thread(SpectrumThreadInputs{meters, std::move(analyser_consumer), control,
                                               std::make_shared<std::atomic<uint64_t>>(0), outputs,
                                               rate});

    MixEngine engine(rate);
    // Install the feedback, auto-EQ and listen ring producers here once their threads exist.

    run_practice_loop(PracticeLinks{inputs, outputs, &engine, &update_consumer, meters.get(),
                                    &analyser_producer, control.get(), options.files});
    return 0;
}

}  // namespace mixengine
