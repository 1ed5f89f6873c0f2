// The reading side of multitrack playback: the recording's tracks (ch*.wav in byte order, track k
// to output k), its rate, length and start position, and the interleaving of whole frames into
// the queue the output callback plays from. It runs on the player's main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "control/result.h"
#include "engine/spsc_ring.h"
#include "multitrack/wav.h"

namespace mixengine {

// Frames from a start position in seconds: seconds * rate in double precision, truncated and
// saturated (a huge --from lands beyond any end instead of wrapping).
uint64_t start_frame(double seconds, uint32_t rate) noexcept;

class PlaybackTracks {
  public:
    // Lists and opens the folder's recordings. Errors: "No recording found in {dir}" or the first
    // track's open error in listing order.
    static Result<PlaybackTracks> open(const std::string& directory);

    std::size_t count() const noexcept { return tracks_.size(); }
    // The first track's rate; the others are not compared with it.
    uint32_t rate() const noexcept { return tracks_.front().sample_rate(); }
    // The longest track's frames; shorter tracks are silent after their end.
    uint64_t total_frames() const noexcept { return total_frames_; }

    // Moves every track forward by `frames` (each at most to its end).
    void skip(uint64_t frames) noexcept;

    // Pushes whole frames of `outputs` samples (track c on channel c, silence where there is no
    // track; tracks from `outputs` on are never read) while `remaining` > 0 and a frame fits.
    // Returns the frames pushed and lowers `remaining` by as many.
    uint64_t fill(RingProducer<float>& ring, uint16_t outputs, uint64_t& remaining);

  private:
    PlaybackTracks() = default;

    std::vector<WavReader> tracks_;
    std::vector<float> frame_;
    uint64_t total_frames_ = 0;
};

}  // namespace mixengine
