// The practice loop stands in for the audio callback when there is no hardware: every 256 frames
// it applies the pending engine updates, fills the input block from the recording's tracks (or
// the test signals when there is no recording), runs the console, and sleeps until the block's
// absolute deadline start + blocks * 256 / rate, so sleep jitter never accumulates into drift.
// A loop that falls behind neither waits nor skips. Seek and pause come from the command reader
// through ControlState; a seek or the end of the recording reopens the files, and while a
// reopening finds nothing to play (the files vanished) it is tried again every half second.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "control/shared_state.h"
#include "engine/meters.h"
#include "engine/mix_engine.h"
#include "engine/spsc_ring.h"
#include "engine/update.h"
#include "multitrack/test_signals.h"
#include "multitrack/wav.h"

namespace mixengine {

inline constexpr std::size_t kPracticeBlock = 256;

// The loop's only view of time, so that tests can run it on a clock they drive.
class PracticeClock {
  public:
    using time_point = std::chrono::steady_clock::time_point;
    virtual ~PracticeClock() = default;
    virtual time_point now() noexcept = 0;
    // Returns at or after `deadline` (resuming after interruptions).
    virtual void sleep_until(time_point deadline) noexcept = 0;
};

// The monotonic system clock.
PracticeClock& system_practice_clock() noexcept;

struct PracticeLinks {
    std::size_t inputs = 1;  // at least 1 each: the caller has clamped them
    std::size_t outputs = 1;
    MixEngine* engine = nullptr;
    RingConsumer<EngineUpdate>* updates = nullptr;
    Meters* meters = nullptr;
    RingProducer<float>* analyser = nullptr;  // the engine's analyser sink
    ControlState* control = nullptr;          // stop flag, seek slot, pause flag
    std::optional<std::string> files;         // recordings folder
};

class PracticeLoop {
  public:
    PracticeLoop(PracticeLinks links, PracticeClock& clock);

    // Opens the recording (or falls back to test signals), prints the warnings and "ready", and
    // takes the start instant.
    void start();

    // One iteration: updates, input, engine, pacing. Allocates only when it reopens the files.
    void run_block();

    // start(), then blocks until the stop flag is set.
    void run();

    bool test_mode() const noexcept { return test_mode_; }
    std::size_t track_count() const noexcept { return tracks_.size(); }
    uint64_t position() const noexcept { return position_; }
    uint64_t length() const noexcept { return length_; }
    uint64_t blocks() const noexcept { return blocks_; }
    const std::vector<float>& input_block() const noexcept { return input_; }

  private:
    void reopen_tracks(uint64_t position);
    void fill_from_tracks() noexcept;
    void maybe_report(bool paused);
    uint64_t rate_hz() const noexcept;

    PracticeLinks links_;
    PracticeClock& clock_;
    float rate_;
    AnalyserSink sink_;

    std::vector<std::string> paths_;
    std::vector<WavReader> tracks_;
    bool test_mode_ = true;
    uint64_t length_ = 0;
    uint64_t position_ = 0;
    TestSignals signals_;

    std::vector<float> input_;
    std::vector<float> output_;
    PracticeClock::time_point start_{};
    PracticeClock::time_point last_report_{};
    PracticeClock::time_point last_reopen_{};
    uint64_t blocks_ = 0;
};

// The whole practice session on the calling thread: returns when the stop flag is set.
void run_practice_loop(PracticeLinks links, PracticeClock& clock = system_practice_clock());

}  // namespace mixengine
