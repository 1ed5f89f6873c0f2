#include <gtest/gtest.h>

#include "control/utf8.h"

namespace mixengine {
namespace {

TEST(Utf8, AcceptsWellFormedTextAndRejectsEveryIllFormedShape) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xC3\xA9", true},              // é
        {"\xE2\x9C\x93", true},          // check mark
        {"\xF0\x9F\x8E\xB5", true},      // musical note, four bytes
        {"\xF4\x8F\xBF\xBF", true},      // U+10FFFF, the last code point
        {std::string("a\0b", 3), true},  // NUL is a character
        {"\x80", false},                 // continuation without a lead
        {"\xC3", false},                 // truncated
        {"\xE2\x9C", false},             // truncated
        {"\xC0\xAF", false},             // overlong '/'
        {"\xE0\x80\xAF", false},         // overlong
        {"\xF0\x80\x80\xAF", false},     // overlong
        {"\xED\xA0\x80", false},         // surrogate U+D800
        {"\xF4\x90\x80\x80", false},     // above U+10FFFF
        {"\xF5\x80\x80\x80", false},     // lead byte beyond F4
        {"\xC3\x28", false},             // bad continuation
        {"ok\xFF", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_valid_utf8(c.text), c.valid) << ::testing::PrintToString(c.text);
}

TEST(Utf8, DecodesTheFirstCharacterOrNothing) {
    struct Case {
        std::string text;
        char32_t code_point;
        std::size_t length;  // 0: no whole well-formed character there
    };
    const Case cases[] = {
        {"", 0, 0},
        {"ab", U'a', 1},
        {std::string("\0x", 2), 0, 1},
        {"\xC3\xA9!", 0xE9, 2},
        {"\xE2\x9C\x93", 0x2713, 3},
        {"\xF4\x8F\xBF\xBFz", 0x10FFFF, 4},
        {"\xC3", 0, 0},          // cut off
        {"\xC0\xAF", 0, 0},      // overlong
        {"\xED\xA0\x80", 0, 0},  // surrogate
        {"\xC3\x28", 0, 0},      // bad continuation
        {"\x80", 0, 0},
    };
    for (const auto& c : cases) {
        const Utf8Char got = decode_utf8_char(c.text);
        EXPECT_EQ(got.length, c.length) << ::testing::PrintToString(c.text);
        if (c.length != 0) {
            EXPECT_EQ(got.code_point, c.code_point) << ::testing::PrintToString(c.text);
        }
    }
}

}  // namespace
}  // namespace mixengine
