#include "suppression/feedback_thread.h"

#include <cmath>
#include <span>
#include <type_traits>
#include <utility>

#include "control/telemetry.h"
#include "engine/notch.h"

namespace mixengine {

namespace {

// Practice howls for outputs given no frequency, by output index mod 5.
constexpr float kDefaultHowlHz[] = {630.0f, 1250.0f, 2500.0f, 3150.0f, 800.0f};

Json whole_hz(float hz) {
    return json_f32(std::round(hz));
}

}  // namespace

const FedThreadSpec FeedbackSuppressor::kThread{
    kOutputsWatched, 65536, std::chrono::milliseconds(10),
    "Feedback suppression has stopped: the engine ran out of memory or threads. Restart it to "
    "use it again."};

std::string fba_output_name(std::size_t output) {
    if (output == kWatchedMain) return "main";
    if (output == kWatchedMono) return "mono";
    return "bus." + std::to_string(output - watched_bus(0) + 1);
}

FeedbackSuppressor::FeedbackSuppressor(FedWorkerEnds<FbaCommand> ends,
                                       std::shared_ptr<UpdateSender> updates, float rate)
    : FedWorker(std::move(ends), std::move(updates), kThread.samples) {
    for (auto& o : outputs_) o = std::make_unique<Output>(rate);
}

void FeedbackSuppressor::pass(double now_s) {
    if (now_s - last_release_s_ >= kReleaseInterval_s) {
        release_pass(now_s);
        last_release_s_ = now_s;
    }
    while (auto command = next_message()) handle(*command, now_s);

    for (std::size_t i = 0; i < kOutputsWatched; ++i) {
        const std::span<const float> samples = drain(i);
        Output& o = *outputs_[i];
        if (!o.cfg.on || samples.empty()) continue;
        const std::vector<float> found = o.detector.process(samples, o.cfg);
        for (const float f : found) detection(i, f, now_s);
        if (!found.empty()) print_state(i);
    }
}

void FeedbackSuppressor::release_pass(double now_s) {
    for (std::size_t i = 0; i < kOutputsWatched; ++i) {
        Output& o = *outputs_[i];
        if (!o.cfg.on || o.cfg.mode != "live" || o.bank.notches().empty()) continue;
        const std::vector<NotchChange> changes = o.bank.release(now_s, o.cfg);
        for (const NotchChange& change : changes) {
            if (const auto* raised = std::get_if<notch::Raised>(&change)) {
                send(update::SetNotch{i, raised->freq_hz, raised->depth_db});
            } else {
                send(update::RemoveNotch{i, std::get<notch::Removed>(change).freq_hz});
            }
        }
        if (!changes.empty()) print_state(i);
    }
}

void FeedbackSuppressor::detection(std::size_t i, float freq_hz, double now_s) {
    Output& o = *outputs_[i];
    const std::string target = fba_output_name(i);
    print_json(Json{{"t", "fba.detect"}, {"target", target}, {"f", whole_hz(freq_hz)}});

    if (o.cfg.mode == "suggest") {
        for (const float s : o.suggestions)
            if (within_sixth_octave(s, freq_hz)) return;
        o.suggestions.push_back(freq_hz);
        return;
    }

    const NotchOutcome outcome = o.bank.place(freq_hz, now_s, o.cfg);
    float depth = 0.0f;
    if (const auto* placed = std::get_if<notch::Placed>(&outcome)) {
        depth = placed->depth_db;
    } else if (const auto* replaced = std::get_if<notch::Replaced>(&outcome)) {
        send(update::RemoveNotch{i, replaced->evicted_hz});
        depth = replaced->depth_db;
    } else {
        print_warn("FBA on " + target +
                   ": every notch is in use or at its deepest. Turn that output down a little.");
        return;
    }
    send(update::SetNotch{i, freq_hz, depth});
    print_json(Json{
        {"t", "fba.notch"}, {"target", target}, {"f", whole_hz(freq_hz)}, {"g", json_f32(depth)}});
}

void FeedbackSuppressor::handle(const FbaCommand& command, double now_s) {
    std::visit(
        [&](const auto& c) {
            using C = std::decay_t<decltype(c)>;
            const std::size_t i = c.output;
            if (i >= kOutputsWatched) return;
            Output& o = *outputs_[i];
            if constexpr (std::is_same_v<C, fba::Configure>) {
                send(update::FeedSwitch{i, c.cfg.on});
                o.cfg = c.cfg;
                print_state(i);
            } else if constexpr (std::is_same_v<C, fba::Cut>) {
                // A frequency that is not a place in the spectrum (a missing "f" reads as 0)
                // would take a fixed slot for good without cutting anything.
                if (!(std::isfinite(c.freq_hz) && c.freq_hz > 0.0f)) return;
                FbaCfg fixed = o.cfg;
                fixed.mode = "fixed";
                const NotchOutcome outcome = o.bank.place(c.freq_hz, now_s, fixed);
                if (const auto* placed = std::get_if<notch::Placed>(&outcome)) {
                    send(update::SetNotch{i, c.freq_hz, placed->depth_db});
                }
                std::erase_if(o.suggestions,
                              [&](float s) { return within_sixth_octave(s, c.freq_hz, true); });
                print_state(i);
            } else if constexpr (std::is_same_v<C, fba::Reset>) {
                o.bank.clear();
                o.suggestions.clear();
                send(update::ClearNotches{i});
                print_state(i);
            } else {
                const float f = c.freq_hz > 0.0f ? c.freq_hz : kDefaultHowlHz[i % 5];
                send(update::StartHowl{i, f});
            }
        },
        command);
}

void FeedbackSuppressor::print_state(std::size_t i) const {
    const Output& o = *outputs_[i];
    Json notches = Json::array();
    for (const Notch& n : o.bank.notches()) {
        notches.push_back(Json::array(
            {whole_hz(n.freq_hz), json_f32(std::round(n.depth_db * 10.0f) / 10.0f), n.fixed}));
    }
    Json suggest = Json::array();
    for (const float s : o.suggestions) suggest.push_back(whole_hz(s));
    print_json(Json{{"t", "fba"},
                    {"target", fba_output_name(i)},
                    {"on", o.cfg.on},
                    {"mode", o.cfg.mode},
                    {"notches", std::move(notches)},
                    {"suggest", std::move(suggest)}});
}

}  // namespace mixengine
