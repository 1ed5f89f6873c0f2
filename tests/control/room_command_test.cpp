// The room command's path records: what each member becomes, and which paths are refused.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <variant>
#include <vector>

#include "control/command_reader.h"
#include "control/config_json.h"
#include "control/room_reporter.h"
#include "control/update_sender.h"

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

// The command reader with a model watching its update sender, as the simulation wires them.
struct RoomHarness {
    std::shared_ptr<LoopModel> model = std::make_shared<LoopModel>(48000.0f, 256);
    RingConsumer<EngineUpdate> ring;
    CommandReaderLinks links;

    explicit RoomHarness(bool simulation) {
        auto [sender, consumer] = make_update_ring();
        ring = std::move(consumer);
        sender->set_observer([m = model](EngineUpdate u) { m->apply(std::move(u)); });
        links.updates = sender;
        links.room = simulation;
    }
    std::vector<RoomCfg> rooms() {
        std::vector<RoomCfg> out;
        EngineUpdate u;
        while (ring.pop(u))
            if (auto* r = std::get_if<update::RoomSettings>(&u)) out.push_back(r->cfg);
        return out;
    }
};

TEST(RoomCommand, SimulationBuildsTheRoomLiveIgnoresIt) {
    struct Case {
        const char* line;
        std::size_t paths;  // in the one update the simulation sends
    };
    const Case cases[] = {
        {R"({"t":"room","paths":[{"from":"bus.1","ch":0},{"from":"main.l","ch":1}]})", 2},
        {R"({"t":"room","paths":[{"ch":-3},{"m":2}]})", 1},  // the bad path is left out
        {R"({"t":"room","paths":[]})", 0},
        {R"({"t":"room"})", 0},
        {R"({"t":"room","paths":{"from":"main.l"}})", 0},
        {R"({"t":"room","paths":[{},{},{},{},{},{},{},{},{},{}]})", kRoomPaths},
    };
    for (const Case& c : cases) {
        RoomHarness sim(true), live(false);
        handle_command_line(c.line, sim.links);
        handle_command_line(c.line, live.links);
        const auto rooms = sim.rooms();
        ASSERT_EQ(rooms.size(), 1u) << c.line;
        EXPECT_EQ(rooms[0].paths.size(), c.paths) << c.line;
        EXPECT_TRUE(live.rooms().empty()) << c.line;
    }
}

TEST(RoomCommand, TheModelFollowsEveryUpdateAndReportsOnlyWithARoom) {
    RoomHarness sim(true);
    const LoopGains unity;
    EXPECT_FALSE(sim.model->margin(unity));
    handle_command_line(R"({"t":"room","paths":[{"from":"main.l","ch":0,"db":-30,"refl":0}]})",
                        sim.links);
    const auto before = sim.model->margin(unity);
    ASSERT_TRUE(before);
    handle_command_line(R"({"t":"main","s":{"fader":0.5}})", sim.links);
    const auto after = sim.model->margin(unity);
    ASSERT_TRUE(after);
    EXPECT_NEAR(after->gain_db - before->gain_db, 20.0 * std::log10(0.5), 0.05);
    // The compressors' present gains come from the engine: a gain of 0.5 on strip 0 counts too.
    LoopGains squeezed;
    squeezed.comp[0] = 0.5f;
    EXPECT_NEAR(sim.model->margin(squeezed)->gain_db - after->gain_db, 20.0 * std::log10(0.5),
                0.05);
    handle_command_line(R"({"t":"room","paths":[]})", sim.links);
    EXPECT_FALSE(sim.model->margin(unity));
}

TEST(RoomCommand, LineRoundsAsAPersonReadsIt) {
    RoomMargin m;
    m.ch = 2;
    m.gain_db = -3.2499f;
    m.freq_hz = 2911.6f;
    m.ring_db = -12.1f;
    m.ring_hz = 2899.4f;
    m.loop_ms = 12.3456f;
    EXPECT_EQ(to_line(room_line(m)),
              R"({"ch":2,"f":2912.0,"gain_db":-3.2,"loop_ms":12.35,"ring_db":-12.1,"ring_hz":2899.0,"t":"room"})");
}

}  // namespace
}  // namespace mixengine
