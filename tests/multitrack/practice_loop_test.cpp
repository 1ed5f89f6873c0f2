#include "multitrack/practice_loop.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "practice_fixture.h"
#include "wav_fixture.h"

namespace mixengine {
namespace {

using namespace testing;
using std::chrono::nanoseconds;

constexpr std::size_t kBlock = 256;

// A 16-bit recording whose sample k is `value(k)`, so every frame can be recognised.
std::vector<int16_t> ramp(std::size_t frames, int sign = 1) {
    std::vector<int16_t> v(frames);
    for (std::size_t k = 0; k < frames; ++k) v[k] = static_cast<int16_t>(sign * int(k % 32000 + 1));
    return v;
}
float value(std::size_t k, int sign = 1) {
    return float(sign * int(k % 32000 + 1)) / 32768.0f;
}

TEST(PracticeLoop, PacesByAbsoluteDeadlinesNeitherWaitingNorSkippingWhenBehind) {
    PracticeRig rig(4);
    rig.loop->start();
    for (int b = 1; b <= 100; ++b) {
        rig.loop->run_block();
        // b blocks of 256 frames at 48 kHz, truncated to whole nanoseconds.
        ASSERT_EQ(rig.clock.elapsed(), nanoseconds(int64_t(b) * 256 * 1'000'000'000 / 48000));
    }
    EXPECT_EQ(rig.clock.sleeps, 100);

    rig.clock.advance(std::chrono::seconds(1));  // a stall: now 1.5333 s, 100 blocks done
    for (int b = 101; b <= 300; ++b) rig.loop->run_block();
    // Deadlines of blocks 101..287 (<= 1.5307 s) have passed; 288..300 lie ahead again.
    EXPECT_EQ(rig.clock.sleeps, 100 + 13);
    EXPECT_EQ(rig.loop->blocks(), 300u);
    EXPECT_EQ(rig.clock.elapsed(), nanoseconds(int64_t(300) * 256 * 1'000'000'000 / 48000));
}

TEST(PracticeLoop, AnnouncesReadinessWithoutWarningsForTestSignals) {
    PracticeRig rig(3);
    rig.loop->start();
    EXPECT_EQ(
        rig.output,
        R"j({"buffer":256,"in_name":"Test signals","inputs":3,"latency_ms":10.666666984558105,)j"
        R"j("mode":"sim","out_name":"None (test mode)","outputs":2,"rate":48000.0,"t":"ready"})j"
        "\n");
    EXPECT_TRUE(rig.loop->test_mode());
    rig.loop->run_block();
    EXPECT_EQ(rig.count_lines("\"files\""), 0);
    float peak = 0.0f;
    for (float v : rig.loop->input_block()) peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 0.0f) << "test signals reach the input block";
}

TEST(PracticeLoop, WarnsWhenTheRecordingCannotBeUsedAsIs) {
    ScratchDir stereo_only, other_rate;
    Bytes stereo = riff_head();
    append_fmt(stereo, 2, 48000, 16);
    append_data_header(stereo, 8);
    stereo.resize(stereo.size() + 8, 0);
    write_bytes(stereo_only.file("ch01.wav"), stereo);
    write_bytes(other_rate.file("ch01.wav"), wav16(44100, ramp(10)));

    const struct {
        std::string dir, warning;
        bool test_mode;
    } cases[] = {
        {stereo_only.path(), "No recording found to practise with; playing test signals.", true},
        {stereo_only.file("absent"), "No recording found to practise with; playing test signals.",
         true},
        {other_rate.path(),
         "The recording is at 44100 Hz; the practice engine runs at 48000 Hz, so it will play at "
         "the wrong speed.",
         false},
    };
    for (const auto& c : cases) {
        PracticeRig rig(2, c.dir);
        rig.loop->start();
        EXPECT_EQ(rig.output.substr(0, rig.output.find('\n')),
                  R"({"t":"warn","text":")" + c.warning + "\"}");
        EXPECT_EQ(rig.count_lines("\"ready\""), 1);
        EXPECT_EQ(rig.loop->test_mode(), c.test_mode);
    }
}

TEST(PracticeLoop, TracksFeedTheirInputsAndLoopWhenTheLongestEnds) {
    ScratchDir dir;
    write_bytes(dir.file("ch01.wav"), wav16(48000, ramp(1000)));
    write_bytes(dir.file("ch02.wav"), wav16(48000, ramp(600, -1)));
    write_bytes(dir.file("notes.txt"), {1, 2, 3});
    PracticeRig rig(3, dir.path());
    rig.loop->start();
    ASSERT_FALSE(rig.loop->test_mode());
    EXPECT_EQ(rig.loop->track_count(), 2u);
    EXPECT_EQ(rig.loop->length(), 1000u);

    auto expect_block = [&](std::size_t first_frame) {
        const auto& in = rig.loop->input_block();
        for (std::size_t f = 0; f < kBlock; ++f) {
            const std::size_t k = first_frame + f;
            ASSERT_EQ(in[f * 3 + 0], k < 1000 ? value(k) : 0.0f) << k;
            ASSERT_EQ(in[f * 3 + 1], k < 600 ? value(k, -1) : 0.0f) << k;
            ASSERT_EQ(in[f * 3 + 2], 0.0f) << "input without a track is silent";
        }
    };
    for (std::size_t b = 0; b < 4; ++b) {
        rig.loop->run_block();
        expect_block(b * kBlock);
        EXPECT_EQ(rig.loop->position(), (b + 1) * kBlock);
    }
    rig.loop->run_block();  // 1024 >= 1000: starts over
    expect_block(0);
    EXPECT_EQ(rig.loop->position(), kBlock);
}

TEST(PracticeLoop, SeeksToWholeSecondsWithinTheRecording) {
    ScratchDir dir;
    constexpr std::size_t kLength = 120000;  // 2.5 s
    write_bytes(dir.file("ch01.wav"), wav16(48000, ramp(kLength)));
    const struct {
        uint64_t slot;      // seconds + 1
        std::size_t first;  // frame heard first
    } cases[] = {
        {1, 0},
        {2, 48000},
        {3, 96000},
        {11, kLength - 1},  // past the end: the last frame, then silence
        {std::numeric_limits<uint64_t>::max(), kLength - 1},
    };
    for (const auto& c : cases) {
        PracticeRig rig(1, dir.path());
        rig.loop->start();
        rig.loop->run_block();
        rig.control.seek.store(c.slot);
        rig.loop->run_block();
        EXPECT_EQ(rig.control.seek.load(), 0u) << "the request is taken once";
        const auto& in = rig.loop->input_block();
        EXPECT_EQ(in[0], value(c.first)) << c.slot;
        EXPECT_EQ(in[1], c.first + 1 < kLength ? value(c.first + 1) : 0.0f) << c.slot;
        EXPECT_EQ(rig.loop->position(), c.first + kBlock);
        if (c.first == kLength - 1) {
            rig.loop->run_block();
            EXPECT_EQ(rig.loop->input_block()[0], value(0)) << "restarts after the last frame";
        }
    }
}

TEST(PracticeLoop, PauseFeedsSilenceHoldsThePositionAndKeepsPacing) {
    ScratchDir dir;
    write_bytes(dir.file("ch01.wav"), wav16(48000, ramp(5000)));
    PracticeRig rig(2, dir.path());
    rig.loop->start();
    rig.loop->run_block();
    rig.control.paused.store(true);
    for (int i = 0; i < 3; ++i) {
        rig.loop->run_block();
        for (float v : rig.loop->input_block()) ASSERT_EQ(v, 0.0f);
        EXPECT_EQ(rig.loop->position(), kBlock);
    }
    EXPECT_EQ(rig.loop->blocks(), 4u);
    EXPECT_EQ(rig.clock.sleeps, 4);
    rig.control.paused.store(false);
    rig.loop->run_block();
    EXPECT_EQ(rig.loop->input_block()[0], value(kBlock)) << "resumes where it paused";
}

TEST(PracticeLoop, ReportsPlaybackAtMostEveryHalfSecond) {
    ScratchDir dir;
    write_bytes(dir.file("ch01.wav"), wav16(48000, ramp(120000)));
    const struct {
        nanoseconds extra_per_block;  // beyond the loop's own sleeps
        int blocks;
        int lines;
    } cases[] = {
        // Paced: lines at blocks 94, 188 and 282 (0.501 s, 1.003 s, 1.504 s).
        {nanoseconds(0), 375, 3},
        {nanoseconds(0), 93, 0},
        // A clock that jumps more than half a second after each block: a line in every block
        // but the first, which runs at the start instant.
        {std::chrono::milliseconds(600), 5, 4},
    };
    for (const auto& c : cases) {
        PracticeRig rig(2, dir.path());
        rig.loop->start();
        for (int b = 0; b < c.blocks; ++b) {
            rig.loop->run_block();
            rig.clock.advance(c.extra_per_block);
        }
        EXPECT_EQ(rig.count_lines("\"t\":\"files\""), c.lines) << c.blocks;
    }

    PracticeRig rig(2, dir.path());
    rig.loop->start();
    rig.control.paused.store(true);
    rig.clock.advance(std::chrono::milliseconds(500));
    rig.loop->run_block();
    EXPECT_NE(rig.output.find(R"({"length":2,"paused":true,"secs":0,"t":"files","tracks":1})"),
              std::string::npos)
        << rig.output;
}

TEST(PracticeLoop, VanishedFilesLeaveSilenceNotTestSignals) {
    ScratchDir dir;
    write_bytes(dir.file("ch01.wav"), wav16(48000, ramp(300)));
    PracticeRig rig(1, dir.path());
    rig.loop->start();
    std::filesystem::remove(dir.file("ch01.wav"));
    rig.loop->run_block();  // still reading the open file
    EXPECT_EQ(rig.loop->input_block()[0], value(0));
    rig.loop->run_block();
    rig.loop->run_block();  // loops: reopening finds nothing
    EXPECT_FALSE(rig.loop->test_mode());
    EXPECT_EQ(rig.loop->track_count(), 0u);
    for (float v : rig.loop->input_block()) ASSERT_EQ(v, 0.0f);
}

TEST(PracticeLoop, FilesThatVanishedAtTheLoopPointAreLookedForEveryHalfSecond) {
    ScratchDir dir;
    write_bytes(dir.file("ch01.wav"), wav16(48000, ramp(300)));
    PracticeRig rig(1, dir.path());
    rig.loop->start();
    std::filesystem::remove(dir.file("ch01.wav"));
    for (int b = 0; b < 3; ++b) rig.loop->run_block();  // the loop point finds nothing
    ASSERT_EQ(rig.loop->track_count(), 0u);

    // The files are back; 16 more blocks (85 ms) pass with no look at the folder ...
    write_bytes(dir.file("ch01.wav"), wav16(48000, ramp(300)));
    for (int b = 0; b < 16; ++b) rig.loop->run_block();
    EXPECT_EQ(rig.loop->track_count(), 0u);
    // ... and half a second after the failed look the next block finds and plays them.
    rig.clock.advance(std::chrono::milliseconds(500));
    rig.loop->run_block();
    EXPECT_EQ(rig.loop->track_count(), 1u);
    EXPECT_EQ(rig.loop->input_block()[0], value(0));
    EXPECT_EQ(rig.loop->position(), kBlock);
}

TEST(PracticeLoop, EmptyRecordingIsNotReopenedEveryBlock) {
    ScratchDir dir;
    write_bytes(dir.file("ch01.wav"), wav16(48000, {}));
    PracticeRig rig(1, dir.path());
    rig.loop->start();
    EXPECT_EQ(rig.loop->track_count(), 1u);
    EXPECT_EQ(rig.loop->length(), 0u);
    std::filesystem::remove(dir.file("ch01.wav"));
    for (int i = 0; i < 3; ++i) rig.loop->run_block();
    EXPECT_EQ(rig.loop->track_count(), 1u) << "nothing to rewind, so the files stay as opened";
    rig.control.seek.store(1);
    rig.loop->run_block();
    EXPECT_EQ(rig.loop->track_count(), 0u) << "a seek still reopens";
}

TEST(PracticeLoop, AppliesEveryPendingUpdateBeforeTheBlock) {
    PracticeRig rig(2);
    rig.loop->start();
    for (std::size_t i = 0; i < 5; ++i)
        ASSERT_TRUE(rig.update_producer.push(EngineUpdate{update::StripSettings{i, StripCfg{}}}));
    rig.loop->run_block();
    EXPECT_EQ(rig.update_consumer.available(), 0u);
}

TEST(PracticeLoop, RunReturnsOnceTheStopFlagIsSet) {
    PracticeRig rig(2);
    rig.stop->store(true);
    rig.loop->run();
    EXPECT_EQ(rig.count_lines("\"ready\""), 1);
    EXPECT_EQ(rig.loop->blocks(), 0u);
}

}  // namespace
}  // namespace mixengine
