#include "multitrack/player.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

#include "wav_fixture.h"

namespace mixengine {
namespace {

using namespace testing;

// A 16-bit track whose sample i is base + i, so every sample says where it came from.
void write_track(const std::string& path, uint32_t rate, int16_t base, std::size_t frames) {
    std::vector<int16_t> s(frames);
    for (std::size_t i = 0; i < frames; ++i) s[i] = static_cast<int16_t>(base + int(i));
    write_bytes(path, wav16(rate, s));
}

float sample_value(int v) {
    return static_cast<float>(v) / 32768.0f;
}

TEST(StartFrame, TruncatesAndSaturates) {
    EXPECT_EQ(start_frame(12.5, 48000), 600000u);
    EXPECT_EQ(start_frame(0.99999, 1000), 999u);
    EXPECT_EQ(start_frame(1e300, 48000), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(start_frame(std::numeric_limits<double>::infinity(), 48000),
              std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(start_frame(5.0, 0), 0u);
}

TEST(PlaybackTracks, InterleavesTracksInByteOrderWithSilenceWhereNoneIs) {
    ScratchDir dir;
    // Byte order: ch1, ch10, ch2 go to outputs 1, 2, 3; ch2 is shorter and goes silent.
    write_track(dir.file("ch1.wav"), 1000, 100, 6);
    write_track(dir.file("ch10.wav"), 1000, 200, 6);
    write_track(dir.file("ch2.wav"), 1000, 300, 3);
    write_bytes(dir.file("notes.txt"), {1, 2, 3});
    auto tracks = PlaybackTracks::open(dir.path());
    ASSERT_TRUE(tracks) << tracks.error();
    EXPECT_EQ(tracks->count(), 3u);
    EXPECT_EQ(tracks->rate(), 1000u);
    EXPECT_EQ(tracks->total_frames(), 6u);

    tracks->skip(1);
    uint64_t remaining = 5;
    // Room for two frames of four outputs (and a spare sample that must stay unused).
    auto [producer, consumer] = make_spsc_ring<float>(9);
    EXPECT_EQ(tracks->fill(producer, 4, remaining), 2u);
    EXPECT_EQ(remaining, 3u);
    std::vector<float> got(8);
    ASSERT_EQ(consumer.pop_some(got.data(), 8), 8u);
    EXPECT_EQ(got,
              (std::vector<float>{sample_value(101), sample_value(201), sample_value(301), 0.0f,  //
                                  sample_value(102), sample_value(202), sample_value(302), 0.0f}));
    EXPECT_EQ(tracks->fill(producer, 4, remaining), 2u);
    ASSERT_EQ(consumer.pop_some(got.data(), 8), 8u);
    EXPECT_EQ(got, (std::vector<float>{sample_value(103), sample_value(203), 0.0f, 0.0f,  //
                                       sample_value(104), sample_value(204), 0.0f, 0.0f}));

    // Two outputs: the third track is not read.
    EXPECT_EQ(tracks->fill(producer, 2, remaining), 1u);
    EXPECT_EQ(remaining, 0u);
    ASSERT_EQ(consumer.pop_some(got.data(), 8), 2u);
    EXPECT_EQ(got[0], sample_value(105));
    EXPECT_EQ(got[1], sample_value(205));
    EXPECT_EQ(tracks->fill(producer, 2, remaining), 0u) << "nothing remains";
}

TEST(PlaybackTracks, FolderErrorsAreTheFirstProblemInListingOrder) {
    ScratchDir dir;
    const std::string empty = dir.file("empty");
    std::filesystem::create_directories(empty);
    const std::string junk = dir.file("junk");
    std::filesystem::create_directories(junk);
    write_track(junk + "/ch01.wav", 48000, 0, 10);
    write_bytes(junk + "/ch02.wav", {'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v', 'e', '!', '!'});
    write_bytes(junk + "/ch03.wav", {});
    const std::string stereo = dir.file("stereo");
    std::filesystem::create_directories(stereo + "/ch01.wav");  // a folder named like a track
    Bytes two = riff_head();
    append_fmt(two, 2, 48000, 16);
    append_data_header(two, 0);
    write_bytes(stereo + "/ch00.wav", two);

    const struct {
        std::string dir;
        std::string error;
    } cases[] = {
        {empty, "No recording found in " + empty},
        {dir.file("absent"), "No recording found in " + dir.file("absent")},
        {junk, junk + "/ch02.wav is not a WAV file"},
        {stereo, stereo + "/ch00.wav: only mono 16- or 24-bit WAV files can be played"},
    };
    for (const auto& c : cases) {
        const auto tracks = PlaybackTracks::open(c.dir);
        ASSERT_FALSE(tracks) << c.dir;
        EXPECT_EQ(tracks.error(), c.error);
    }
}

}  // namespace
}  // namespace mixengine
