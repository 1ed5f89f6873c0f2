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

LineReader::LineReader(ByteSource source, std::size_t max_line, Utf8Fault utf8_fault)
    : source_(std::move(source)),
      max_line_(max_line),
      utf8_fault_(utf8_fault),
      buffer_(kReadChunk, '\0') {}

bool LineReader::refill() {
    const std::ptrdiff_t n = source_ ? source_(buffer_.data(), buffer_.size()) : 0;
    if (n < 0 || static_cast<std::size_t>(n) > buffer_.size()) failed_ = true;
    if (n <= 0 || failed_) return false;
    pos_ = 0;
    end_ = static_cast<std::size_t>(n);
    return true;
}

void LineReader::drop(Drop why) noexcept {
    if (dropping_ != Drop::None) return;
    dropping_ = why;
    std::string().swap(pending_);
}

void LineReader::count_dropped() noexcept {
    switch (dropping_) {
        case Drop::Overlong:
            ++overlong_;
            break;
        case Drop::Nul:
            ++nul_lines_;
            break;
        case Drop::InvalidUtf8:
            ++invalid_utf8_lines_;
            break;
        case Drop::None:
            break;
    }
    dropping_ = Drop::None;
}

bool LineReader::next(std::string& line) {
    if (pending_.capacity() > kKeptCapacity) std::string().swap(pending_);
    while (!ended_) {
        if (pos_ == end_ && !refill()) {
            ended_ = true;
            // A last line without a line feed still counts, unless it is cut inside a character
            // or the read failed: then nobody knows what the rest of it would have said.
            if (failed_) return false;
            if (!utf8_.at_boundary()) {
                if (utf8_fault_ == Utf8Fault::DropsLine) {
                    drop(Drop::InvalidUtf8);
                    count_dropped();
                }
                return false;
            }
            if (dropping_ != Drop::None) {
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
            if (utf8_fault_ == Utf8Fault::EndsInput) {
                ended_ = true;
                return false;
            }
            drop(Drop::InvalidUtf8);
        }
        if (dropping_ == Drop::None) {
            if (pending_.size() + seg > max_line_) {
                drop(Drop::Overlong);
            } else if (std::memchr(start, '\0', seg) != nullptr) {
                drop(Drop::Nul);
            } else {
                pending_.append(start, seg);
            }
        }
        pos_ += lf ? seg + 1 : seg;
        if (!lf) continue;
        // The line feed always ends the line, even one that broke off inside a character.
        utf8_.reset();
        if (dropping_ != Drop::None) {
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
