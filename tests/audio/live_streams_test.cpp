// Opening the live streams on a scripted host: what each stream is opened with, the failure
// texts, what is released on failure, and the stream-error warning.
#include <gtest/gtest.h>

#include "audio/fake_host.h"
#include "audio/live_streams.h"
#include "control/telemetry.h"

namespace mixengine {
namespace {

struct StreamsRig {
    StreamsRig() {
        host.device_list = {fake_device("Stage box", 16, 0, 48000, SampleFormat::I32),
                            fake_device("Speakers", 0, 2, 48000, SampleFormat::F64)};
    }

    LiveStreamsRequest request(std::optional<uint32_t> buffer = 256) {
        LiveStreamsRequest r;
        r.input_device = {0, "Stage box"};
        r.output_device = {1, "Speakers"};
        r.input_config = *host.default_config(r.input_device, Direction::Input);
        r.output_config = *host.default_config(r.output_device, Direction::Output);
        r.rate = 96000;
        r.buffer_frames = buffer;
        auto [in_w, in_r] = make_spsc_ring<float>(16 * 16384);
        auto [up_w, up_r] = make_spsc_ring<EngineUpdate>(kUpdateRingCapacity);
        auto [an_w, an_r] = make_spsc_ring<float>(48000);
        r.input_ring = std::move(in_w);
        r.input_ring_reader = std::move(in_r);
        r.updates = std::move(up_r);
        r.analyser = std::move(an_w);
        r.xruns = xruns;
        r.meters = std::make_shared<Meters>(2);
        r.build_engine = [this] {
            engine_built_after_input = !host.streams.empty();
            return std::make_unique<MixEngine>(96000.0f);
        };
        return r;
    }

    FakeHost host;
    std::shared_ptr<XrunCounter> xruns = std::make_shared<XrunCounter>(0);
    bool engine_built_after_input = false;
};

TEST(LiveStreams, OpensBothAtTheEngineRateWithDefaultChannelsAndFormats) {
    StreamsRig s;
    auto streams = open_live_streams(s.host, s.request());
    ASSERT_TRUE(streams);
    ASSERT_EQ(s.host.streams.size(), 2u);
    const auto& in = *s.host.streams[0];
    const auto& out = *s.host.streams[1];
    EXPECT_EQ(in.direction, Direction::Input);
    EXPECT_EQ(in.config, (StreamConfig{16, 96000, 256}));
    EXPECT_EQ(in.format, SampleFormat::I32);
    EXPECT_EQ(out.direction, Direction::Output);
    EXPECT_EQ(out.config, (StreamConfig{2, 96000, 256}));
    EXPECT_EQ(out.format, SampleFormat::F32);  // F64 is opened as F32
    EXPECT_TRUE(in.started && out.started);
    EXPECT_TRUE(s.engine_built_after_input);

    // Samples flow from one callback to the other.
    std::vector<int32_t> block(16 * 256, 1 << 30);
    in.input(InputBlock(std::span<const int32_t>(block)));
    std::vector<float> device(2 * 256, 5.0f);
    out.output(OutputBlock(std::span<float>(device)));
    EXPECT_EQ(s.xruns->load(), 0u);

    streams->release();
    EXPECT_TRUE(in.released && out.released);
    EXPECT_FALSE(out.output);  // the engine went with the output stream
}

TEST(LiveStreams, WithoutABufferSizeLeavesItToTheDevice) {
    StreamsRig s;
    ASSERT_TRUE(open_live_streams(s.host, s.request(std::nullopt)));
    EXPECT_EQ(s.host.streams[0]->config.buffer_frames, std::nullopt);
    EXPECT_EQ(s.host.streams[1]->config.buffer_frames, std::nullopt);
}

TEST(LiveStreams, ReportsEachFailureWithItsTextAndReleasesWhatWasOpen) {
    {
        StreamsRig s;
        s.host.input_build_error = "busy";
        const auto r = open_live_streams(s.host, s.request());
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), "Cannot open the input: busy");
        EXPECT_TRUE(s.host.streams.empty());
    }
    {
        StreamsRig s;
        s.host.output_build_error = "no such rate";
        const auto r = open_live_streams(s.host, s.request());
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), "Cannot open the output: no such rate");
        ASSERT_EQ(s.host.streams.size(), 1u);
        EXPECT_TRUE(s.host.streams[0]->released);
    }
    {
        StreamsRig s;
        s.host.start_error = "The server went away.";
        const auto r = open_live_streams(s.host, s.request());
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), "The server went away.");
        for (const auto& stream : s.host.streams) EXPECT_TRUE(stream->released);
    }
}

TEST(LiveStreams, StreamErrorsBecomeAudioWarnings) {
    StreamsRig s;
    auto streams = open_live_streams(s.host, s.request());
    ASSERT_TRUE(streams);
    std::string lines;
    capture_output_for_tests(&lines);
    s.host.streams[0]->error("Input overflow.");
    s.host.streams[1]->error("Device \"x\" lost.");
    capture_output_for_tests(nullptr);
    EXPECT_EQ(lines,
              "{\"t\":\"warn\",\"text\":\"Audio: Input overflow.\"}\n"
              "{\"t\":\"warn\",\"text\":\"Audio: Device \\\"x\\\" lost.\"}\n");
}

}  // namespace
}  // namespace mixengine
