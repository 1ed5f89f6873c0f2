#include "control/utf8.h"

namespace mixengine {

Utf8Decoder::Step Utf8Decoder::feed(uint8_t b) noexcept {
    if (remaining_ == 0) {
        if (b < 0x80) {
            cp_ = b;
            return Step::Done;
        }
        lo_ = 0x80;
        hi_ = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            remaining_ = 1;
            cp_ = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            remaining_ = 2;
            cp_ = b & 0x0F;
            if (b == 0xE0) lo_ = 0xA0;  // overlong below U+0800
            if (b == 0xED) hi_ = 0x9F;  // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            remaining_ = 3;
            cp_ = b & 0x07;
            if (b == 0xF0) lo_ = 0x90;  // overlong below U+10000
            if (b == 0xF4) hi_ = 0x8F;  // above U+10FFFF
        } else {
            return Step::Invalid;  // continuation without a lead, C0, C1, F5..FF
        }
        return Step::Pending;
    }
    if (b < lo_ || b > hi_) {
        remaining_ = 0;
        return Step::Invalid;
    }
    cp_ = (cp_ << 6) | (b & 0x3F);
    lo_ = 0x80;
    hi_ = 0xBF;
    return --remaining_ == 0 ? Step::Done : Step::Pending;
}

Utf8Char decode_utf8_char(std::string_view s) noexcept {
    Utf8Decoder d;
    for (std::size_t i = 0; i < s.size() && i < 4; ++i) {
        switch (d.feed(static_cast<uint8_t>(s[i]))) {
            case Utf8Decoder::Step::Done:
                return {d.code_point(), i + 1};
            case Utf8Decoder::Step::Invalid:
                return {};
            case Utf8Decoder::Step::Pending:
                break;
        }
    }
    return {};  // cut off inside the character
}

bool is_valid_utf8(std::string_view s) noexcept {
    Utf8Checker checker;
    return checker.feed(s.data(), s.size()) && checker.at_boundary();
}

bool Utf8Checker::feed(const char* data, std::size_t size) noexcept {
    if (failed_) return false;
    for (std::size_t i = 0; i < size; ++i) {
        if (decoder_.feed(static_cast<uint8_t>(data[i])) == Utf8Decoder::Step::Invalid) {
            failed_ = true;
            return false;
        }
    }
    return true;
}

}  // namespace mixengine
