// Simulation mode: the live wiring without devices. The same shared objects and worker threads
// are created, in the same order, and the practice loop takes the output callback's place on the
// calling thread, paced by the clock.
#include "engine/mix_engine.h"
#include "entry/modes.h"
#include "entry/worker_threads.h"
#include "multitrack/practice_loop.h"

namespace mixengine {

int run_sim_mode(const SimOptions& options, StopFlag stop) {
    const std::size_t inputs = options.inputs;
    const std::size_t outputs = options.outputs;

    auto workers = start_worker_threads(WorkerThreadsRequest{stop, options.rate, outputs, nullptr, kPracticeBlock});
    if (!workers) return 1;

    MixEngine engine(static_cast<float>(options.rate));
    workers->feeds.install_into(engine);

    run_practice_loop(PracticeLinks{inputs, outputs, &engine, &workers->updates,
                                    workers->meters.get(), &workers->analyser, workers->control.get(),
                                    options.files});
    return 0;
}

}  // namespace mixengine
