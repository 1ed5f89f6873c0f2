#include "control/room_reporter.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "control/worker.h"
#include <utility>

namespace mixengine {

namespace {

// Rounded in double, so the line reads as a person would write it.
Json rounded(float v, double steps_per_unit) {
    return Json(std::round(double(v) * steps_per_unit) / steps_per_unit);
}

}  // namespace

LoopModel::LoopModel(float sample_rate, std::size_t latency_frames)
    : shadow_(sample_rate), latency_(latency_frames) {}

void LoopModel::apply(EngineUpdate update) {
    std::lock_guard<std::mutex> lock(mutex_);
    shadow_.apply_update(std::move(update));
}

std::optional<RoomMargin> LoopModel::margin(const LoopGains& gains) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!shadow_.has_room()) return std::nullopt;
    return shadow_.room_margin(latency_, &gains);
}

Json room_line(const RoomMargin& m) {
    return Json{{"t", "room"},
                {"ch", m.ch},
                {"gain_db", rounded(m.gain_db, 10.0)},
                {"f", rounded(m.freq_hz, 1.0)},
                {"ring_db", rounded(m.ring_db, 10.0)},
                {"ring_hz", rounded(m.ring_hz, 1.0)},
                {"loop_ms", rounded(m.loop_ms, 100.0)}};
}

void start_room_reporter(std::shared_ptr<const LoopModel> model, std::shared_ptr<Meters> meters,
                         std::shared_ptr<std::atomic<bool>> stop) {
    if (!model || !meters || !stop) return;
    start_worker(WorkerSpec::optional("The room's margin has stopped: the engine ran out of memory "
                                      "or threads. Restart it to see it again."),
                 [model = std::move(model), meters = std::move(meters), stop = std::move(stop)] {
                     auto pause = std::chrono::steady_clock::duration(kRoomReportInterval);
                     while (!stop->load()) {
                         sleep_fully(pause);
                         if (stop->load()) return;
                         const auto start = std::chrono::steady_clock::now();
                         const auto m = model->margin(read_loop_gains(*meters));
                         if (m) print_json(room_line(*m));
                         // A heavy room (eight long paths) is reported less often, so that the
                         // margin never takes more than about a tenth of a core.
                         const auto spent = std::chrono::steady_clock::now() - start;
                         pause = std::max<std::chrono::steady_clock::duration>(
                             kRoomReportInterval, 9 * spent);
                     }
                 });
}

}  // namespace mixengine
