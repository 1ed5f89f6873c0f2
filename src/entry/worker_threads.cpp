#include "entry/worker_threads.h"

#include <algorithm>

#include "analysis/auto_eq_thread.h"
#include "analysis/spectrum_thread.h"
#include "control/command_reader.h"
#include "control/listen_sender.h"
#include "control/room_reporter.h"
#include "suppression/feedback_thread.h"

namespace mixengine {

namespace {
constexpr std::size_t kAnalyserRingSamples = 48000;  // also at 96000 Hz
}

void EngineFeeds::install_into(MixEngine& engine) {
    engine.install_fba_rings(std::move(fba));
    engine.install_aeq_rings(std::move(aeq));
    engine.install_listen_ring(std::move(listen));
}

std::optional<WorkerThreads> start_worker_threads(const WorkerThreadsRequest& request) {
    const float rate = static_cast<float>(request.rate);
    WorkerThreads out;
    out.meters = std::make_shared<Meters>(std::max<std::size_t>(request.output_channels, 1));
    auto [updates, update_consumer] = make_update_ring();
    out.updates = std::move(update_consumer);
    std::shared_ptr<LoopModel> room;
    if (request.room_block > 0) {
        room = std::make_shared<LoopModel>(rate, request.room_block);
        updates->set_observer([room](EngineUpdate u) { room->apply(std::move(u)); });
    }
    auto [analyser_producer, analyser_consumer] = make_spsc_ring<float>(kAnalyserRingSamples);
    out.analyser = std::move(analyser_producer);
    out.control = std::make_shared<ControlState>(request.stop);

    auto feedback = start_fed_thread<FeedbackSuppressor>(updates, request.stop, rate);
    out.feeds.fba = std::move(feedback.feeds);
    auto auto_eq = start_fed_thread<AutoEqAnalysis>(updates, request.stop, rate);
    out.feeds.aeq = std::move(auto_eq.feeds);
    out.feeds.listen = start_listen_sender(out.control, rate);

    // The threads already started see the stop flag this sets and end.
    if (!start_command_reader(CommandReaderLinks{updates, out.control, std::move(feedback.commands),
                                                 std::move(auto_eq.commands), room != nullptr}))
        return std::nullopt;

    SpectrumThreadInputs spectrum;
    spectrum.meters = out.meters;
    spectrum.analyser = std::move(analyser_consumer);
    spectrum.state = out.control;
    // Without device callbacks nothing is ever missed: a counter of its own stays at 0.
    spectrum.xruns = request.xruns ? request.xruns : std::make_shared<std::atomic<uint64_t>>(0);
    spectrum.output_count = request.output_channels;
    spectrum.rate = rate;
    start_spectrum_thread(std::move(spectrum));
    if (room) start_room_reporter(std::move(room), out.meters, request.stop);
    return out;
}

}  // namespace mixengine
