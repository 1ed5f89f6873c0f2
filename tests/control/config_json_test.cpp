#include "control/config_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace mixengine {
namespace {

using json = nlohmann::json;

json parse(const std::string& text) {
    return json::parse(text);
}

TEST(ConfigDecode, EmptyObjectAndEmptyArrayGiveTheDefaults) {
    for (const char* text : {"{}", "[]"}) {
        SCOPED_TRACE(text);
        const auto strip = decode_strip_cfg(parse(text));
        ASSERT_TRUE(strip.ok()) << strip.error().message;
        EXPECT_EQ(strip.value(), StripCfg{});
        const auto fba = decode_fba_cfg(parse(text));
        ASSERT_TRUE(fba.ok());
        EXPECT_EQ(fba.value(), FbaCfg{});
    }
    // The documented defaults, written out independently of the record's initialisers.
    const StripCfg s;
    EXPECT_EQ(s.fader, 1.0f);
    EXPECT_TRUE(s.lr);
    EXPECT_FALSE(s.hpf || s.gate || s.dyn || s.aeq || s.bleed || s.amix);
    EXPECT_TRUE(s.eq.empty() && s.sends.empty() && s.peq32.empty() && s.geq.empty());
}

TEST(ConfigDecode, ObjectFieldsTakeTheirValuesAndOthersKeepDefaults) {
    const auto d = decode_strip_cfg(parse(R"({
        "gain_db": -6.5, "invert": true, "delay_ms": 12, "fader": 0.5, "pan": -1, "lr": false,
        "mono": 0.25, "geq": [1, -2.5, 3],
        "dyn": {"thr": -24, "ratio": 4},
        "gate": {"mode": "exp2", "thr": -60},
        "sends": [{"lin": 0.5, "tap": 2}, {}],
        "amix": {"group": 1, "weight_db": -3},
        "bleed": {"on": true, "ref": 7, "mode": "duck"},
        "aeq": {"on": true, "target": [0, -1.5], "curve": "flat"}
    })"));
    ASSERT_TRUE(d.ok()) << d.error().message;
    const StripCfg& s = d.value();
    EXPECT_EQ(s.gain_db, -6.5f);
    EXPECT_TRUE(s.invert);
    EXPECT_EQ(s.delay_ms, 12.0f);
    EXPECT_EQ(s.fader, 0.5f);
    EXPECT_EQ(s.pan, -1.0f);
    EXPECT_FALSE(s.lr);
    EXPECT_EQ(s.mono, 0.25f);
    EXPECT_EQ(s.geq, (std::vector<float>{1.0f, -2.5f, 3.0f}));
    ASSERT_TRUE(s.dyn.has_value());
    EXPECT_EQ(s.dyn->thr, -24.0f);
    EXPECT_EQ(s.dyn->ratio, 4.0f);
    EXPECT_EQ(s.dyn->knee, 2.0f);
    EXPECT_EQ(s.dyn->release, 150.0f);
    ASSERT_TRUE(s.gate.has_value());
    EXPECT_EQ(s.gate->mode, "exp2");
    EXPECT_EQ(s.gate->thr, -60.0f);
    EXPECT_EQ(s.gate->range, 40.0f);
    ASSERT_EQ(s.sends.size(), 2u);
    EXPECT_EQ(s.sends[0], (SendCfg{0.5f, 2}));
    EXPECT_EQ(s.sends[1], SendCfg{});
    ASSERT_TRUE(s.amix.has_value());
    EXPECT_EQ(s.amix->group, 1);
    EXPECT_EQ(s.amix->weight_db, -3.0f);
    ASSERT_TRUE(s.bleed.has_value());
    EXPECT_TRUE(s.bleed->on);
    EXPECT_EQ(s.bleed->ref, 7u);
    EXPECT_EQ(s.bleed->mode, "duck");
    EXPECT_EQ(s.bleed->hi, 14000.0f);
    ASSERT_TRUE(s.aeq.has_value());
    EXPECT_EQ(s.aeq->target, (std::vector<float>{0.0f, -1.5f}));
    EXPECT_EQ(s.aeq->curve, "flat");
    EXPECT_EQ(s.aeq->amount, 0.6f);
    EXPECT_FALSE(s.hpf.has_value());
}

TEST(ConfigDecode, OptionalStagesTreatNullAsAbsentAndEmptyObjectAsDefaults) {
    struct Case {
        const char* text;
        bool has_hpf;
    };
    for (const Case& c : {Case{R"({})", false}, Case{R"({"hpf":null})", false},
                          Case{R"({"hpf":{}})", true}, Case{R"({"hpf":[]})", true}}) {
        SCOPED_TRACE(c.text);
        const auto d = decode_strip_cfg(parse(c.text));
        ASSERT_TRUE(d.ok());
        ASSERT_EQ(d.value().hpf.has_value(), c.has_hpf);
        if (c.has_hpf) {
            EXPECT_EQ(d.value().hpf->f, 80.0);
            EXPECT_EQ(d.value().hpf->slope, 12u);
        }
    }
}

TEST(ConfigDecode, ArraysFillFieldsInDeclarationOrder) {
    const auto band = decode_band(parse(R"(["peq",250,-3,1.4])"));
    ASSERT_TRUE(band.ok());
    EXPECT_EQ(band.value(), (Band{"peq", 250.0, -3.0, 1.4}));
    EXPECT_EQ(band.value(), decode_band(parse(R"({"type":"peq","f":250,"g":-3,"q":1.4})")).value());

    // Missing trailing elements keep their defaults.
    const auto partial = decode_band(parse(R"(["lshv", 100])"));
    ASSERT_TRUE(partial.ok());
    EXPECT_EQ(partial.value(), (Band{"lshv", 100.0, 0.0, 2.0}));

    // Arrays nest: a strip whose hpf and eq bands are positional.
    const auto strip = decode_strip_cfg(parse(R"([-3, false, 0, [120, 24], null, [["hp", 90]]])"));
    ASSERT_TRUE(strip.ok()) << strip.error().message;
    EXPECT_EQ(strip.value().gain_db, -3.0f);
    EXPECT_EQ(strip.value().hpf, (Hpf{120.0, 24}));
    EXPECT_FALSE(strip.value().gate.has_value());
    ASSERT_EQ(strip.value().eq.size(), 1u);
    EXPECT_EQ(strip.value().eq[0], (Band{"hp", 90.0, 0.0, 2.0}));

    // One element more than the record has fields.
    const auto too_long = decode_band(parse(R"(["peq",1,2,3,4])"));
    ASSERT_FALSE(too_long.ok());
    EXPECT_EQ(too_long.error().kind, DecodeErrorKind::InvalidLength);
    EXPECT_FALSE(decode_send_cfg(parse("[0.5, 1, 0]")).ok());
    EXPECT_TRUE(decode_send_cfg(parse("[0.5, 1]")).ok());
}

TEST(ConfigDecode, StrictTypesRejectMismatchedValues) {
    struct Case {
        const char* text;
        DecodeErrorKind kind;
    };
    const Case cases[] = {
        {R"({"hpf":{"slope":12.0}})", DecodeErrorKind::InvalidType},   // fraction form
        {R"({"hpf":{"slope":1.2e1}})", DecodeErrorKind::InvalidType},  // exponent form
        {R"({"hpf":{"slope":-12}})", DecodeErrorKind::InvalidValue},
        {R"({"hpf":{"slope":4294967296}})", DecodeErrorKind::InvalidValue},
        {R"({"hpf":{"slope":"12"}})", DecodeErrorKind::InvalidType},
        {R"({"sends":[{"tap":"post"}]})", DecodeErrorKind::InvalidType},
        {R"({"sends":[{"tap":256}]})", DecodeErrorKind::InvalidValue},
        {R"({"amix":{"group":-1}})", DecodeErrorKind::InvalidValue},
        {R"({"bleed":{"ref":-1}})", DecodeErrorKind::InvalidValue},
        {R"({"bleed":{"ref":18446744073709551616}})", DecodeErrorKind::InvalidType},  // past u64
        {R"({"eq":null})", DecodeErrorKind::InvalidType},
        {R"({"geq":null})", DecodeErrorKind::InvalidType},
        {R"({"geq":[1,null]})", DecodeErrorKind::InvalidType},
        {R"({"geq":{"0":1}})", DecodeErrorKind::InvalidType},
        {R"({"invert":1})", DecodeErrorKind::InvalidType},
        {R"({"lr":"true"})", DecodeErrorKind::InvalidType},
        {R"({"gain_db":"3"})", DecodeErrorKind::InvalidType},
        {R"({"gain_db":null})", DecodeErrorKind::InvalidType},
        {R"({"gate":{"mode":3}})", DecodeErrorKind::InvalidType},
        {R"({"gate":5})", DecodeErrorKind::InvalidType},
        {R"({"dyn":true})", DecodeErrorKind::InvalidType},
        {R"({"eq":[{"f":"1k"}]})", DecodeErrorKind::InvalidType},
        {R"({"aeq":{"target":[0,"x"]}})", DecodeErrorKind::InvalidType},
        {R"("strip")", DecodeErrorKind::InvalidType},
        {R"(3)", DecodeErrorKind::InvalidType},
        {R"(null)", DecodeErrorKind::InvalidType},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto d = decode_strip_cfg(parse(c.text));
        ASSERT_FALSE(d.ok());
        EXPECT_EQ(d.error().kind, c.kind) << d.error().message;
    }
}

TEST(ConfigDecode, IntegerFieldsAcceptTheirWholeRange) {
    EXPECT_EQ(decode_send_cfg(parse(R"({"tap":255})")).value().tap, 255);
    EXPECT_EQ(decode_hpf(parse(R"({"slope":4294967295})")).value().slope, 4294967295u);
    EXPECT_EQ(decode_bleed_cfg(parse(R"({"ref":18446744073709551615})")).value().ref,
              std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(decode_fba_cfg(parse(R"({"max_notches":0,"persist":0})")).value().persist, 0u);
    // Negative zero is still the integer zero.
    EXPECT_EQ(decode_amix_cfg(parse(R"({"group":-0})")).value().group, 0);
}

TEST(ConfigDecode, NumbersRoundOnceToTheNearestFloat) {
    // 2^60 + 2^36 + 1 lies just above the midpoint between two floats, so it rounds up; through
    // double it would first lose the +1, land exactly on the midpoint and round down to 2^60.
    const double two60 = std::ldexp(1.0, 60);
    const float up = static_cast<float>(std::ldexp(1.0, 60) + std::ldexp(1.0, 37));
    struct Case {
        const char* text;
        float expected;
    };
    const Case cases[] = {
        {"1152921573326323713", up},
        {"-1152921573326323713", -up},
        {"18446744073709551615", 18446744073709551616.0f},
        {"-9223372036854775808", -9223372036854775808.0f},
        {"16777217", 16777216.0f},  // ties to even
        {"16777219", 16777220.0f},
        {"0.1", 0.1f},
        {"-2.5", -2.5f},
        {"1e-50", 0.0f},
        {"3", 3.0f},
        // Beyond the float range: infinity, never undefined behaviour. Just below the rounding
        // point the largest finite float is still the nearest.
        {"1e300", std::numeric_limits<float>::infinity()},
        {"-1e300", -std::numeric_limits<float>::infinity()},
        {"3.4028235677973366e38", std::numeric_limits<float>::infinity()},  // 0x1.ffffffp+127
        {"3.4028235e38", std::numeric_limits<float>::max()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto f = json_number_to_float(parse(c.text));
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(*f, c.expected);
    }
    EXPECT_NE(static_cast<float>(two60 + std::ldexp(1.0, 36)), up);  // the double-rounding trap
    EXPECT_FALSE(json_number_to_float(parse(R"("1")")).has_value());
    EXPECT_FALSE(json_number_to_float(parse("null")).has_value());

    // Double fields keep the double value.
    EXPECT_EQ(decode_band(parse(R"({"f":0.1})")).value().f, 0.1);
    EXPECT_EQ(decode_band(parse(R"({"g":-7})")).value().g, -7.0);
}

TEST(ConfigDecode, UnknownKeysAreIgnoredAtEveryLevel) {
    const auto d = decode_strip_cfg(parse(R"({
        "name": "Kick", "hpf": {"f": 40, "name": "x"},
        "eq": [{"type": "peq", "colour": [1,2,3]}],
        "aeq": {"on": true, "extra": {"deep": null}}
    })"));
    ASSERT_TRUE(d.ok()) << d.error().message;
    EXPECT_EQ(d.value().hpf, (Hpf{40.0, 12}));
    EXPECT_EQ(d.value().eq.size(), 1u);
    EXPECT_TRUE(d.value().aeq->on);
}

TEST(ConfigDecode, LongSendListsDecodeWhole) {
    const auto d =
        decode_strip_cfg(parse(R"({"sends":[{},{},{},{},{},{},{},{},{"lin":1},{"lin":2}]})"));
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(d.value().sends.size(), 10u);
    EXPECT_EQ(d.value().sends[9].lin, 2.0f);
}

TEST(ConfigDecode, FallbackReplacesAnyBadRecordWithTheDefaults) {
    const StripCfg bad = decode_strip_cfg_or_default(parse(R"({"gain_db":-3,"eq":null})"));
    EXPECT_EQ(bad, StripCfg{});
    const StripCfg good = decode_strip_cfg_or_default(parse(R"({"gain_db":-3})"));
    EXPECT_EQ(good.gain_db, -3.0f);
    EXPECT_EQ(decode_strip_cfg_or_default(parse("null")), StripCfg{});

    const FbaCfg fba = decode_fba_cfg_or_default(
        parse(R"({"on":true,"mode":"suggest","persist":4,"max_notches":6,"content":"speech"})"));
    EXPECT_TRUE(fba.on);
    EXPECT_EQ(fba.mode, "suggest");
    EXPECT_EQ(fba.persist, 4u);
    EXPECT_EQ(fba.max_notches, 6u);
    EXPECT_EQ(fba.content, "speech");
    EXPECT_EQ(fba.hold_s, 60.0f);
    EXPECT_EQ(decode_fba_cfg_or_default(parse(R"({"on":true,"persist":8.0})")), FbaCfg{});
}

}  // namespace
}  // namespace mixengine
