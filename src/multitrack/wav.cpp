#include "multitrack/wav.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "engine/numeric.h"

namespace mixengine {

namespace {

std::string system_text(int err) {
    return std::generic_category().message(err);
}

uint32_t get_u32(const unsigned char* p) noexcept {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t get_u16(const unsigned char* p) noexcept {
    return uint16_t(p[0] | p[1] << 8);
}

void put_u32(unsigned char* p, uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put_u16(unsigned char* p, uint16_t v) noexcept {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

std::array<unsigned char, kWavHeaderBytes> make_header(uint32_t rate, uint64_t samples) noexcept {
    std::array<unsigned char, kWavHeaderBytes> h{};
    std::memcpy(&h[0], "RIFF", 4);
    put_u32(&h[4], wav_riff_size(samples));
    std::memcpy(&h[8], "WAVEfmt ", 8);
    put_u32(&h[16], 16);
    put_u16(&h[20], 1);
    put_u16(&h[22], 1);
    put_u32(&h[24], rate);
    // The byte rate is informative only; a rate above 0x55555555 saturates instead of wrapping.
    const uint64_t byte_rate = uint64_t(rate) * 3;
    put_u32(&h[28], byte_rate > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(byte_rate));
    put_u16(&h[32], 3);
    put_u16(&h[34], 24);
    std::memcpy(&h[36], "data", 4);
    put_u32(&h[40], wav_data_size(samples));
    return h;
}

// Writes everything or reports the error; retries on EINTR and on short writes. `done`, when
// given, receives how many bytes reached the file, also on failure.
int write_all_at(int fd, const unsigned char* data, std::size_t size, off_t* offset,
                 std::size_t* done = nullptr) noexcept {
    if (done) *done = 0;
    while (size > 0) {
        const ssize_t n = offset ? ::pwrite(fd, data, size, *offset) : ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        data += n;
        size -= static_cast<std::size_t>(n);
        if (offset) *offset += n;
        if (done) *done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

int32_t wav_sample_to_i24(float sample) noexcept {
    // A NaN sample is silence: clamping it to -1 would write a full-scale click.
    if (std::isnan(sample)) return 0;
    const float clamped = std::fmin(std::fmax(sample, -1.0f), 1.0f);
    return saturating_cast<int32_t>(std::round(clamped * kWavWriteScale));
}

uint32_t wav_data_size(uint64_t samples) noexcept {
    return samples >= 1431655766u ? 0xFFFFFFFFu : static_cast<uint32_t>(samples * 3);
}

uint32_t wav_riff_size(uint64_t samples) noexcept {
    const uint64_t riff = uint64_t(wav_data_size(samples)) + 36;
    return riff > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(riff);
}

// ---- reader ----

WavReader::WavReader(WavReader&& other) noexcept {
    *this = std::move(other);
}

WavReader& WavReader::operator=(WavReader&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        buf_ = std::move(other.buf_);
        buf_pos_ = std::exchange(other.buf_pos_, 0);
        buf_len_ = std::exchange(other.buf_len_, 0);
        buf_file_offset_ = std::exchange(other.buf_file_offset_, 0);
        errno_ = other.errno_;
        frames_ = std::exchange(other.frames_, 0);
        remaining_ = std::exchange(other.remaining_, 0);
        sample_rate_ = other.sample_rate_;
        bytes_per_sample_ = other.bytes_per_sample_;
    }
    return *this;
}

WavReader::~WavReader() {
    close();
}

void WavReader::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool WavReader::refill() noexcept {
    // Keep the unread tail (at most a partial sample) at the front of the buffer.
    const std::size_t tail = buf_len_ - buf_pos_;
    if (tail > 0 && buf_pos_ > 0) std::memmove(buf_.get(), buf_.get() + buf_pos_, tail);
    buf_file_offset_ += buf_pos_;
    buf_len_ = tail;
    buf_pos_ = 0;
    for (;;) {
        const ssize_t n = ::read(fd_, buf_.get() + buf_len_, kWavBufferBytes - buf_len_);
        if (n < 0) {
            if (errno == EINTR) continue;
            errno_ = errno;
            return false;
        }
        if (n == 0) {
            errno_ = 0;
            return false;
        }
        buf_len_ += static_cast<std::size_t>(n);
        return true;
    }
}

bool WavReader::read_exact(unsigned char* dst, std::size_t n) noexcept {
    while (n > 0) {
        if (buf_pos_ == buf_len_ && !refill()) return false;
        const std::size_t take = std::min(n, buf_len_ - buf_pos_);
        std::memcpy(dst, buf_.get() + buf_pos_, take);
        buf_pos_ += take;
        dst += take;
        n -= take;
    }
    return true;
}

bool WavReader::seek_to(uint64_t offset) noexcept {
    if (offset >= buf_file_offset_ && offset - buf_file_offset_ <= buf_len_) {
        buf_pos_ = static_cast<std::size_t>(offset - buf_file_offset_);
        return true;
    }
    if (offset > uint64_t(std::numeric_limits<off_t>::max()) ||
        ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
        errno_ = offset > uint64_t(std::numeric_limits<off_t>::max()) ? EINVAL : errno;
        return false;
    }
    buf_file_offset_ = offset;
    buf_pos_ = buf_len_ = 0;
    return true;
}

Result<WavReader> WavReader::open(const std::string& path) {
    WavReader r;
    // Non-blocking open: a FIFO named like a recording must not stall the practice loop until
    // some writer appears. Only regular files are read.
    do {
        r.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (r.fd_ < 0 && errno == EINTR);
    if (r.fd_ < 0) {
        return fail(path + ": " + system_text(errno));
    }
    struct stat st {};
    if (::fstat(r.fd_, &st) != 0) {
        return fail(path + ": " + system_text(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        // Opening a folder succeeds; it is the first read that fails, and a failed header read
        // reports the system's text alone.
        return fail(system_text(EISDIR));
    }
    if (!S_ISREG(st.st_mode)) {
        return fail(path + " is not a WAV file");
    }
    ::fcntl(r.fd_, F_SETFL, ::fcntl(r.fd_, F_GETFL) & ~O_NONBLOCK);
    r.buf_ = std::make_unique<unsigned char[]>(kWavBufferBytes);

    // The file length bounds every chunk walk below.
    const uint64_t file_len = st.st_size > 0 ? uint64_t(st.st_size) : 0;

    unsigned char head[12];
    if (!r.read_exact(head, sizeof head)) {
        return fail(r.errno_ ? system_text(r.errno_) : path + " is not a WAV file");
    }
    if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) {
        return fail(path + " is not a WAV file");
    }

    bool have_fmt = false;
    uint16_t channels = 0;
    uint16_t bits = 0;
    uint32_t rate = 0;
    // Every pass consumes at least the 8-byte chunk header at a strictly later offset, so a
    // finite file always ends the walk.
    for (;;) {
        unsigned char ch[8];
        if (!r.read_exact(ch, sizeof ch)) {
            return fail(path + " has no audio data");
        }
        const uint32_t size = get_u32(ch + 4);
        if (std::memcmp(ch, "fmt ", 4) == 0) {
            if (size < 16) {
                return fail(path + " has a format chunk too short to describe its audio");
            }
            unsigned char fmt[16];
            const uint64_t body_end = r.tell() + size;
            if (!r.read_exact(fmt, sizeof fmt) || (file_len > 0 && body_end > file_len)) {
                return fail(r.errno_ ? system_text(r.errno_)
                                     : path + ": the format chunk is cut short");
            }
            if (!r.seek_to(body_end)) {
                return fail(system_text(r.errno_));
            }
            have_fmt = true;
            channels = get_u16(fmt + 2);
            rate = get_u32(fmt + 4);
            bits = get_u16(fmt + 14);
        } else if (std::memcmp(ch, "data", 4) == 0) {
            if (!have_fmt || channels != 1 || (bits != 16 && bits != 24)) {
                return fail(path + ": only mono 16- or 24-bit WAV files can be played");
            }
            // An unfinished recording says 0: the samples run from here to the end of the file
            // (counted from the real data start, which need not be byte 44). A size beyond the
            // end of the file (a damaged or cut copy) counts only the bytes that are there, so
            // the length of the material is not overstated.
            const uint64_t start = r.tell();
            const uint64_t present = file_len > start ? file_len - start : 0;
            const uint64_t data_size = size != 0 && size < present ? size : present;
            r.bytes_per_sample_ = bits / 8u;
            r.sample_rate_ = rate;
            r.frames_ = data_size / r.bytes_per_sample_;
            r.remaining_ = r.frames_;
            return Result<WavReader>(std::move(r));
        } else {
            if (!r.seek_to(r.tell() + size + (size & 1u))) {
                return fail(system_text(r.errno_));
            }
        }
    }
}

float WavReader::next_sample() noexcept {
    if (remaining_ == 0) return 0.0f;
    --remaining_;
    const std::size_t bps = bytes_per_sample_;
    while (buf_len_ - buf_pos_ < bps) {
        if (!refill()) {
            remaining_ = 0;
            return 0.0f;
        }
    }
    const unsigned char* p = buf_.get() + buf_pos_;
    buf_pos_ += bps;
    if (bps == 2) return static_cast<float>(static_cast<int16_t>(get_u16(p))) / 32768.0f;
    const uint32_t raw = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
    const int32_t v = static_cast<int32_t>(raw << 8) >> 8;  // sign-extend the 24-bit value
    return static_cast<float>(v) / 8388608.0f;
}

void WavReader::skip(uint64_t n) noexcept {
    const uint64_t m = n < remaining_ ? n : remaining_;
    if (m == 0) return;
    remaining_ -= m;
    if (!seek_to(tell() + m * bytes_per_sample_)) remaining_ = 0;
}

// ---- writer ----

WavWriter::WavWriter(WavWriter&& other) noexcept {
    *this = std::move(other);
}

WavWriter& WavWriter::operator=(WavWriter&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        buf_ = std::move(other.buf_);
        buf_len_ = std::exchange(other.buf_len_, 0);
        errno_ = other.errno_;
        samples_ = std::exchange(other.samples_, 0);
    }
    return *this;
}

WavWriter::~WavWriter() {
    close();
}

void WavWriter::close() noexcept {
    if (fd_ < 0) return;
    flush_buffer();
    ::close(fd_);
    fd_ = -1;
}

bool WavWriter::flush_buffer() noexcept {
    if (buf_len_ == 0) return true;
    std::size_t done = 0;
    errno_ = write_all_at(fd_, buf_.get(), buf_len_, nullptr, &done);
    if (errno_ != 0) {
        // Keep only what did not reach the file: a later flush (the one on closing) continues
        // where this one stopped instead of appending the written part a second time.
        std::memmove(buf_.get(), buf_.get() + done, buf_len_ - done);
        buf_len_ -= done;
        return false;
    }
    buf_len_ = 0;
    return true;
}

Result<WavWriter> WavWriter::create(const std::string& path, uint32_t sample_rate) {
    WavWriter w;
    do {
        w.fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } while (w.fd_ < 0 && errno == EINTR);
    if (w.fd_ < 0) {
        return fail(system_text(errno));
    }
    w.buf_ = std::make_unique<unsigned char[]>(kWavBufferBytes);
    const auto header = make_header(sample_rate, 0);
    if (const int e = write_all_at(w.fd_, header.data(), header.size(), nullptr); e != 0) {
        return fail(system_text(e));
    }
    return Result<WavWriter>(std::move(w));
}

Status WavWriter::write_sample(float sample) noexcept {
    if (fd_ < 0) return fail(system_text(EBADF));
    if (kWavBufferBytes - buf_len_ < 3 && !flush_buffer()) return fail(system_text(errno_));
    const uint32_t v = static_cast<uint32_t>(wav_sample_to_i24(sample));
    unsigned char* p = buf_.get() + buf_len_;
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    buf_len_ += 3;
    ++samples_;
    return Done{};
}

Status WavWriter::finish(uint32_t sample_rate) {
    if (fd_ < 0) return fail(system_text(EBADF));
    int err = flush_buffer() ? 0 : errno_;
    if (err == 0) {
        const auto header = make_header(sample_rate, samples_);
        off_t at = 0;
        err = write_all_at(fd_, header.data(), header.size(), &at);
    }
    if (err == 0) {
        while (::fsync(fd_) != 0) {
            if (errno != EINTR) {
                err = errno;
                break;
            }
        }
    }
    buf_len_ = 0;  // whatever could not be written must not be retried by close()
    const int closed = ::close(fd_);
    fd_ = -1;
    if (err == 0 && closed != 0 && errno != EINTR) err = errno;
    if (err != 0) return fail(system_text(err));
    return Done{};
}

}  // namespace mixengine
