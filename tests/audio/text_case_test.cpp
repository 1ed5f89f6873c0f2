// Lower-casing of device names: code points across scripts, the two context rules, and bytes
// that are not UTF-8.
#include <gtest/gtest.h>

#include "audio/text_case.h"

namespace mixengine {
namespace {

TEST(TextCase, LowersEachScriptByItsCasePairs) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"Desk 16 USB", "desk 16 usb"},
        {"ÀÉÎÕÜ Ÿ Ø Þ", "àéîõü ÿ ø þ"},            // Latin-1, with the odd Ÿ
        {"ĀĂĄĆ Ł Ń Ž Ǆ ǅ", "āăąć ł ń ž ǆ ǆ"},      // Latin Extended-A and the DŽ digraphs
        {"ƁƆƏ Ȁ Ȼ Ʉ", "ɓɔə ȁ ȼ ʉ"},                // Latin Extended-B, irregular pairs
        {"ḀẞỲ", "ḁßỳ"},                            // Latin Extended Additional
        {"ΑΒΓ ΆΈΏ Ϊ", "αβγ άέώ ϊ"},                // Greek, with tonos and dialytika
        {"ἈᾺῬ", "ἀὰῥ"},                            // Greek Extended
        {"ЁЂЏ АБВ ЯЮ Ѡ Ӂ Ӏ", "ёђџ абв яю ѡ ӂ ӏ"},  // Cyrillic, with palochka
        {"ԱՖ", "աֆ"},                              // Armenian
        {"ⅣⒶＡＺ", "ⅳⓐａｚ"},                      // numerals, circled, fullwidth
        {"ΩK Å", "ωk å"},
        {"\u13A0\u13F5 \u1C90 \U0001E900",
         "\uAB70\u13FD \u10D0 \U0001E922"},  // Cherokee, Mtavruli, Adlam // Ohm, Kelvin and
                                             // Angstrom signs
        {"\uA7AA\uA7B3\uA7C6 \u2CF2 \U00010570\U00010594",
         "\u0266\uAB53\u1D8E \u2CF3 \U00010597\U000105BB"},  // Latin Extended-D, Coptic, Vithkuqi
        {"ß ς 日本 1-2", "ß ς 日本 1-2"},                    // nothing to lower
    };
    for (const auto& c : cases) EXPECT_EQ(lowercase_utf8(c.in), c.out) << c.in;
}

TEST(TextCase, FollowsFullLowerCasingContextRules) {
    EXPECT_EQ(lowercase_utf8("İstanbul"), "i\u0307stanbul");
    const struct {
        const char* in;
        const char* out;
    } sigmas[] = {
        {"ΟΔΟΣ", "οδο\u03c2"},
        {"ΣΑΣ ΣΟΣ.", "\u03c3α\u03c2 \u03c3ο\u03c2."},
        {"Σ", "\u03c3"},
        {"ΑΣ1",
         "α\u03c2"
         "1"},
        {"ΑΣΑ", "α\u03c3α"},
        {"ΑΣ'Α", "α\u03c3'α"},
    };
    for (const auto& c : sigmas) EXPECT_EQ(lowercase_utf8(c.in), c.out) << c.in;
}

TEST(TextCase, KeepsBytesThatAreNotUtf8) {
    const std::string cases[] = {
        "A\xff"
        "B",
        "\xc3",
        "\xe2\x82",
        "\xc0\xaf",
        "\xed\xa0\x80",
        "\xf4\x90\x80\x80",
    };
    const std::string lowered[] = {
        "a\xff"
        "b",
        "\xc3",
        "\xe2\x82",
        "\xc0\xaf",
        "\xed\xa0\x80",
        "\xf4\x90\x80\x80",
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(lowercase_utf8(cases[i]), lowered[i]) << i;
}

}  // namespace
}  // namespace mixengine
