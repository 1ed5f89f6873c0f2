#include "multitrack/recorder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cmath>
#include <vector>

#include "wav_fixture.h"

namespace mixengine {
namespace {

using namespace testing;

int32_t i24_at(const Bytes& b, std::size_t sample) {
    const std::size_t at = kWavHeaderBytes + 3 * sample;
    const uint32_t raw = uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16;
    return static_cast<int32_t>(raw << 8) >> 8;
}

TEST(PeakDb, OneDecimalWithTheSilenceFloor) {
    const struct {
        float peak;
        float db;
    } cases[] = {
        {0.0f, -120.0f}, {1e-9f, -120.0f}, {NAN, -120.0f}, {1.0f, 0.0f},
        {0.5f, -6.0f},   {0.1f, -20.0f},   {2.0f, 6.0f},   {0.0316228f, -30.0f},
    };
    for (const auto& c : cases) EXPECT_EQ(peak_db(c.peak), c.db) << c.peak;
    EXPECT_EQ(channel_file_name(0), "ch01.wav");
    EXPECT_EQ(channel_file_name(99), "ch100.wav");
    EXPECT_EQ(whole_seconds(96000, 48000), 2u);
    EXPECT_EQ(whole_seconds(96000, 0), 0u);
}

TEST(RecordingFiles, SplitsInterleavedBuffersIntoOneFilePerChannel) {
    ScratchDir dir;
    const std::string folder = dir.file("a/b/take");  // parents are created
    auto files = RecordingFiles::create(folder, 3, 44100);
    ASSERT_TRUE(files) << files.error();

    // Frame f holds channel c at (c + 1) * 0.01 * f; buffers end in the middle of frames.
    std::vector<float> samples;
    for (int f = 0; f < 10; ++f)
        for (int c = 0; c < 3; ++c) samples.push_back(static_cast<float>((c + 1) * 0.01 * f));
    const std::size_t cuts[] = {0, 4, 5, 17, 30};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i)
        ASSERT_TRUE(files->write({samples.data() + cuts[i], cuts[i + 1] - cuts[i]}));
    EXPECT_EQ(files->frames(), 10u);

    const Json rec = files->rec_line(7);
    // Peaks are single-precision values, widened as they are.
    EXPECT_EQ(rec, (Json{{"t", "rec"},
                         {"secs", 0},
                         {"channels", 3},
                         {"dropped", 7},
                         {"peaks", {json_f32(-20.9f), json_f32(-14.9f), json_f32(-11.4f)}}}));
    EXPECT_EQ(files->rec_line(7)["peaks"], Json::parse("[-120.0,-120.0,-120.0]"))
        << "peaks start again after each line";

    ASSERT_TRUE(files->finish());
    EXPECT_EQ(files->done_line(), Json::parse(R"({"t":"done","secs":0,"channels":3})"));
    for (int c = 0; c < 3; ++c) {
        const Bytes b = read_bytes(folder + "/" + channel_file_name(c));
        ASSERT_EQ(b.size(), kWavHeaderBytes + 30);
        EXPECT_EQ(read_u32(b, 4), 36u + 30u);
        EXPECT_EQ(read_u32(b, 24), 44100u);
        EXPECT_EQ(read_u32(b, 40), 30u);
        for (int f = 0; f < 10; ++f)
            EXPECT_EQ(i24_at(b, f), wav_sample_to_i24(static_cast<float>((c + 1) * 0.01 * f)));
    }
}

TEST(RecordingFiles, DrainsTheQueueInOrder) {
    ScratchDir dir;
    auto files = RecordingFiles::create(dir.path(), 2, 48000);
    ASSERT_TRUE(files) << files.error();
    // More than one drain chunk, so the channel carries over between chunks.
    const std::size_t frames = 20001;
    auto [producer, consumer] = make_spsc_ring<float>(2 * frames);
    for (std::size_t f = 0; f < frames; ++f) {
        producer.push(static_cast<float>(f % 1000) / 1000.0f);
        producer.push(-static_cast<float>(f % 1000) / 1000.0f);
    }
    ASSERT_TRUE(files->drain(consumer));
    EXPECT_EQ(files->frames(), frames);
    ASSERT_TRUE(files->finish());
    for (int c = 0; c < 2; ++c) {
        auto r = WavReader::open(dir.file(channel_file_name(c)));
        ASSERT_TRUE(r) << r.error();
        ASSERT_EQ(r->frames(), frames);
        for (std::size_t f = 0; f < frames; ++f) {
            const float want = (c == 0 ? 1.0f : -1.0f) * static_cast<float>(f % 1000) / 1000.0f;
            ASSERT_NEAR(r->next_sample(), want, 2e-7f) << "channel " << c << " frame " << f;
        }
    }
}

TEST(RecordingFiles, FolderThatCannotBeMadeGivesTheSystemText) {
    ScratchDir dir;
    write_bytes(dir.file("plain"), {});
    const auto files = RecordingFiles::create(dir.file("plain/take"), 2, 48000);
    ASSERT_FALSE(files);
    EXPECT_EQ(files.error(), "Not a directory");
}

// The file size limit makes the system refuse writes the way a full disk does, without a file
// system of the test's own.
TEST(RecordingFiles, AFailedWriteEndsTheRecordingAndKeepsWhatWasWritten) {
    ScratchDir dir;
    auto created = RecordingFiles::create(dir.path(), 1, 48000);
    ASSERT_TRUE(created) << created.error();
    std::optional<RecordingFiles> files(std::move(*created));  // closed early below

    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = kWavHeaderBytes + 3 * 30000;  // one 64 KiB buffer fits, the second not
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    // A ramp, so that a sample written twice or out of place shows.
    const auto ramp = [](uint64_t i) { return static_cast<float>(i % 1000) / 1000.0f; };
    std::vector<float> block(1000);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = ramp(i);
    Status failure = Done{};
    std::size_t written = 0;
    while (failure && written < 100000) {
        failure = files->write(block);
        if (failure) written += block.size();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);

    ASSERT_FALSE(failure);
    EXPECT_EQ(failure.error(), "Writing the recording failed (is the disk full?): File too large");
    EXPECT_FALSE(files->write(block)) << "nothing is written after a failure";
    // Closing with room again writes the rest of the buffer after the part that got through,
    // not the whole buffer a second time; the header keeps its placeholder sizes.
    files.reset();

    auto r = WavReader::open(dir.file("ch01.wav"));
    ASSERT_TRUE(r) << r.error();
    EXPECT_GE(r->frames(), kWavBufferBytes / 3);
    EXPECT_LE(r->frames(), written + block.size());
    for (uint64_t i = 0; i < r->frames(); ++i)
        ASSERT_NEAR(r->next_sample(), ramp(i), 1e-6f) << "sample " << i;
}

}  // namespace
}  // namespace mixengine
