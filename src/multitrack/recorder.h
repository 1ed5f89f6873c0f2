// The writing side of a multitrack recording: one 24-bit mono WAV file per channel, ch01.wav
// onward, fed with the interleaved samples exactly as the input device delivered them. It keeps
// track of which channel the next sample belongs to across calls, counts whole frames, holds each
// channel's peak for the progress lines and completes the files at the end. It runs on the
// recorder's main thread, never on the audio thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "control/result.h"
#include "control/telemetry.h"
#include "engine/spsc_ring.h"
#include "multitrack/wav.h"

namespace mixengine {

// 20 log10(max(peak, 1e-6)) rounded to 0.1 dB in single precision: silence reads -120.
float peak_db(float peak) noexcept;

// "ch01.wav", "ch02.wav", ... for channel index 0, 1, ...: at least two digits.
std::string channel_file_name(std::size_t channel);

// Whole seconds in `frames` at `rate`; 0 when the rate is 0 (a damaged header), never a division
// by zero.
uint64_t whole_seconds(uint64_t frames, uint32_t rate) noexcept;

class RecordingFiles {
  public:
    // Creates `directory` with any missing parents, then ch01.wav .. in channel order (existing
    // files are overwritten). Fails with the system's text.
    static Result<RecordingFiles> create(const std::string& directory, uint16_t channels,
                                         uint32_t rate);

    // Writes interleaved samples, continuing with the channel where the previous call stopped.
    // A sample that cannot be written ends the recording: the error is the user message
    // "Writing the recording failed (is the disk full?): ..." and nothing more is written.
    // Success allocates nothing, like each sample's write.
    Status write(std::span<const float> samples);

    // Pops and writes everything queued in the ring.
    Status drain(RingConsumer<float>& ring);

    // {"t":"rec",...} with the peaks since the previous line; starts new peaks.
    Json rec_line(uint64_t dropped);
    // {"t":"done","secs","channels"}.
    Json done_line() const;

    // Completes every file in channel order (final header sizes, synchronised, closed). The first
    // failure is the system's text; the files after it keep placeholder sizes, which still play
    // to their end.
    Status finish();

    uint16_t channels() const noexcept { return static_cast<uint16_t>(files_.size()); }
    uint32_t rate() const noexcept { return rate_; }
    uint64_t frames() const noexcept { return frames_; }

  private:
    RecordingFiles() = default;

    std::vector<WavWriter> files_;
    std::vector<float> peaks_;
    std::vector<float> chunk_;  // drain buffer, sized once
    std::size_t next_channel_ = 0;
    uint64_t frames_ = 0;
    uint32_t rate_ = 0;
    bool failed_ = false;
};

}  // namespace mixengine
