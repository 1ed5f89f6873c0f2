// The record and play modes on a scripted host, driven pass by pass on a clock of the test's own:
// configuration choice, files, queue overflow, progress lines, pause, the end of the material and
// every start-up failure text.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "audio/fake_host.h"
#include "support/captured_lines.h"
#include "control/telemetry.h"
#include "entry/multitrack_modes.h"
#include "multitrack/wav_fixture.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using testing::ScratchDir;

using Lines = testing::CapturedLines;

StreamConfigRange range(uint16_t channels, uint32_t lo, uint32_t hi,
                        SampleFormat format = SampleFormat::F32) {
    return StreamConfigRange{channels, lo, hi, 0, 0, format};
}

FakeDevice input_device(std::string name, std::vector<StreamConfigRange> ranges) {
    FakeDevice d;
    d.name = std::move(name);
    d.inputs = std::move(ranges);
    return d;
}

FakeDevice output_device(std::string name, std::vector<StreamConfigRange> ranges) {
    FakeDevice d;
    d.name = std::move(name);
    d.outputs = std::move(ranges);
    return d;
}

// A host offering the one device, whose stream fails to build or to start when told to.
FakeHost failing_host(FakeDevice device, const std::optional<std::string>& build_error,
                      const std::optional<std::string>& start_error) {
    FakeHost host;
    host.device_list = {std::move(device)};
    host.input_build_error = build_error;
    host.output_build_error = build_error;
    host.start_error = start_error;
    return host;
}

const ModeClock::time_point t0{};

TEST(RecordSession, OpensTheChosenConfigurationWithOneFilePerChannel) {
    const struct {
        std::vector<StreamConfigRange> ranges;
        std::optional<uint16_t> request;
        uint16_t channels;
        uint32_t rate;
        SampleFormat format;
    } cases[] = {
        {{range(32, 48000, 48000, SampleFormat::I32)}, 8, 8, 48000, SampleFormat::I32},
        {{range(32, 48000, 48000)}, 64, 32, 48000, SampleFormat::F32},
        // A request for no channels records them all rather than nothing.
        {{range(32, 48000, 48000)}, 0, 32, 48000, SampleFormat::F32},
        {{range(32, 48000, 48000)}, std::nullopt, 32, 48000, SampleFormat::F32},
        {{range(2, 44100, 44100), range(2, 48000, 48000)},
         std::nullopt,
         2,
         48000,
         SampleFormat::F32},
        {{range(2, 44100, 44100, SampleFormat::I16)}, std::nullopt, 2, 44100, SampleFormat::I16},
        {{range(2, 8000, 96000, SampleFormat::U16)}, std::nullopt, 2, 48000, SampleFormat::F32},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        FakeHost host;
        host.device_list = {output_device("Speakers", {range(2, 48000, 48000)}),
                            input_device("Stage Box", c.ranges)};
        Lines lines;
        const std::string folder = dir.file("rehearsal/take 1");
        auto s = RecordSession::start(host, {"stage", folder, c.request});
        ASSERT_TRUE(s) << s.error();
        ASSERT_EQ(host.streams.size(), 1u);
        const auto& stream = *host.streams[0];
        EXPECT_EQ(stream.direction, Direction::Input);
        EXPECT_EQ(stream.device.id, 1u);
        EXPECT_EQ(stream.config, (StreamConfig{c.channels, c.rate, std::nullopt}));
        EXPECT_EQ(stream.format, c.format);
        EXPECT_TRUE(stream.started);
        const Json ready{{"t", "ready"},
                         {"mode", "record"},
                         {"device", "Stage Box"},
                         {"channels", c.channels},
                         {"rate", c.rate}};
        EXPECT_EQ(lines.take(), std::vector<Json>{ready});
        for (std::size_t ch = 0; ch < c.channels + 1u; ++ch)
            EXPECT_EQ(std::filesystem::exists(folder + "/" + channel_file_name(ch)),
                      ch < c.channels)
                << ch;
    }
}

TEST(RecordSession, StartUpFailuresAreOneTextAndNoReadyLine) {
    ScratchDir dir;
    testing::write_bytes(dir.file("plain"), {});
    const struct {
        std::vector<StreamConfigRange> ranges;
        std::string device;
        std::string folder;
        std::optional<std::string> build_error, start_error;
        std::string text;
    } cases[] = {
        {{range(2, 48000, 48000)},
         "Desk",
         dir.file("a"),
         {},
         {},
         "Audio input \"Desk\" not found. Is the console's USB connected?"},
        {{range(0, 48000, 48000)},
         "box",
         dir.file("a"),
         {},
         {},
         "The input offers no usable format"},
        {{range(2, 0, 0)}, "box", dir.file("a"), {}, {}, "The input offers no usable format"},
        {{range(2, 48000, 48000)}, "box", dir.file("plain/a"), {}, {}, "Not a directory"},
        {{range(2, 48000, 48000)},
         "box",
         dir.file("a"),
         "Device busy.",
         {},
         "Cannot open the input for recording: Device busy."},
        {{range(2, 48000, 48000)},
         "box",
         dir.file("a"),
         {},
         "Could not start.",
         "Could not start."},
    };
    for (const auto& c : cases) {
        FakeHost host = failing_host(input_device("Stage Box", c.ranges), c.build_error,
                                     c.start_error);
        Lines lines;
        auto s = RecordSession::start(host, {c.device, c.folder, std::nullopt});
        ASSERT_FALSE(s) << c.text;
        EXPECT_EQ(s.error(), c.text);
        EXPECT_EQ(lines.text, "");
        for (const auto& stream : host.streams) EXPECT_FALSE(stream->started);
    }
}

TEST(RecordSession, WritesWholeBuffersReportsEverySecondAndFinishesCleanly) {
    ScratchDir dir;
    FakeHost host;
    // 1000 Hz and two channels: the queue holds 4 s, 8000 samples.
    host.device_list = {input_device("Box", {range(2, 1000, 1000, SampleFormat::I16)})};
    Lines lines;
    auto s = RecordSession::start(host, {"box", dir.path(), std::nullopt});
    ASSERT_TRUE(s) << s.error();
    lines.take();
    auto& stream = *host.streams[0];

    // 100 frames of (0.5, -0.25), then nothing for a while.
    std::vector<int16_t> block;
    for (int f = 0; f < 100; ++f) block.insert(block.end(), {16384, -8192});
    const auto feed = [&] { stream.input(std::span<const int16_t>(block)); };
    feed();
    ASSERT_TRUE((*s)->pass(t0));  // right after "ready": starts the clock of the "rec" lines
    ASSERT_TRUE((*s)->pass(t0 + 999ms));
    EXPECT_TRUE(lines.take().empty()) << "less than a second since ready";
    ASSERT_TRUE((*s)->pass(t0 + 1000ms));
    EXPECT_EQ(lines.take(), std::vector<Json>{Json::parse(
                                R"({"t":"rec","secs":0,"channels":2,"peaks":[-6.0,-12.0],
                                    "dropped":0})")});

    // The writer stalls: 40 buffers fill the queue exactly, the 41st is dropped whole.
    for (int i = 0; i < 41; ++i) feed();
    ASSERT_TRUE((*s)->pass(t0 + 1500ms));
    ASSERT_TRUE((*s)->pass(t0 + 2000ms));
    EXPECT_EQ(lines.take(), std::vector<Json>{Json::parse(
                                R"({"t":"rec","secs":4,"channels":2,"peaks":[-6.0,-12.0],
                                    "dropped":200})")});
    ASSERT_TRUE((*s)->pass(t0 + 3000ms));
    EXPECT_EQ(lines.take()[0]["peaks"], Json::parse("[-120.0,-120.0]"));

    // A buffer that arrives after the last drain but before the release is kept too.
    feed();
    ASSERT_TRUE((*s)->finish());
    EXPECT_TRUE(stream.released);
    EXPECT_EQ(lines.take(),
              std::vector<Json>{Json::parse(R"({"t":"done","secs":4,"channels":2})")});
    for (const char* name : {"ch01.wav", "ch02.wav"}) {
        const auto bytes = testing::read_bytes(dir.file(name));
        EXPECT_EQ(testing::read_u32(bytes, 40), 4200u * 3) << name;
        auto r = WavReader::open(dir.file(name));
        ASSERT_TRUE(r) << r.error();
        EXPECT_EQ(r->frames(), 4200u);
        EXPECT_EQ(r->sample_rate(), 1000u);
        const float want = name[3] == '1' ? 0.5f : -0.25f;
        for (int i = 0; i < 4200; ++i) ASSERT_NEAR(r->next_sample(), want, 1e-6f) << i;
    }
}

TEST(RecordSession, StreamErrorsAreWarningsAndTheRecordingGoesOn) {
    ScratchDir dir;
    FakeHost host;
    host.device_list = {input_device("Box", {range(1, 1000, 1000)})};
    Lines lines;
    auto s = RecordSession::start(host, {"box", dir.path(), std::nullopt});
    ASSERT_TRUE(s) << s.error();
    lines.take();
    host.streams[0]->error("Input overflow.");
    EXPECT_EQ(lines.text, "{\"t\":\"warn\",\"text\":\"Recording: Input overflow.\"}\n");
    EXPECT_TRUE(host.streams[0]->started);
}

// Tracks at 1000 Hz whose samples tell their track and position: track k, frame i holds
// (k * 1000 + i) / 32768 as 16-bit.
void write_tracks(const ScratchDir& dir, int count, int frames, uint32_t rate = 1000) {
    for (int k = 0; k < count; ++k) {
        std::vector<int16_t> samples(static_cast<std::size_t>(frames));
        for (int i = 0; i < frames; ++i) samples[i] = static_cast<int16_t>(k * 1000 + i);
        testing::write_bytes(dir.file(channel_file_name(k)), testing::wav16(rate, samples));
    }
}

TEST(PlaySession, StartUpFailuresAreOneTextAndNoReadyLine) {
    ScratchDir dir;
    write_tracks(dir, 2, 100, 44100);
    ScratchDir zero_rate;
    write_tracks(zero_rate, 1, 100, 0);
    ScratchDir broken;
    write_tracks(broken, 1, 100);
    testing::write_bytes(broken.file("ch02.wav"), {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A'});
    ScratchDir empty;

    const std::string rate_text =
        "The recording is at 44100 Hz but \"Speakers\" runs at 48000 Hz. Set the device to "
        "44100 Hz (Windows: Sound settings \u2192 the device \u2192 Advanced), then play again.";
    const struct {
        std::string folder;
        std::vector<StreamConfigRange> ranges;
        std::string device;
        std::optional<std::string> build_error, start_error;
        std::string text;
    } cases[] = {
        {empty.path(),
         {range(2, 48000, 48000)},
         "speak",
         {},
         {},
         "No recording found in " + empty.path()},
        {broken.path(),
         {range(2, 48000, 48000)},
         "speak",
         {},
         {},
         broken.file("ch02.wav") + " is not a WAV file"},
        {dir.path(),
         {range(2, 44100, 44100)},
         "Main PA",
         {},
         {},
         "Audio output \"Main PA\" not found. Is the console's USB connected?"},
        {dir.path(), {range(2, 48000, 48000), range(8, 96000, 96000)}, "speak", {}, {}, rate_text},
        // No range covers 0 Hz; even one that claims to does not make it playable.
        {zero_rate.path(),
         {range(2, 0, 96000)},
         "speak",
         {},
         {},
         "The recording is at 0 Hz but \"Speakers\" runs at 96000 Hz. Set the device to 0 Hz "
         "(Windows: Sound settings \u2192 the device \u2192 Advanced), then play again."},
        {dir.path(),
         {range(0, 44100, 44100)},
         "speak",
         {},
         {},
         "The output offers no usable format"},
        {dir.path(),
         {range(2, 44100, 44100)},
         "speak",
         "Device busy.",
         {},
         "Cannot open the output for playback: Device busy."},
        {dir.path(), {range(2, 44100, 44100)}, "speak", {}, "Could not start.", "Could not start."},
    };
    for (const auto& c : cases) {
        FakeHost host = failing_host(output_device("Speakers", c.ranges), c.build_error,
                                     c.start_error);
        Lines lines;
        auto s = PlaySession::start(host, {c.device, c.folder, 0.0},
                                    std::make_shared<std::atomic<bool>>(false));
        ASSERT_FALSE(s) << c.text;
        EXPECT_EQ(s.error(), c.text);
        EXPECT_EQ(lines.text, "");
    }
}

TEST(PlaySession, TrackNGoesToOutputNAndSurplusTracksAreWarnedAbout) {
    const struct {
        int tracks;
        uint16_t outputs;
        bool warned;
    } cases[] = {{16, 8, true}, {4, 8, false}};
    for (const auto& c : cases) {
        ScratchDir dir;
        write_tracks(dir, c.tracks, 300);
        FakeHost host;
        host.device_list = {
            output_device("Speakers", {range(c.outputs, 1000, 1000, SampleFormat::I16)})};
        Lines lines;
        auto s = PlaySession::start(host, {"speakers", dir.path(), 0.0},
                                    std::make_shared<std::atomic<bool>>(false));
        ASSERT_TRUE(s) << s.error();
        std::vector<Json> want = {Json{{"t", "ready"},
                                       {"mode", "play"},
                                       {"tracks", c.tracks},
                                       {"outputs", c.outputs},
                                       {"rate", 1000},
                                       {"length", 0}}};
        if (c.warned)
            want.push_back(Json{{"t", "warn"},
                                {"text",
                                 "The output has 8 channels; only the first 8 of 16 "
                                 "tracks play."}});
        EXPECT_EQ(lines.take(), want);
        auto& stream = *host.streams[0];
        EXPECT_EQ(stream.config, (StreamConfig{c.outputs, 1000, std::nullopt}));
        EXPECT_EQ(stream.format, SampleFormat::I16);

        (*s)->pass(t0 + 10ms);
        std::vector<int16_t> out(std::size_t{c.outputs} * 2);
        stream.output(std::span<int16_t>(out));
        for (std::size_t i = 0; i < out.size(); ++i) {
            const int ch = static_cast<int>(i % c.outputs);
            const int frame = static_cast<int>(i / c.outputs);
            EXPECT_EQ(out[i], ch < c.tracks ? ch * 1000 + frame : 0) << i;
        }
        EXPECT_EQ((*s)->played(), 2u);
    }
}

TEST(PlaySession, PauseHoldsThePositionAndTheEndOfTheMaterialEndsIt) {
    ScratchDir dir;
    write_tracks(dir, 2, 600);
    FakeHost host;
    host.device_list = {output_device("Speakers", {range(2, 1000, 1000)})};
    auto paused = std::make_shared<std::atomic<bool>>(false);
    Lines lines;
    auto s = PlaySession::start(host, {"speakers", dir.path(), 0.1}, paused);
    ASSERT_TRUE(s) << s.error();
    lines.take();
    auto& stream = *host.streams[0];
    EXPECT_EQ((*s)->played(), 100u) << "the position starts at --from";

    std::vector<float> out(200);  // 100 frames
    EXPECT_FALSE((*s)->pass(t0));
    stream.output(std::span<float>(out));
    EXPECT_EQ(out[0], 100.0f / 32768.0f);
    EXPECT_EQ(out[1], 1100.0f / 32768.0f);

    paused->store(true);
    std::fill(out.begin(), out.end(), 1.0f);
    stream.output(std::span<float>(out));
    EXPECT_EQ(out, std::vector<float>(200, 0.0f));
    EXPECT_EQ((*s)->played(), 200u);
    EXPECT_FALSE((*s)->pass(t0 + 500ms));
    EXPECT_EQ(lines.take(),
              std::vector<Json>{Json::parse(R"({"t":"play","secs":0,"length":0,"paused":true})")});
    paused->store(false);
    stream.output(std::span<float>(out));
    EXPECT_EQ(out[0], 200.0f / 32768.0f) << "playback resumes where it paused";

    // The queue holds 250 frames: two more passes read the rest of the material.
    EXPECT_FALSE((*s)->pass(t0 + 600ms));
    for (int i = 0; i < 2; ++i) stream.output(std::span<float>(out));
    EXPECT_FALSE((*s)->pass(t0 + 700ms)) << "the last 100 frames are still queued";
    stream.output(std::span<float>(out));
    EXPECT_EQ(out[198], 599.0f / 32768.0f);
    stream.output(std::span<float>(out));
    EXPECT_EQ(out, std::vector<float>(200, 0.0f)) << "an underrun plays silence";
    EXPECT_EQ((*s)->played(), 700u) << "and still advances the position";
    EXPECT_TRUE((*s)->pass(t0 + 1000ms));
    EXPECT_EQ(lines.take(),
              std::vector<Json>{Json::parse(R"({"t":"play","secs":0,"length":0,"paused":false})")});
    (*s)->finish();
    EXPECT_TRUE(stream.released);
    EXPECT_EQ(lines.take(), std::vector<Json>{Json::parse(R"({"t":"done"})")});
}

TEST(PlaySession, StartsFromAPositionOrEndsAtOnceBeyondTheEnd) {
    ScratchDir dir;
    write_tracks(dir, 1, 20000);  // 20 s at 1000 Hz
    const struct {
        double from_s;
        uint64_t played;
        bool over;
        float first;
    } cases[] = {
        {12.5, 12500, false, 12500.0f},
        {30.0, 30000, true, 0.0f},
        {1e300, std::numeric_limits<uint64_t>::max(), true, 0.0f},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.device_list = {output_device("Speakers", {range(1, 1000, 1000)})};
        Lines lines;
        auto s = PlaySession::start(host, {"speakers", dir.path(), c.from_s},
                                    std::make_shared<std::atomic<bool>>(false));
        ASSERT_TRUE(s) << s.error();
        EXPECT_EQ(lines.take()[0]["length"], 20);
        EXPECT_EQ((*s)->played(), c.played);
        EXPECT_EQ((*s)->pass(t0), c.over);
        EXPECT_TRUE(lines.take().empty()) << "the first pass starts the clock of the lines";
        (*s)->pass(t0 + 500ms);
        const auto play = lines.take();
        ASSERT_EQ(play.size(), 1u);
        EXPECT_EQ(play[0]["secs"], c.played / 1000);
        float out = -1.0f;
        host.streams[0]->output(std::span<float>(&out, 1));
        // 16-bit samples wrap: 12500 is stored as itself, within range.
        EXPECT_EQ(out, c.first / 32768.0f);
    }
}

}  // namespace
}  // namespace mixengine
