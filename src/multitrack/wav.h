// Mono WAV files, one per recorded channel. The reader walks the RIFF chunks, takes the channel
// count, rate and sample width from "fmt " and plays 16- or 24-bit mono "data"; a data size of 0
// (a recording whose header was never completed) means "everything from the first sample to the
// end of the file". The writer produces 24-bit mono with a 44-byte header whose sizes are
// placeholders until finish() rewrites them. Samples are read and written one at a time through
// 64 KiB buffers; errors come back as user-readable texts, never as exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "control/result.h"

namespace mixengine {

inline constexpr std::size_t kWavBufferBytes = 64 * 1024;
inline constexpr std::size_t kWavHeaderBytes = 44;

// Scale of the writer: full scale maps to 8388607 so that +1 and -1 stay symmetric.
inline constexpr float kWavWriteScale = 8388607.0f;

// f32 -> signed 24-bit as stored: clamp to [-1, 1], scale, round half away from zero.
int32_t wav_sample_to_i24(float sample) noexcept;

// Header sizes for a finished recording of `samples` 24-bit samples, saturating at 0xFFFFFFFF.
uint32_t wav_data_size(uint64_t samples) noexcept;
uint32_t wav_riff_size(uint64_t samples) noexcept;

class WavReader {
  public:
    // Returns the reader positioned at the first sample, or the user-readable error.
    static Result<WavReader> open(const std::string& path);

    WavReader(WavReader&& other) noexcept;
    WavReader& operator=(WavReader&& other) noexcept;
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;
    ~WavReader();

    uint64_t frames() const noexcept { return frames_; }
    uint64_t remaining() const noexcept { return remaining_; }
    uint32_t sample_rate() const noexcept { return sample_rate_; }
    unsigned bytes_per_sample() const noexcept { return bytes_per_sample_; }

    // The next sample as f32; 0.0 once the data is exhausted. A read failure silences the rest.
    float next_sample() noexcept;

    // Moves forward by min(n, remaining) samples. Within the buffered bytes this is pointer
    // arithmetic; beyond them one seek, and the buffer refills on the next read.
    void skip(uint64_t n) noexcept;

  private:
    WavReader() = default;
    void close() noexcept;
    // Absolute file offset of the next byte to be consumed.
    uint64_t tell() const noexcept { return buf_file_offset_ + buf_pos_; }
    bool seek_to(uint64_t offset) noexcept;
    // Reads exactly n bytes; false on error or end of file (errno_ holds the error, 0 at EOF).
    bool read_exact(unsigned char* dst, std::size_t n) noexcept;
    bool refill() noexcept;

    int fd_ = -1;
    std::unique_ptr<unsigned char[]> buf_;
    std::size_t buf_pos_ = 0;
    std::size_t buf_len_ = 0;
    uint64_t buf_file_offset_ = 0;  // file offset of buf_[0]
    int errno_ = 0;

    uint64_t frames_ = 0;
    uint64_t remaining_ = 0;
    uint32_t sample_rate_ = 0;
    unsigned bytes_per_sample_ = 0;
};

class WavWriter {
  public:
    // Creates (or truncates) the file and writes the header of an empty recording.
    static Result<WavWriter> create(const std::string& path, uint32_t sample_rate);

    WavWriter(WavWriter&& other) noexcept;
    WavWriter& operator=(WavWriter&& other) noexcept;
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;
    // An unfinished writer flushes what it buffered and closes, leaving the placeholder sizes.
    ~WavWriter();

    // Appends one 24-bit sample. Fails with the system's error text when the buffer cannot be
    // written out. Success allocates nothing (a Status holding Done owns no string), so the
    // recorder's writer loop stays free of the heap; only a failure builds its text.
    Status write_sample(float sample) noexcept;

    // Flushes, rewrites the header with the final sizes and the given rate, commits the file to
    // stable storage and closes it. Fails with the system's error text (file closed).
    Status finish(uint32_t sample_rate);

    uint64_t samples_written() const noexcept { return samples_; }

  private:
    WavWriter() = default;
    bool flush_buffer() noexcept;
    void close() noexcept;

    int fd_ = -1;
    std::unique_ptr<unsigned char[]> buf_;
    std::size_t buf_len_ = 0;
    int errno_ = 0;
    // Counted in 64 bits: a 32-bit count would wrap after a day of recording at 48 kHz and the
    // header would then claim a tiny file.
    uint64_t samples_ = 0;
};

}  // namespace mixengine
