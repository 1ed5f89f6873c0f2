// The practice room on its own: where and how loud a path brings the loudspeaker back, the
// preamp's clip, and how the reported margin follows the console's settings.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "engine/mix_engine.h"
#include "engine/room.h"

namespace mixengine {
namespace {

constexpr float kRoomFs = 48000.0f;
constexpr std::size_t kRoomBlock = 256;

RoomPathCfg room_dry_path(float metres, float db) {
    RoomPathCfg p;
    p.m = metres;
    p.db = db;
    p.refl = 0;
    return p;
}

// Plays `speaker` block by block through a one-path room and returns what the microphone heard.
std::vector<float> room_through(const RoomPathCfg& path, const std::vector<float>& speaker) {
    Room room(kRoomFs);
    room.configure(RoomCfg{{path}});
    std::vector<float> heard;
    for (std::size_t at = 0; at + kRoomBlock <= speaker.size(); at += kRoomBlock) {
        room.hear({}, 0, kRoomBlock);
        const float* mic = room.channel(path.ch);
        heard.insert(heard.end(), mic, mic + kRoomBlock);
        const float* played = speaker.data() + at;
        room.play({&played, 1}, kRoomBlock);
    }
    return heard;
}

TEST(RoomPath, DirectSoundArrivesAfterTheBlockAndTheDistanceAtItsLevel) {
    struct Case {
        float metres, db;
    };
    for (const Case c : {Case{0.0f, 0.0f}, Case{3.43f, -12.0f}, Case{10.0f, -20.0f}}) {
        // A 1 kHz tone for the level, switched on at sample 0 for the arrival.
        std::vector<float> tone(48 * kRoomBlock);
        for (std::size_t i = 0; i < tone.size(); ++i)
            tone[i] = 0.25f * float(std::sin(2.0 * std::numbers::pi * 1000.0 * double(i) / kRoomFs));
        const std::vector<float> heard = room_through(room_dry_path(c.metres, c.db), tone);
        const double expected_delay = kRoomBlock + std::round(c.metres / 343.0 * kRoomFs);
        std::size_t first = 0;
        while (first < heard.size() && std::fabs(heard[first]) < 1e-3f) ++first;
        EXPECT_NEAR(double(first), expected_delay, 3.0) << c.metres << " m";
        double sum = 0.0;
        for (std::size_t i = heard.size() - 4800; i < heard.size(); ++i)
            sum += double(heard[i]) * heard[i];
        const double level_db = 20.0 * std::log10(std::sqrt(2.0 * sum / 4800.0) / 0.25);
        EXPECT_NEAR(level_db, c.db, 0.05) << c.metres << " m";
    }
}

TEST(RoomPath, ReflectionsComeFromTheSeedLaterAndWeakerThanTheDirectSound) {
    RoomPathCfg a;
    a.refl = 6;
    a.seed = 7;
    RoomPathCfg b = a;
    b.seed = 8;
    const RoomPathDesign da = design_room_path(a, kRoomFs), again = design_room_path(a, kRoomFs);
    const RoomPathDesign db = design_room_path(b, kRoomFs);
    ASSERT_EQ(da.tap_count, 6u);
    bool differs = false;
    for (std::size_t r = 0; r < da.tap_count; ++r) {
        EXPECT_EQ(da.taps[r].delay, again.taps[r].delay);
        EXPECT_EQ(da.taps[r].gain, again.taps[r].gain);
        EXPECT_GT(da.taps[r].delay, 0u);
        EXPECT_GT(da.taps[r].gain, 0.0f);
        EXPECT_LT(da.taps[r].gain, 1.0f);
        differs = differs || da.taps[r].delay != db.taps[r].delay;
    }
    EXPECT_TRUE(differs) << "another seed, another room";
}

TEST(RoomPath, UnusableSourcesAndChannelsBuildNothing) {
    RoomPathCfg strip;
    strip.from = OutputRoute{OutputRoute::Kind::Strip, 0, true};
    RoomPathCfg off;
    off.from = OutputRoute{};
    RoomPathCfg bus9;
    bus9.from = OutputRoute{OutputRoute::Kind::Bus, 8};
    RoomPathCfg negative;
    negative.ch = -1;
    Room room(kRoomFs);
    room.configure(RoomCfg{{strip, off, bus9, negative}});
    EXPECT_FALSE(room.active());
    room.configure(RoomCfg{std::vector<RoomPathCfg>(12, RoomPathCfg{})});
    EXPECT_EQ(room.paths().size(), kRoomPaths);
    room.configure(RoomCfg{});
    EXPECT_FALSE(room.active());
}

TEST(RoomPreamp, ClipIsTransparentBelowHalfScaleAndNeverPassesFullScale) {
    struct Case {
        float in, lo, hi;
    };
    const float inf = INFINITY;
    for (const Case c : {Case{0.3f, 0.3f, 0.3f}, Case{-0.5f, -0.5f, -0.5f}, Case{1.0f, 0.7f, 0.8f},
                         Case{-4.0f, -0.95f, -0.9f}, Case{1e30f, 0.99f, 1.0f},
                         Case{inf, 0.0f, 0.0f}, Case{NAN, 0.0f, 0.0f}}) {
        const float y = preamp_clip(c.in);
        EXPECT_GE(y, c.lo) << c.in;
        EXPECT_LE(y, c.hi) << c.in;
        EXPECT_LE(std::fabs(y), 1.0f) << c.in;
    }
}

// A vocal microphone on input 0, strip 0, to main and to a wedge on bus 1.
struct RoomStage {
    MixEngine engine{kRoomFs};
    StripCfg mic;
    StripCfg wedge;

    RoomStage() {
        mic.eq = {Band{"peq", 2500.0, 6.0, 1.0}};
        mic.sends = {SendCfg{0.5f, 2}};
        engine.apply_update(update::StripSettings{0, mic});
        for (std::size_t s = 1; s < kStrips; ++s)
            engine.apply_update(update::StripSettings{s, StripCfg{.fader = 0.0f}});
        engine.apply_update(update::BusSettings{0, wedge});
    }
    RoomMargin margin(const RoomPathCfg& path) {
        engine.apply_update(update::RoomSettings{RoomCfg{{path}}});
        return engine.room_margin(kRoomBlock);
    }
};

TEST(RoomMargin, FollowsFaderSendAndOutputEqualiserByTheirDecibels) {
    RoomPathCfg pa;  // main left, 4 m
    pa.m = 4.0f;
    RoomPathCfg wedge;
    wedge.from = OutputRoute{OutputRoute::Kind::Bus, 0};
    wedge.m = 1.2f;
    struct Case {
        const char* what;
        RoomPathCfg path;
        void (*change)(RoomStage&);
        double expected_db;
    };
    const Case cases[] = {
        {"strip fader to half", pa,
         [](RoomStage& s) {
             s.mic.fader = 0.5f;
             s.engine.apply_update(update::StripSettings{0, s.mic});
         },
         20.0 * std::log10(0.5)},
        {"main fader up 3 dB", pa,
         [](RoomStage& s) {
             s.engine.apply_update(update::MainSettings{StripCfg{.fader = 1.4125375f}});
         },
         3.0},
        {"wedge send to a quarter", wedge,
         [](RoomStage& s) {
             s.mic.sends[0].lin = 0.125f;
             s.engine.apply_update(update::StripSettings{0, s.mic});
         },
         20.0 * std::log10(0.25)},
        {"wedge equaliser cut", wedge,
         [](RoomStage& s) {
             // Centred on the strip's presence peak and broad, so the highest gain stays there.
             s.wedge.eq = {Band{"peq", 2500.0, -4.0, 0.3}};
             s.engine.apply_update(update::BusSettings{0, s.wedge});
         },
         -4.0},
    };
    for (const Case& c : cases) {
        RoomStage stage;
        const RoomMargin before = stage.margin(c.path);
        c.change(stage);
        const RoomMargin after = stage.margin(c.path);
        EXPECT_NEAR(after.gain_db - before.gain_db, c.expected_db, 0.25) << c.what;
        EXPECT_GT(before.gain_db, kRoomFloorDb) << c.what;
        EXPECT_GE(before.gain_db, before.ring_db) << c.what;
    }
}

TEST(RoomMargin, NoLoopWithoutAStripOnTheChannelOrARouteToTheSpeaker) {
    RoomStage stage;
    RoomPathCfg other_channel;
    other_channel.ch = 5;  // strip 5 hears it but its fader is down
    EXPECT_EQ(stage.margin(other_channel).gain_db, kRoomFloorDb);
    RoomPathCfg bus3;
    bus3.from = OutputRoute{OutputRoute::Kind::Bus, 2};  // nothing is sent there
    EXPECT_EQ(stage.margin(bus3).gain_db, kRoomFloorDb);
    RoomPathCfg unmapped;
    unmapped.ch = 40;
    EXPECT_EQ(stage.margin(unmapped).ch, 40);
    EXPECT_EQ(stage.margin(unmapped).gain_db, kRoomFloorDb);
}

}  // namespace
}  // namespace mixengine
