#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "entry/cli.h"
#include "entry/modes.h"

namespace mixengine {
namespace {

Arguments args(std::vector<std::string> list) {
    list.insert(list.begin(), "mixengine");
    return Arguments(std::move(list));
}

TEST(Arguments, ValueFlagsTakeTheFirstOccurrenceLiterally) {
    const auto a = args({"--in", "--out", "--out", "Desk", "--in", "Other"});
    EXPECT_EQ(a.value("--in"), "--out");  // a value that looks like a flag is still a value
    EXPECT_EQ(a.value("--out"), "--out");
    EXPECT_TRUE(a.has("--in"));
    EXPECT_FALSE(a.has("--i"));   // no abbreviation
    EXPECT_FALSE(a.has("--IN"));  // no case folding
}

TEST(Arguments, FirstOccurrenceLastMeansAbsentEvenWithALaterOne) {
    EXPECT_FALSE(args({"--in", "A", "--out"}).value("--out"));
    // The first "--x" is followed by "--x": that second one is the value.
    EXPECT_EQ(args({"--x", "--x", "v"}).value("--x"), "--x");
    EXPECT_FALSE(args({"--files=dir"}).value("--files"));  // no joined form
    EXPECT_FALSE(args({}).value("--in"));
}

TEST(Arguments, ProgramPathIsNeverAFlagValue) {
    // Position 0 is the program path; a flag equal to it is still matched like any argument.
    EXPECT_EQ(Arguments({"--sim", "x"}).value("--sim"), "x");
}

TEST(ParseFromSeconds, NegativeNanAndGarbageGiveZero) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::optional<std::string> text;
        double expected;
    };
    const Case cases[] = {
        {std::nullopt, 0.0}, {"12.5", 12.5}, {"+3", 3.0},     {"-3", 0.0},
        {"-0.5", 0.0},       {"NaN", 0.0},   {"nan", 0.0},    {"inf", inf},
        {"1e300", 1e300},    {"1e999", inf}, {"-1e999", 0.0}, {"1e-999", 0.0},
        {"abc", 0.0},        {"", 0.0},      {"12s", 0.0},    {"+-3", 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_from_seconds(c.text), c.expected) << c.text.value_or("(absent)");
    }
    // Overflow without an exponent, or despite a negative one, is still +infinity: 10^400 and
    // 10^399 exceed the largest double (about 1.8 * 10^308).
    const std::string huge = "1" + std::string(400, '0');
    EXPECT_EQ(parse_from_seconds(huge), inf);
    EXPECT_EQ(parse_from_seconds(huge + "e-1"), inf);
    EXPECT_EQ(parse_from_seconds("0." + std::string(400, '0') + "1"), 0.0);
}

TEST(ModeSelection, FollowsTheFixedOrder) {
    struct Case {
        std::vector<std::string> argv;
        Mode mode;
    };
    const Case cases[] = {
        {{}, Mode::Live},
        {{"--list", "--sim"}, Mode::List},
        {{"--list", "--library"}, Mode::List},
        {{"--sim", "--detect"}, Mode::Detect},
        {{"--record", "Box", "--play", "Out"}, Mode::Record},
        {{"--sim", "--record"}, Mode::Sim},  // --record without a value falls through
        {{"--play", "Out", "--library"}, Mode::Play},
        {{"--library", "--sim"}, Mode::Library},
        {{"--sim", "--in", "A", "--out", "B"}, Mode::Sim},
        {{"--in", "A", "--out", "B"}, Mode::Live},
    };
    for (const auto& c : cases) EXPECT_EQ(select_mode(args(c.argv)), c.mode);
}

TEST(SimOptions, CountsAreClampedAndRateIsExactly96000OrDefault) {
    struct Case {
        std::vector<std::string> argv;
        std::size_t inputs, outputs;
        uint32_t rate;
    };
    const Case cases[] = {
        {{"--sim"}, 16, 8, 48000},
        {{"--sim", "--inputs", "0", "--outputs", "200"}, 1, 64, 48000},
        {{"--sim", "--inputs", "abc"}, 16, 8, 48000},
        {{"--sim", "--inputs", "+32", "--outputs", "64"}, 32, 64, 48000},
        {{"--sim", "--inputs", "18446744073709551615"}, 32, 8, 48000},
        {{"--sim", "--inputs", "18446744073709551616"}, 16, 8, 48000},
        {{"--sim", "--rate", "96000"}, 16, 8, 96000},
        {{"--sim", "--rate", "+96000"}, 16, 8, 48000},
        {{"--sim", "--rate", "44100"}, 16, 8, 48000},
    };
    for (const auto& c : cases) {
        const SimOptions o = sim_options(args(c.argv));
        EXPECT_EQ(o.inputs, c.inputs);
        EXPECT_EQ(o.outputs, c.outputs);
        EXPECT_EQ(o.rate, c.rate);
    }
    EXPECT_EQ(sim_options(args({"--sim", "--files", "dir"})).files, "dir");
    EXPECT_FALSE(sim_options(args({"--sim"})).files);
}

}  // namespace
}  // namespace mixengine
