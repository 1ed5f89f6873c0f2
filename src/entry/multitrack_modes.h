// The record and play modes, split into a start-up, one pass of the main loop and a finish, so
// that tests can drive them on a scripted host and a clock of their own. The run_* loops add the
// system clock, the sleeps and the stop flag of the transport reader.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "audio/audio_host.h"
#include "audio/multitrack_callbacks.h"
#include "engine/spsc_ring.h"
#include "modes.h"
#include "multitrack/player.h"
#include "multitrack/recorder.h"

namespace mixengine {

using ModeClock = std::chrono::steady_clock;

class RecordSession {
  public:
    // Device, configuration, folder and files, queue, input stream; then the "ready" line.
    // Fails with the text that ends the mode (nothing printed).
    static Result<std::unique_ptr<RecordSession>> start(AudioHost& host,
                                                        const RecordOptions& options);

    // Writes everything queued, then the "rec" line when a whole second has passed since the
    // last one (the first pass, right after "ready", starts that clock). Fails with the text
    // that ends the mode when a sample cannot be written.
    Status pass(ModeClock::time_point now);

    // Stops the input, writes what it queued last, completes the files and prints "done".
    Status finish();

    const RecordingFiles& files() const noexcept { return *files_; }

  private:
    RecordSession() = default;

    std::optional<RecordingFiles> files_;
    RingConsumer<float> ring_;
    std::shared_ptr<SampleCounter> dropped_;
    std::optional<ModeClock::time_point> last_status_;
    std::unique_ptr<AudioStream> stream_;  // last: released before anything it feeds goes
};

// Drains every 20 ms until the stop flag was seen before a drain; then finishes. Exit status.
int run_recording(RecordSession& session, const std::atomic<bool>& stop);

class PlaySession {
  public:
    // Tracks, device, rate check, configuration, start position, queue, output stream; then the
    // "ready" line and, when the output has fewer channels than there are tracks, the warning.
    static Result<std::unique_ptr<PlaySession>> start(AudioHost& host, const PlayOptions& options,
                                                      std::shared_ptr<std::atomic<bool>> paused);

    // Tops the queue up with whole frames and prints "play" every 500 ms (the first pass, right
    // after "ready", starts that clock). True once the material is over: nothing left to read
    // and either played to its end or nothing left queued.
    bool pass(ModeClock::time_point now);

    // Stops the output and prints "done".
    void finish();

    uint64_t played() const noexcept { return played_->load(); }

  private:
    PlaySession() = default;

    std::optional<PlaybackTracks> tracks_;
    uint32_t rate_ = 0;
    uint16_t outputs_ = 0;
    uint64_t length_s_ = 0;
    uint64_t remaining_ = 0;
    RingProducer<float> ring_;
    std::shared_ptr<SampleCounter> played_;
    std::shared_ptr<std::atomic<bool>> paused_;
    std::optional<ModeClock::time_point> last_status_;
    std::unique_ptr<AudioStream> stream_;
};

// Fills every 10 ms until the material is over (then lets the device play out for 100 ms) or
// the stop flag is set; then finishes. Exit status.
int run_playback(PlaySession& session, const std::atomic<bool>& stop);

// The device a record or play mode names, and the configurations it offers in the mode's
// direction; or the text that ends the mode.
struct ModeDevice {
    DeviceHandle handle;
    std::vector<StreamConfigRange> ranges;
};
Result<ModeDevice> find_mode_device(AudioHost& host, const std::string& name, Direction direction);

// The mode's one stream, opened on `device` in the direction of `data` and started; or the text
// that ends the mode, which begins with `open_failure` when the host cannot open it. What the
// host reports later becomes a warning line that begins with `warning_prefix`.
Result<std::unique_ptr<AudioStream>> start_mode_stream(
    AudioHost& host, const DeviceHandle& device, const StreamConfig& config, SampleFormat format,
    std::variant<InputCallback, OutputCallback> data, std::string_view warning_prefix,
    std::string_view open_failure);

// What both modes start with: the system's audio host and the transport reader; then `run` with
// the reader's pause and stop flags gives the exit status. A reader that cannot run ends the mode
// first.
using TransportRun = std::function<int(AudioHost& host, std::shared_ptr<std::atomic<bool>> paused,
                                       const std::atomic<bool>& stop)>;
int run_transport_mode(const TransportRun& run);

}  // namespace mixengine
