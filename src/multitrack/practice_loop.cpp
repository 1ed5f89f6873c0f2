#include "multitrack/practice_loop.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "control/telemetry.h"
#include "control/worker.h"
#include "engine/denormals.h"
#include "engine/numeric.h"
#include "multitrack/recordings.h"

namespace mixengine {

namespace {

class SystemClock final : public PracticeClock {
  public:
    time_point now() noexcept override { return std::chrono::steady_clock::now(); }
    void sleep_until(time_point deadline) noexcept override { sleep_fully(deadline - now()); }
};

// A rate as a person would write it inside a sentence: 48000, not 48000.0.
std::string rate_text(double hz) {
    if (hz == std::trunc(hz) && std::fabs(hz) < 1e15)
        return std::to_string(saturating_cast<int64_t>(hz));
    return to_line(Json(hz));
}

constexpr auto kReopenInterval = std::chrono::milliseconds(500);

uint64_t sat_mul(uint64_t a, uint64_t b) noexcept {
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

}  // namespace

PracticeClock& system_practice_clock() noexcept {
    static SystemClock clock;
    return clock;
}

PracticeLoop::PracticeLoop(PracticeLinks links, PracticeClock& clock)
    : links_(std::move(links)),
      clock_(clock),
      rate_(links_.engine->sample_rate()),
      sink_(AnalyserSink::to_ring(*links_.analyser)),
      signals_(rate_) {}

uint64_t PracticeLoop::rate_hz() const noexcept {
    return saturating_cast<uint64_t>(rate_);
}

void PracticeLoop::start() {
    if (links_.files) {
        paths_ = list_recordings(*links_.files);
        tracks_.reserve(paths_.size());
        reopen_tracks(0);
        if (tracks_.empty())
            print_warn("No recording found to practise with; playing test signals.");
    }
    test_mode_ = tracks_.empty();
    if (!test_mode_ && static_cast<float>(tracks_.front().sample_rate()) != rate_) {
        print_warn("The recording is at " + std::to_string(tracks_.front().sample_rate()) +
                   " Hz; the practice engine runs at " + rate_text(rate_) +
                   " Hz, so it will play at the wrong speed.");
    }

    start_ = clock_.now();
    last_report_ = start_;
    input_.assign(links_.inputs * kPracticeBlock, 0.0f);
    output_.assign(links_.outputs * kPracticeBlock, 0.0f);
    print_json(
        Json{{"t", "ready"},
             {"mode", "sim"},
             {"rate", json_f32(rate_)},
             {"inputs", links_.inputs},
             {"outputs", links_.outputs},
             {"buffer", kPracticeBlock},
             {"in_name", "Test signals"},
             {"out_name", "None (test mode)"},
             {"latency_ms", json_f32(static_cast<float>(kPracticeBlock) / rate_ * 2000.0f)}});
    links_.control->ready.store(true, std::memory_order_release);
}

void PracticeLoop::reopen_tracks(uint64_t position) {
    last_reopen_ = clock_.now();
    tracks_.clear();
    length_ = 0;
    for (const auto& path : paths_) {
        if (auto reader = WavReader::open(path)) tracks_.push_back(std::move(*reader));
    }
    for (auto& track : tracks_) {
        length_ = std::max(length_, track.frames());
        track.skip(position);  // at most to the track's end
    }
}

void PracticeLoop::fill_from_tracks() noexcept {
    const std::size_t inputs = links_.inputs;
    const std::size_t playing = std::min(inputs, tracks_.size());
    float* out = input_.data();
    for (std::size_t f = 0; f < kPracticeBlock; ++f, out += inputs) {
        for (std::size_t i = 0; i < playing; ++i) out[i] = tracks_[i].next_sample();
        std::fill(out + playing, out + inputs, 0.0f);
    }
}

void PracticeLoop::maybe_report(bool paused) {
    const auto now = clock_.now();
    if (now - last_report_ < std::chrono::milliseconds(500)) return;
    last_report_ = now;
    const uint64_t r = rate_hz();
    print_json(Json{{"t", "files"},
                    {"secs", r ? position_ / r : 0},
                    {"length", r ? length_ / r : 0},
                    {"paused", paused},
                    {"tracks", tracks_.size()}});
}

void PracticeLoop::run_block() {
    EngineUpdate update;
    while (links_.updates->pop(update)) links_.engine->apply_update(std::move(update));

    if (test_mode_) {
        signals_.fill(input_.data(), links_.inputs, kPracticeBlock);
    } else {
        const uint64_t seek = links_.control->seek.exchange(0, std::memory_order_relaxed);
        if (seek != 0) {
            const uint64_t last = length_ > 0 ? length_ - 1 : 0;
            position_ = std::min(sat_mul(seek - 1, rate_hz()), last);
            reopen_tracks(position_);
        } else if (position_ >= length_ && length_ > 0) {
            position_ = 0;
            reopen_tracks(0);  // the recording loops
        } else if (length_ == 0 && clock_.now() - last_reopen_ >= kReopenInterval) {
            // Nothing to play: the files vanished, or are empty. They may come back (a folder
            // being copied again); look for them now and then, not on every block, since
            // opening files costs the loop system calls and allocations.
            position_ = 0;
            reopen_tracks(0);
        }
        // Read once, so that the progress line reports what this block did.
        const bool paused = links_.control->paused.load(std::memory_order_relaxed);
        if (paused) {
            std::fill(input_.begin(), input_.end(), 0.0f);
        } else {
            fill_from_tracks();
            position_ += kPracticeBlock;
        }
        maybe_report(paused);
    }

    links_.engine->process(std::span<const float>(input_), links_.inputs, std::span<float>(output_),
                           links_.outputs, *links_.meters, sink_);

    ++blocks_;
    const double due_s = static_cast<double>(blocks_) * static_cast<double>(kPracticeBlock) /
                         static_cast<double>(rate_);
    const auto deadline = start_ + std::chrono::nanoseconds(saturating_cast<int64_t>(due_s * 1e9));
    if (clock_.now() < deadline) clock_.sleep_until(deadline);
}

void PracticeLoop::run() {
    ScopedFlushDenormals denormals_off;  // test signals and updates run outside process()
    start();
    while (!links_.control->stop->load(std::memory_order_acquire)) run_block();
}

void run_practice_loop(PracticeLinks links, PracticeClock& clock) {
    PracticeLoop loop(std::move(links), clock);
    loop.run();
}

}  // namespace mixengine
