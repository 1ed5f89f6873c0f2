// Gain sharing against the closed form: with steady signals each strip's gain settles at
// sqrt(its weighted power / the group's total), floored at -30 dB.
#include "engine/automixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace mixengine {
namespace {

struct Member {
    std::optional<AmixCfg> cfg;
    float level;  // constant signal value
    float power = 0.0f;
    float target = 0.0f;
};

// Runs `chunks` chunks of 256 frames at 48 kHz; every member keeps its own level.
void run(std::vector<Member>& members, int chunks) {
    AutomixGroups groups;
    std::vector<float> buf(256);
    for (int c = 0; c < chunks; ++c) {
        groups.begin_chunk(buf.size(), 48000.0f);
        for (auto& m : members) {
            buf.assign(buf.size(), m.level);
            m.target = groups.strip_target(automix_member(m.cfg), buf.data(), buf.size(), m.power);
        }
        groups.end_chunk();
    }
}

AmixCfg group(uint8_t g, float weight_db = 0.0f) {
    return AmixCfg{g, weight_db};
}

TEST(Automixer, SteadyGroupsSettleOnTheirPowerShares) {
    const float third = 1.0f / 11.0f;
    struct Case {
        const char* what;
        std::vector<Member> members;
        std::vector<float> expect;
    };
    std::vector<Case> cases = {
        {"one alone", {{group(1), 0.3f}}, {1.0f}},
        {"two equal", {{group(1), 0.3f}, {group(1), 0.3f}}, {0.70710677f, 0.70710677f}},
        {"four equal",
         {{group(2), 0.1f}, {group(2), 0.1f}, {group(2), 0.1f}, {group(2), 0.1f}},
         {0.5f, 0.5f, 0.5f, 0.5f}},
        {"+10 dB weight",
         {{group(1, 10.0f), 0.2f}, {group(1), 0.2f}},
         {std::sqrt(10.0f * third), std::sqrt(third)}},
        {"silent member stops at the floor",
         {{group(1), 0.5f}, {group(1), 0.0f}},
         {1.0f, kAutomixFloor}},
        {"groups are independent",
         {{group(1), 0.5f}, {group(2), 0.1f}, {group(2), 0.1f}},
         {1.0f, 0.70710677f, 0.70710677f}},
        {"group 0 and 3 are outside",
         {{group(0), 0.5f}, {group(3), 0.5f}, {std::nullopt, 0.5f}},
         {1.0f, 1.0f, 1.0f}},
    };
    for (auto& c : cases) {
        run(c.members, 400);
        for (std::size_t i = 0; i < c.expect.size(); ++i)
            EXPECT_NEAR(c.members[i].target, c.expect[i], 1e-4f) << c.what << ", member " << i;
    }
}

TEST(Automixer, NeverRaisesAStripAboveUnityWhenItJoinsFirst) {
    // The first chunk sees an empty total; the share is still capped at 1.
    std::vector<Member> one = {{group(1), 0.9f}};
    run(one, 1);
    EXPECT_EQ(one[0].target, 1.0f);
}

TEST(Automixer, PowerFollowsA25msTimeConstantAndStopsOutsideGroups) {
    std::vector<Member> m = {{group(1), 0.5f}};
    run(m, 1);
    const float c = 1.0f - std::exp(-256.0f / (0.025f * 48000.0f));
    EXPECT_NEAR(m[0].power, c * 0.25f, 1e-7f);
    std::vector<Member> out = {{group(0), 0.5f, 0.123f}};
    run(out, 5);
    EXPECT_EQ(out[0].power, 0.123f);
}

}  // namespace
}  // namespace mixengine
