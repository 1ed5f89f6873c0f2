#include "control/integers.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace mixengine {
namespace {

TEST(ParseUnsigned, DigitsWithAnOptionalPlusAndNoOverflowOfTheWidth) {
    struct Case {
        const char* text;
        std::optional<uint64_t> u64;
        std::optional<uint32_t> u32;
        std::optional<uint16_t> u16;
    };
    constexpr auto none = std::nullopt;
    const Case cases[] = {
        {"0", 0, 0, 0},
        {"3", 3, 3, 3},
        {"+3", 3, 3, 3},
        {"+7", 7, 7, 7},
        {"007", 7, 7, 7},
        {"0065535", 65535, 65535, 65535},
        {"65536", 65536, 65536, none},
        {"4294967295", 4294967295u, 4294967295u, none},
        {"4294967296", 4294967296u, none, none},
        {"18446744073709551615", std::numeric_limits<uint64_t>::max(), none, none},
        {"18446744073709551616", none, none, none},
        {"99999999999999999999999", none, none, none},
        {"99999999999999999999999999", none, none, none},
        {"", none, none, none},
        {"+", none, none, none},
        {"-", none, none, none},
        {"-1", none, none, none},
        {"-3", none, none, none},
        {"++1", none, none, none},
        {"++3", none, none, none},
        {" 1", none, none, none},
        {"1 ", none, none, none},
        {"3a", none, none, none},
        {"1e3", none, none, none},
        {"0x3", none, none, none},
        {"0x10", none, none, none},
        {"\xd9\xa3", none, none, none},  // Arabic-Indic digit three
        {"\xff\xfe", none, none, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_unsigned<uint64_t>(c.text), c.u64);
        EXPECT_EQ(parse_unsigned<uint32_t>(c.text), c.u32);
        EXPECT_EQ(parse_unsigned<uint16_t>(c.text), c.u16);
    }
}

TEST(JsonInteger, OnlyJsonIntegersOfEitherSignAndEveryWidth) {
    using nlohmann::json;
    struct Case {
        json value;
        std::optional<uint64_t> magnitude;  // none: not an integer
        bool negative;
        std::optional<uint64_t> in_1_to_65535;
    };
    constexpr auto none = std::nullopt;
    const Case cases[] = {
        {json(0), 0, false, none},
        {json(1), 1, false, 1},
        {json(65535), 65535, false, 65535},
        {json(65536), 65536, false, none},
        {json(-1), 1, true, none},
        {json(std::numeric_limits<int64_t>::min()), uint64_t{1} << 63, true, none},
        {json(std::numeric_limits<uint64_t>::max()), std::numeric_limits<uint64_t>::max(), false,
         none},
        {json(12.0), none, false, none},
        {json::parse("1e1"), none, false, none},
        {json("3"), none, false, none},
        {json(true), none, false, none},
        {json(nullptr), none, false, none},
        {json::array({3}), none, false, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.dump());
        const auto i = json_integer(c.value);
        ASSERT_EQ(i.has_value(), c.magnitude.has_value());
        if (i) {
            EXPECT_EQ(i->magnitude, *c.magnitude);
            EXPECT_EQ(i->negative, c.negative);
        }
        EXPECT_EQ(json_integer_in(c.value, 1, 65535), c.in_1_to_65535);
    }
}

}  // namespace
}  // namespace mixengine
