#include "control/designators.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "support/parse_table.h"

namespace mixengine {
namespace {

using SK = SignalSource::Kind;
using AK = AnalyserSource::Kind;
using OK = OutputRoute::Kind;
using testing::expect_parses;
using testing::ParseCase;

TEST(Designators, ListenAndLoudnessSources) {
    const ParseCase<std::optional<SignalSource>> cases[] = {
        {"main", SignalSource{SK::Main, 0, true}},
        {"mono", SignalSource{SK::Mono, 0, true}},
        {"bus.1", SignalSource{SK::Bus, 0, true}},
        {"bus.+8", SignalSource{SK::Bus, 7, true}},
        {"in.3", SignalSource{SK::Strip, 2, true}},
        {"in.3.post", SignalSource{SK::Strip, 2, true}},
        {"in.3.pre", SignalSource{SK::Strip, 2, false}},
        {"in.3.PRE", SignalSource{SK::Strip, 2, true}},
        {"in.3.pre.x", SignalSource{SK::Strip, 2, false}},
        {"in.3.x", SignalSource{SK::Strip, 2, true}},
        {"in.32", SignalSource{SK::Strip, 31, true}},
        {"in.01", SignalSource{SK::Strip, 0, true}},
        {"in.0", std::nullopt},
        {"in.33", std::nullopt},
        {"in.-1", std::nullopt},
        {"in.", std::nullopt},
        {"in", std::nullopt},
        {"in..3", std::nullopt},
        {"bus.0", std::nullopt},
        {"bus.9", std::nullopt},
        {"bus.2.pre", std::nullopt},
        {"bus.99999999999999999999999", std::nullopt},
        {"main.l", std::nullopt},
        {"Main", std::nullopt},
        {"main ", std::nullopt},
        {"off", std::nullopt},
        {"", std::nullopt},
        {".", std::nullopt},
    };
    expect_parses(parse_signal_source, cases);
}

TEST(Designators, AnalyserSources) {
    const ParseCase<AnalyserSource> cases[] = {
        {"main", {AK::Main, 0, false}},
        {"mono", {AK::Mono, 0, false}},
        {"bus.2", {AK::Bus, 1, false}},
        {"in.5", {AK::Strip, 4, false}},      // after the gate
        {"in.5.post", {AK::Strip, 4, true}},  // after the compressor
        {"in.5.pre", {AK::Strip, 4, false}},
        {"in.5.post.x", {AK::Strip, 4, true}},
        {"in.+32.post", {AK::Strip, 31, true}},
        {"in.33", {}},
        {"bus.9", {}},
        {"bus.1.post", {}},
        {"main.l", {}},
        {"off", {}},
        {"", {}},
    };
    expect_parses(parse_analyser_source, cases);
    EXPECT_EQ(parse_analyser_source("off").kind, AK::None);
}

TEST(Designators, OutputRoutes) {
    const ParseCase<OutputRoute> cases[] = {
        {"mono", {OK::Mono, 0, false}},
        {"main.l", {OK::MainL, 0, false}},
        {"main.r", {OK::MainR, 0, false}},
        {"main.L", {}},
        {"main.x", {}},
        {"main", {}},
        {"main.l.x", {}},
        {"bus.8", {OK::Bus, 7, false}},
        {"bus.9", {}},
        {"in.4.post", {OK::Strip, 3, true}},
        {"in.4.pre", {OK::Strip, 3, false}},
        {"in.4.anything", {OK::Strip, 3, false}},
        {"in.4.", {OK::Strip, 3, false}},
        {"in.4", {}},  // the tap must be named
        {"in.4.post.x", {}},
        {"in.0.post", {}},
        {"off", {}},
        {"", {}},
    };
    expect_parses(parse_output_route, cases);
    EXPECT_EQ(parse_output_route("in.4").kind, OK::Off);
}

TEST(Designators, FeedbackSuppressorTargets) {
    const ParseCase<std::optional<std::size_t>> cases[] = {
        {"main", 0},
        {"mono", 1},
        {"bus.1", 2},
        {"bus.8", 9},
        {"bus.+3", 4},
        {"bus.03", 4},
        {"bus.0", std::nullopt},
        {"bus.9", std::nullopt},
        {"bus", std::nullopt},
        {"bus.", std::nullopt},
        {"bus.3.x", std::nullopt},
        {"main.l", std::nullopt},
        {"in.1", std::nullopt},
        {"MAIN", std::nullopt},
        {"", std::nullopt},
    };
    expect_parses(parse_fba_target, cases);
}

}  // namespace
}  // namespace mixengine
