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
        EXPECT_EQ(is_valid_utf8(c.text), c.valid) << testing::PrintToString(c.text);
}

}  // namespace
}  // namespace mixengine
