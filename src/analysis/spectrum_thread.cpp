#include "spectrum_thread.h"

#include <string>

#include "analysis/meter_reading.h"
#include "control/telemetry.h"
#include "control/worker.h"

namespace mixengine {

namespace {
constexpr auto kPassInterval = std::chrono::milliseconds(40);
constexpr std::size_t kDrainChunk = 4096;

// Frozen meters look like a silent console; the front end must be told they have stopped.
WorkerSpec spectrum_worker() {
    return WorkerSpec::optional(
        "The meters have stopped: the engine ran out of memory or threads. Restart it to see them "
        "again.");
}
}  // namespace

SpectrumAnalysis::SpectrumAnalysis(SpectrumThreadInputs inputs, Clock::time_point start)
    : in_(std::move(inputs)), spectrum_(in_.rate), scratch_(kDrainChunk), last_spectrum_(start) {}

void SpectrumAnalysis::drain_analyser() noexcept {
    if (!in_.analyser.valid()) return;
    // Bounded so that a producer outrunning us cannot keep this pass going forever.
    std::size_t budget = in_.analyser.capacity() + kDrainChunk;
    while (budget > 0) {
        const std::size_t n = in_.analyser.pop_some(scratch_.data(), scratch_.size());
        spectrum_.push(scratch_.data(), n);
        if (n < scratch_.size()) break;
        budget = budget > n ? budget - n : 0;
    }
}

void SpectrumAnalysis::pass(Clock::time_point now) {
    const uint64_t xruns = in_.xruns ? in_.xruns->load(std::memory_order_relaxed) : 0;
    print_json(
        read_meter_message(*in_.meters, loudness_, in_.state->loud_reset, in_.output_count, xruns));

    drain_analyser();
    const std::string name = in_.state->analyser_name_copy();
    if (name.empty() || name == "off") return;
    if (now - last_spectrum_ < kSpectrumInterval) return;
    last_spectrum_ = now;

    Json bands = Json::array();
    for (float b : spectrum_.compute()) bands.push_back(json_f32(b));
    print_json(Json{{"t", "rta"}, {"src", name}, {"b", std::move(bands)}});
}

void start_spectrum_thread(SpectrumThreadInputs inputs) {
    if (!inputs.meters || !inputs.state || !inputs.state->stop) {
        report_worker_failure(spectrum_worker());
        return;
    }
    // The FFT and the messages need memory: running out stops the meter bridge, not the mix.
    start_worker(spectrum_worker(), [inputs = std::move(inputs)]() mutable {
        const std::shared_ptr<ControlState> state = inputs.state;
        const std::shared_ptr<std::atomic<bool>> stop = state->stop;
        if (stop->load()) return;
        SpectrumAnalysis analysis(std::move(inputs), SpectrumAnalysis::Clock::now());
        for (;;) {
            sleep_fully(kPassInterval);
            if (state->ready.load(std::memory_order_acquire))
                analysis.pass(SpectrumAnalysis::Clock::now());
            if (stop->load()) return;
        }
    });
}

}  // namespace mixengine
