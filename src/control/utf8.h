// The one UTF-8 decoder, for text that arrives from outside (standard input, stored documents,
// device names). Overlong forms, surrogates and code points above U+10FFFF are refused wherever
// text is checked or decoded, so every reader agrees on what counts as a character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mixengine {

// Takes bytes one at a time and hands out each code point as its last byte arrives; a byte that
// cannot start or continue a character is refused and the decoder is back between characters.
class Utf8Decoder {
  public:
    enum class Step : uint8_t { Pending, Done, Invalid };

    // Done: code_point() holds the character just completed.
    Step feed(uint8_t byte) noexcept;
    char32_t code_point() const noexcept { return cp_; }
    // True when no multi-byte sequence is left open.
    bool at_boundary() const noexcept { return remaining_ == 0; }

  private:
    char32_t cp_ = 0;
    uint8_t remaining_ = 0;  // continuation bytes still expected
    uint8_t lo_ = 0x80;      // allowed range of the next continuation byte
    uint8_t hi_ = 0xBF;
};

// The character at the start of `s` and its length in bytes; length 0 when the bytes there are
// not one whole well-formed character.
struct Utf8Char {
    char32_t code_point = 0;
    std::size_t length = 0;
};
Utf8Char decode_utf8_char(std::string_view s) noexcept;

// True when `s` is well-formed UTF-8.
bool is_valid_utf8(std::string_view s) noexcept;

// Checks a byte stream that arrives in pieces; the first malformed byte fails it for good, until
// reset().
class Utf8Checker {
  public:
    // False from the first malformed byte on.
    bool feed(const char* data, std::size_t size) noexcept;
    // True when no multi-byte sequence is left open.
    bool at_boundary() const noexcept { return decoder_.at_boundary() && !failed_; }
    void reset() noexcept { *this = Utf8Checker(); }

  private:
    Utf8Decoder decoder_;
    bool failed_ = false;
};

}  // namespace mixengine
