#include "multitrack/recorder.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace mixengine {

namespace {

constexpr std::size_t kDrainChunk = 16384;

std::string write_failed(const std::string& system_text) {
    return "Writing the recording failed (is the disk full?): " + system_text;
}

}  // namespace

float peak_db(float peak) noexcept {
    const float db = 20.0f * std::log10(std::fmax(peak, 1e-6f));
    return std::round(db * 10.0f) / 10.0f;
}

std::string channel_file_name(std::size_t channel) {
    char name[32];
    std::snprintf(name, sizeof name, "ch%02zu.wav", channel + 1);
    return name;
}

uint64_t whole_seconds(uint64_t frames, uint32_t rate) noexcept {
    return rate == 0 ? 0 : frames / rate;
}

Result<RecordingFiles> RecordingFiles::create(const std::string& directory, uint16_t channels,
                                              uint32_t rate) {
    namespace fs = std::filesystem;
    // An empty folder name means the current folder (joining it naively would write to "/").
    const fs::path dir = directory.empty() ? fs::path(".") : fs::path(directory);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return fail(ec.message());
    RecordingFiles r;
    r.rate_ = rate;
    r.files_.reserve(channels);
    for (std::size_t c = 0; c < channels; ++c) {
        auto file = WavWriter::create((dir / channel_file_name(c)).string(), rate);
        if (!file) return fail(file.error());
        r.files_.push_back(std::move(*file));
    }
    r.peaks_.assign(channels, 0.0f);
    r.chunk_.resize(kDrainChunk);
    return Result<RecordingFiles>(std::move(r));
}

Status RecordingFiles::write(std::span<const float> samples) {
    if (failed_) return fail(write_failed("the recording has already failed"));
    const std::size_t n_channels = files_.size();
    if (n_channels == 0) return Done{};
    std::size_t c = next_channel_;
    for (const float s : samples) {
        if (const auto written = files_[c].write_sample(s); !written) {
            failed_ = true;
            return fail(write_failed(written.error()));
        }
        peaks_[c] = std::fmax(peaks_[c], std::fabs(s));
        if (++c == n_channels) {
            c = 0;
            ++frames_;
        }
    }
    next_channel_ = c;
    return Done{};
}

Status RecordingFiles::drain(RingConsumer<float>& ring) {
    for (;;) {
        const std::size_t n = ring.pop_some(chunk_.data(), chunk_.size());
        if (n == 0) return Done{};
        if (auto written = write(std::span<const float>(chunk_.data(), n)); !written)
            return written;
    }
}

Json RecordingFiles::rec_line(uint64_t dropped) {
    Json peaks = Json::array();
    for (float& p : peaks_) {
        peaks.push_back(json_f32(peak_db(p)));
        p = 0.0f;
    }
    return Json{{"t", "rec"},
                {"secs", whole_seconds(frames_, rate_)},
                {"channels", files_.size()},
                {"peaks", std::move(peaks)},
                {"dropped", dropped}};
}

Json RecordingFiles::done_line() const {
    return Json{
        {"t", "done"}, {"secs", whole_seconds(frames_, rate_)}, {"channels", files_.size()}};
}

Status RecordingFiles::finish() {
    for (auto& file : files_)
        if (auto finished = file.finish(rate_); !finished) return finished;
    return Done{};
}

}  // namespace mixengine
