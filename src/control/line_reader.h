// Line framing for the text the front end writes to standard input.
//
// Bytes come from any source (read(2) on a descriptor in production, a pipe or a string in
// tests). A line ends at a line feed, which is removed together with one carriage return right
// before it; a last line without a line feed still counts. Every byte is checked as UTF-8 as it
// arrives: the first malformed sequence ends the input as if it had closed (or, where the reader
// asks for it, drops its line whole), and no line containing it is ever handed out. A line longer
// than the limit is dropped whole (its bytes are still checked), so one runaway line can never hold
// more than the limit in memory. A line holding a NUL byte is dropped whole as well: JSON parsers
// take NUL for the end of their input and would act on the text before it, and no command or
// transport word contains one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "control/utf8.h"

namespace mixengine {

// Reads up to `size` bytes into `data`: returns the number read, 0 at the end of input, or a
// negative value on a read error.
using ByteSource = std::function<std::ptrdiff_t(char* data, std::size_t size)>;

// read(2) on `fd`, resumed after EINTR. The descriptor is not closed.
ByteSource fd_byte_source(int fd);

// Real commands are a few KiB at most; a parsed line costs several times its size in memory. The
// limit counts every byte before the line feed, a carriage return included.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;  // 1 MiB = 1048576 bytes

// The error line of a mode whose reader of standard input cannot run: nothing could stop it.
inline constexpr std::string_view kNoReaderText =
    "Cannot read commands: the engine ran out of memory or threads.";

// What a byte that is not valid UTF-8 does: the console's readers take it for a broken front end
// and stop; the detector service only ignores the line that holds it.
enum class Utf8Fault { EndsInput, DropsLine };

class LineReader {
  public:
    explicit LineReader(ByteSource source, std::size_t max_line = kMaxLineBytes,
                        Utf8Fault utf8_fault = Utf8Fault::EndsInput);

    // Stores the next line in `line` and returns true; returns false once the input has ended,
    // failed or (with Utf8Fault::EndsInput) turned out not to be UTF-8, and from then on.
    bool next(std::string& line);

    // Lines dropped for being longer than the limit, for holding a NUL byte, and (with
    // Utf8Fault::DropsLine) for not being UTF-8; a line with several faults counts once, for the
    // first one found.
    std::size_t overlong_lines() const noexcept { return overlong_; }
    std::size_t nul_lines() const noexcept { return nul_lines_; }
    std::size_t invalid_utf8_lines() const noexcept { return invalid_utf8_lines_; }

  private:
    enum class Drop : uint8_t { None, Overlong, Nul, InvalidUtf8 };

    bool refill();
    void drop(Drop why) noexcept;
    // Counts the dropped line just ended and gets ready for the next one.
    void count_dropped() noexcept;

    ByteSource source_;
    std::size_t max_line_;
    Utf8Fault utf8_fault_;
    std::string buffer_;
    std::size_t pos_ = 0;      // next unread byte of buffer_
    std::size_t end_ = 0;      // bytes of buffer_ holding data
    std::string pending_;      // the line being assembled
    Drop dropping_ = Drop::None;  // why the line being read is dropped
    bool ended_ = false;
    bool failed_ = false;  // the source reported an error rather than the end
    std::size_t overlong_ = 0;
    std::size_t nul_lines_ = 0;
    std::size_t invalid_utf8_lines_ = 0;
    Utf8Checker utf8_;
};

}  // namespace mixengine
