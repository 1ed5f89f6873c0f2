#include "multitrack/player.h"

#include <algorithm>

#include "engine/numeric.h"
#include "multitrack/recordings.h"

namespace mixengine {

uint64_t start_frame(double seconds, uint32_t rate) noexcept {
    return saturating_cast<uint64_t>(seconds * static_cast<double>(rate));
}

Result<PlaybackTracks> PlaybackTracks::open(const std::string& directory) {
    const auto paths = list_recordings(directory);
    if (paths.empty()) return fail("No recording found in " + directory);
    PlaybackTracks t;
    t.tracks_.reserve(paths.size());
    for (const auto& path : paths) {
        auto reader = WavReader::open(path);
        if (!reader) return fail(reader.error());
        t.total_frames_ = std::max(t.total_frames_, reader->frames());
        t.tracks_.push_back(std::move(*reader));
    }
    return Result<PlaybackTracks>(std::move(t));
}

void PlaybackTracks::skip(uint64_t frames) noexcept {
    for (auto& track : tracks_) track.skip(frames);
}

uint64_t PlaybackTracks::fill(RingProducer<float>& ring, uint16_t outputs, uint64_t& remaining) {
    if (outputs == 0) return 0;
    frame_.resize(outputs);
    const std::size_t read = std::min<std::size_t>(outputs, tracks_.size());
    uint64_t pushed = 0;
    while (remaining > 0 && ring.free_slots() >= outputs) {
        for (std::size_t c = 0; c < read; ++c) frame_[c] = tracks_[c].next_sample();
        std::fill(frame_.begin() + static_cast<std::ptrdiff_t>(read), frame_.end(), 0.0f);
        ring.push_some(frame_.data(), outputs);
        --remaining;
        ++pushed;
    }
    return pushed;
}

}  // namespace mixengine
