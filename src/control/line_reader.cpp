#include "control/line_reader.h"

#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace mixengine {

namespace {
constexpr std::size_t kReadChunk = 64 * 1024;
// A line buffer that grew past this is given back once its line has been handled, so one long
// line does not pin its memory for the rest of the run.
constexpr std::size_t kKeptCapacity = 64 * 1024;
}  // namespace

ByteSource fd_byte_source(int fd) {
    return [fd](char* data, std::size_t size) -> std::ptrdiff_t {
        for (;;) {
            const ssize_t n = ::read(fd, data, size);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    };
}

bool Utf8Checker::feed(const char* data, std::size_t size) noexcept {
    if (failed_) return false;
    for (std::size_t i = 0; i < size; ++i) {
        const auto b = static_cast<uint8_t>(data[i]);
        if (remaining_ == 0) {
            if (b < 0x80) continue;
            lo_ = 0x80;
            hi_ = 0xBF;
            if (b >= 0xC2 && b <= 0xDF) {
                remaining_ = 1;
            } else if (b >= 0xE0 && b <= 0xEF) {
                remaining_ = 2;
                if (b == 0xE0) lo_ = 0xA0;  // overlong below U+0800
                if (b == 0xED) hi_ = 0x9F;  // surrogates
            } else if (b >= 0xF0 && b <= 0xF4) {
                remaining_ = 3;
                if (b == 0xF0) lo_ = 0x90;  // overlong below U+10000
                if (b == 0xF4) hi_ = 0x8F;  // above U+10FFFF
            } else {
                failed_ = true;  // continuation without a lead, C0, C1, F5..FF
                return false;
            }
        } else {
            if (b < lo_ || b > hi_) {
                failed_ = true;
                return false;
            }
            --remaining_;
            lo_ = 0x80;
            hi_ = 0xBF;
        }
    }
    return true;
}

LineReader::LineReader(ByteSource source, std::size_t max_line)
    : source_(std::move(source)), max_line_(max_line), buffer_(kReadChunk, '\0') {}

bool LineReader::refill() {
    const std::ptrdiff_t n = source_ ? source_(buffer_.data(), buffer_.size()) : 0;
    if (n < 0 || static_cast<std::size_t>(n) > buffer_.size()) failed_ = true;
    if (n <= 0 || failed_) return false;
    pos_ = 0;
    end_ = static_cast<std::size_t>(n);
    return true;
}

void LineReader::count_dropped() noexcept {
    ++(has_nul_ ? nul_lines_ : overlong_);
    discarding_ = false;
    has_nul_ = false;
}

bool LineReader::next(std::string& line) {
    if (pending_.capacity() > kKeptCapacity) std::string().swap(pending_);
    while (!ended_) {
        if (pos_ == end_ && !refill()) {
            ended_ = true;
            // A last line without a line feed still counts, unless it is cut inside a character
            // or the read failed: then nobody knows what the rest of it would have said.
            if (failed_ || !utf8_.at_boundary()) return false;
            if (discarding_) {
                count_dropped();
                return false;
            }
            if (pending_.empty()) return false;
            line.swap(pending_);
            pending_.clear();
            return true;
        }
        const char* start = buffer_.data() + pos_;
        const std::size_t avail = end_ - pos_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', avail));
        const std::size_t seg = lf ? static_cast<std::size_t>(lf - start) : avail;
        // The line feed goes through the check too: it must not land inside a character.
        if (!utf8_.feed(start, lf ? seg + 1 : seg)) {
            ended_ = true;
            return false;
        }
        if (!discarding_) {
            if (pending_.size() + seg > max_line_) {
                discarding_ = true;
            } else if (std::memchr(start, '\0', seg) != nullptr) {
                discarding_ = true;
                has_nul_ = true;
            } else {
                pending_.append(start, seg);
            }
            if (discarding_) std::string().swap(pending_);
        }
        pos_ += lf ? seg + 1 : seg;
        if (!lf) continue;
        if (discarding_) {
            count_dropped();
            continue;
        }
        if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
        line.swap(pending_);
        pending_.clear();
        return true;
    }
    return false;
}

}  // namespace mixengine
