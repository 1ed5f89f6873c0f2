// The room command's path records: what each member becomes, and which paths are refused.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "control/config_json.h"

namespace mixengine {
namespace {

TEST(RoomPathDecode, MembersTakeTheirValuesAndBadOnesRefuseThePath) {
    using K = OutputRoute::Kind;
    struct Case {
        const char* text;
        bool ok;
        OutputRoute from;
        int32_t ch;
        float m, db;
        uint32_t refl, seed;
    };
    const RoomPathCfg d;
    const Case cases[] = {
        {R"({})", true, d.from, d.ch, d.m, d.db, d.refl, d.seed},
        {R"({"from":"bus.1","ch":3,"m":1.5,"db":-12,"refl":6,"seed":9})", true,
         OutputRoute{K::Bus, 0}, 3, 1.5f, -12.0f, 6, 9},
        {R"({"from":"main.r","name":"PA right"})", true, OutputRoute{K::MainR}, d.ch, d.m, d.db,
         d.refl, d.seed},
        {R"(["mono",2,0.5])", true, OutputRoute{K::Mono}, 2, 0.5f, d.db, d.refl, d.seed},
        // An unknown designator names no loudspeaker: the engine leaves such a path out.
        {R"({"from":"wedge"})", true, OutputRoute{K::Off}, d.ch, d.m, d.db, d.refl, d.seed},
        {R"({"from":1})", false, {}, 0, 0, 0, 0, 0},
        {R"({"ch":-1})", false, {}, 0, 0, 0, 0, 0},
        {R"({"ch":2147483648})", false, {}, 0, 0, 0, 0, 0},
        {R"({"ch":1.0})", false, {}, 0, 0, 0, 0, 0},
        {R"({"refl":"4"})", false, {}, 0, 0, 0, 0, 0},
        {R"({"seed":4294967296})", false, {}, 0, 0, 0, 0, 0},
        {R"(null)", false, {}, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const Decoded<RoomPathCfg> p = decode_room_path_cfg(nlohmann::json::parse(c.text));
        ASSERT_EQ(p.ok(), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(p.value().from, c.from) << c.text;
        EXPECT_EQ(p.value().ch, c.ch) << c.text;
        EXPECT_EQ(p.value().m, c.m) << c.text;
        EXPECT_EQ(p.value().db, c.db) << c.text;
        EXPECT_EQ(p.value().refl, c.refl) << c.text;
        EXPECT_EQ(p.value().seed, c.seed) << c.text;
    }
}

}  // namespace
}  // namespace mixengine
