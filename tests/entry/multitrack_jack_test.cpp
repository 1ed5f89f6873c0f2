// The record and play modes end to end on a private JACK dummy server (16 capture, 8 playback
// channels at 48 kHz): the files a recording leaves however it ends, a full disk, playback with
// pause, positions and the channel warning, and a recording of what the player plays, wired with
// the server's own connection tools. Standard error stays empty throughout.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "multitrack/recorder.h"
#include "multitrack/wav.h"
#include "multitrack/wav_fixture.h"
#include "support/jack_engine.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace testing;

class MultitrackJack : public JackEngineTest {
  protected:
    // Runs one of the server's own tools (jack_connect, jack_disconnect) to its end.
    void jack_tool(const std::string& tool, const std::string& a, const std::string& b) {
        ChildProcess p("/usr/bin/" + tool, {a, b}, {server_.env()});
        EXPECT_EQ(p.wait(10s), 0) << tool << " " << a << " " << b;
    }
};

// The mode ended of itself: status 0 and nothing on standard error.
void expect_clean_exit(ChildProcess& p) {
    EXPECT_EQ(p.wait(10s), 0);
    EXPECT_EQ(p.stderr_text(), "");
}

// ... and its last line, the one given, is the end of the recording.
void expect_done_and_clean_exit(ChildProcess& p, const std::optional<std::string>& last) {
    ASSERT_TRUE(last);
    EXPECT_EQ(json::parse(*last), json::parse(R"({"t":"done"})"));
    expect_clean_exit(p);
}

// Writes `tracks` files of `frames` samples; sample i of track k is value(k, i).
template <typename Value>
void write_recording(const std::string& folder, int tracks, uint64_t frames, uint32_t rate,
                     Value value) {
    std::filesystem::create_directories(folder);
    for (int k = 0; k < tracks; ++k) {
        auto w = WavWriter::create(folder + "/" + channel_file_name(k), rate);
        ASSERT_TRUE(w) << w.error();
        for (uint64_t i = 0; i < frames; ++i) ASSERT_TRUE(w->write_sample(value(k, i)));
        ASSERT_TRUE(w->finish(rate));
    }
}

// Every file of a recording: opens, and holds the frame count its header (if finished) says.
std::vector<uint64_t> recorded_frames(const std::string& folder, int channels, bool finished) {
    std::vector<uint64_t> frames;
    for (int c = 0; c < channels; ++c) {
        const std::string path = folder + "/" + channel_file_name(c);
        auto r = WavReader::open(path);
        EXPECT_TRUE(r) << r.error();
        if (!r) return frames;
        const auto bytes = testing::read_bytes(path);
        const uint32_t data_size = testing::read_u32(bytes, 40);
        EXPECT_EQ(testing::read_u32(bytes, 24), 48000u);
        if (finished) {
            EXPECT_EQ(data_size, r->frames() * 3) << path;
            EXPECT_EQ(testing::read_u32(bytes, 4), data_size + 36) << path;
            EXPECT_EQ(bytes.size(), 44 + data_size) << path;
        } else {
            EXPECT_EQ(data_size, 0u) << "an unfinished header keeps its placeholder";
        }
        frames.push_back(r->frames());
    }
    return frames;
}

TEST_F(MultitrackJack, RecordsEveryChannelUntilStop) {
    ScratchDir dir;
    const std::string take = dir.file("rehearsal/take");
    auto p = start({"--record", "system", "--dir", take});
    const auto ready = p.read_until("\"t\":\"ready\"", 20s);
    ASSERT_TRUE(ready) << p.stderr_text();
    const auto ready_at = std::chrono::steady_clock::now();
    EXPECT_EQ(json::parse(*ready), json::parse(R"({"channels":16,"device":"system",
        "mode":"record","rate":48000,"t":"ready"})"));

    const auto rec = p.read_until("\"t\":\"rec\"", 10s);
    ASSERT_TRUE(rec);
    const json r = json::parse(*rec);
    EXPECT_EQ(r["channels"], 16);
    EXPECT_EQ(r["dropped"], 0);
    EXPECT_EQ(r["peaks"], json(std::vector<double>(16, -120.0))) << "the dummy inputs are silent";

    // About 2.5 s of audio: stop once the first file holds five of the writer's 64 KiB flushes
    // (5 * 21845 samples, 2.28 s). A loaded machine may run the server slower than the wall
    // clock, so the files, not the clock, say how much was recorded.
    const auto flushed = 44 + 5 * (kWavBufferBytes / 3) * 3;
    while (std::filesystem::file_size(take + "/ch01.wav") < flushed) {
        ASSERT_LT(std::chrono::steady_clock::now() - ready_at, 60s) << "the recording stalled";
        std::this_thread::sleep_for(10ms);
    }
    p.write_line("stop");
    const auto done = p.read_until("\"t\":\"done\"", 20s);
    ASSERT_TRUE(done);
    expect_clean_exit(p);

    const auto frames = recorded_frames(take, 16, true);
    ASSERT_EQ(frames.size(), 16u);
    EXPECT_FALSE(std::filesystem::exists(take + "/ch17.wav"));
    for (const uint64_t f : frames) EXPECT_EQ(f, frames[0]);
    // Typically 110000 to 125000 ("secs" 2); how much more depends on how soon the stop arrived.
    EXPECT_GE(frames[0], 5 * (kWavBufferBytes / 3));
    EXPECT_LT(frames[0], 480000u);
    EXPECT_EQ(json::parse(*done),
              (json{{"t", "done"}, {"channels", 16}, {"secs", frames[0] / 48000}}));
    std::cout << "recorded " << frames[0] << " samples per file; done: " << *done << "\n";
}

TEST_F(MultitrackJack, HoweverARecordingEndsItsFilesPlay) {
    enum class End { Stop, Quit, EndOfInput, Kill };
    for (const End end : {End::Stop, End::Quit, End::EndOfInput, End::Kill}) {
        ScratchDir dir;
        {
            auto p = start({"--record", "system", "--dir", dir.path(), "--channels", "2"});
            ASSERT_TRUE(p.read_until("\"t\":\"ready\"", 20s)) << p.stderr_text();
            // Until the writer's first 64 KiB reached the disk: what a kill must not lose.
            const auto started = std::chrono::steady_clock::now();
            while (std::filesystem::file_size(dir.file("ch01.wav")) < 44 + kWavBufferBytes - 1) {
                ASSERT_LT(std::chrono::steady_clock::now() - started, 60s) << "nothing written";
                std::this_thread::sleep_for(10ms);
            }
            if (end == End::Stop) p.write_line("  \"stop\" ");
            if (end == End::Quit) p.write_line("quit");
            if (end == End::EndOfInput) p.close_stdin();
            // A killed child is left to the destructor, which sends SIGKILL.
            if (end != End::Kill) {
                EXPECT_TRUE(p.read_until("\"t\":\"done\"", 20s));
                expect_clean_exit(p);
            }
        }
        const bool killed = end == End::Kill;
        const auto frames = recorded_frames(dir.path(), 2, !killed);
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_GE(frames[0], kWavBufferBytes / 3);
        if (!killed) continue;

        // A killed recording plays back here, to its last sample on the disk.
        auto play = start({"--play", "system", "--dir", dir.path()});
        const auto ready = play.read_until("\"t\":\"ready\"", 20s);
        ASSERT_TRUE(ready) << play.stderr_text();
        EXPECT_EQ(json::parse(*ready)["tracks"], 2);
        EXPECT_TRUE(play.read_until("\"t\":\"done\"", 20s));
        EXPECT_EQ(play.wait(10s), 0);
        EXPECT_EQ(play.stderr_text(), "");
    }
}

// Unmounts the small file system whatever the test's outcome.
struct SmallDisk {
    explicit SmallDisk(const std::string& at) : path(at) {
        std::filesystem::create_directories(at);
        if (::mount("mixengine-full", at.c_str(), "tmpfs", 0, "size=1m") != 0)
            error = std::strerror(errno);
        else
            mounted = true;
    }
    ~SmallDisk() {
        if (mounted) ::umount2(path.c_str(), MNT_DETACH);
    }
    std::string path;
    bool mounted = false;
    std::string error;
};

TEST_F(MultitrackJack, AFullDiskEndsTheRecordingAndKeepsWhatWasWritten) {
    ScratchDir dir;
    SmallDisk disk(dir.file("disk"));
    if (!disk.mounted)
        GTEST_SKIP() << "cannot mount a 1 MiB tmpfs here (" << disk.error
                     << "); the unit test RecordingFiles.AFailedWriteEndsTheRecordingAndKeepsWhat"
                        "WasWritten covers the failed write";
    const std::string take = disk.path + "/take";
    auto p = start({"--record", "system", "--dir", take});
    ASSERT_TRUE(p.read_until("\"t\":\"ready\"", 20s)) << p.stderr_text();
    const auto error = p.read_until("\"t\":\"error\"", 20s);
    ASSERT_TRUE(error) << "16 channels fill 1 MiB in well under a second";
    EXPECT_EQ(json::parse(*error)["text"],
              "Writing the recording failed (is the disk full?): No space left on device");
    EXPECT_EQ(p.wait(10s), 1);
    EXPECT_EQ(p.rest_of_output().find("\"done\""), std::string::npos);
    EXPECT_EQ(p.stderr_text(), "");

    const auto frames = recorded_frames(take, 16, false);
    ASSERT_EQ(frames.size(), 16u);
    EXPECT_GT(*std::max_element(frames.begin(), frames.end()), 0u);

    auto play = start({"--play", "system", "--dir", take});
    const auto ready = play.read_until("\"t\":\"ready\"", 20s);
    ASSERT_TRUE(ready) << play.stderr_text();
    EXPECT_EQ(json::parse(*ready)["tracks"], 16);
    play.write_line("stop");
    EXPECT_TRUE(play.read_until("\"t\":\"done\"", 20s));
    EXPECT_EQ(play.wait(10s), 0);
}

TEST_F(MultitrackJack, PlaysSixteenTracksToEightOutputsWithPauseAndResume) {
    ScratchDir dir;
    write_recording(dir.path(), 16, 120000, 48000,
                    [](int k, uint64_t i) { return 0.01f * k * std::sin(0.01f * i); });
    auto p = start({"--play", "system", "--dir", dir.path()});
    const auto ready = p.read_until("\"t\":\"ready\"", 20s);
    ASSERT_TRUE(ready) << p.stderr_text();
    EXPECT_EQ(json::parse(*ready), json::parse(R"({"length":2,"mode":"play","outputs":8,
        "rate":48000,"t":"ready","tracks":16})"));
    const auto warn = p.read_line(5s);
    ASSERT_TRUE(warn);
    EXPECT_EQ(json::parse(*warn), (json{{"t", "warn"},
                                        {"text",
                                         "The output has 8 channels; only the first 8 "
                                         "of 16 tracks play."}}));

    p.write_line("pause");
    // The first paused line may still see a block that started before the pause; from the
    // second on the position stands still.
    std::vector<json> paused;
    while (paused.size() < 3) {
        const auto line = p.read_until("\"t\":\"play\"", 5s);
        ASSERT_TRUE(line);
        const json j = json::parse(*line);
        EXPECT_EQ(j["length"], 2);
        if (j["paused"] == true) paused.push_back(j);
    }
    EXPECT_EQ(paused[1]["secs"], paused[2]["secs"]);
    p.write_line("\"resume\"");
    const auto playing = p.read_until("\"paused\":false", 5s);
    ASSERT_TRUE(playing);
    expect_done_and_clean_exit(p, p.read_until("\"t\":\"done\"", 20s));
}

TEST_F(MultitrackJack, PlaysFromAPositionAndEndsAtOnceBeyondTheEnd) {
    ScratchDir dir;
    write_recording(dir.path(), 2, 14 * 48000, 48000, [](int, uint64_t) { return 0.0f; });
    {
        auto p = start({"--play", "system", "--dir", dir.path(), "--from", "12.5"});
        const auto ready = p.read_until("\"t\":\"ready\"", 20s);
        ASSERT_TRUE(ready) << p.stderr_text();
        EXPECT_EQ(json::parse(*ready)["length"], 14);
        const auto play = p.read_until("\"t\":\"play\"", 5s);
        ASSERT_TRUE(play);
        EXPECT_GE(json::parse(*play)["secs"].get<int>(), 12);
        EXPECT_TRUE(p.read_until("\"t\":\"done\"", 20s)) << "1.5 s remain to be played";
        expect_clean_exit(p);
    }
    {
        auto p = start({"--play", "system", "--dir", dir.path(), "--from", "30"});
        ASSERT_TRUE(p.read_until("\"t\":\"ready\"", 20s)) << p.stderr_text();
        expect_done_and_clean_exit(p, p.read_line(5s));
    }
}

TEST_F(MultitrackJack, StartUpFailuresAreOneErrorLineAndStatus1) {
    ScratchDir dir;
    const std::string slow = dir.file("slow");
    write_recording(slow, 1, 100, 44100, [](int, uint64_t) { return 0.0f; });
    const struct {
        std::vector<std::string> args;
        std::string text;
    } cases[] = {
        {{"--record", "Stage Box", "--dir", dir.path()},
         "Audio input \"Stage Box\" not found. Is the console's USB connected?"},
        {{"--play", "Stage Box", "--dir", slow},
         "Audio output \"Stage Box\" not found. Is the console's USB connected?"},
        {{"--play", "system", "--dir", dir.file("nothing")},
         "No recording found in " + dir.file("nothing")},
        {{"--play", "system", "--dir", slow},
         "The recording is at 44100 Hz but \"system\" runs at 48000 Hz. Set the device to 44100 "
         "Hz (Windows: Sound settings \u2192 the device \u2192 Advanced), then play again."},
    };
    for (const auto& c : cases) {
        auto p = start(c.args);
        const auto error = p.read_until("\"t\":\"error\"", 20s);
        ASSERT_TRUE(error) << c.text;
        EXPECT_EQ(json::parse(*error)["text"], c.text);
        EXPECT_EQ(p.wait(10s), 1);
        EXPECT_EQ(p.rest_of_output(), "");
        EXPECT_EQ(p.stderr_text(), "");
    }
}

// The player's outputs wired into the recorder's inputs: what was played is what was recorded,
// sample for sample, after a constant delay.
TEST_F(MultitrackJack, APlayedRecordingArrivesIntactInANewRecording) {
    ScratchDir dir;
    const std::string source = dir.file("source");
    const std::string copy = dir.file("copy");
    // One second of silence (time to wire the ports), then one second of noise in which no
    // sample is zero, different on each track.
    const auto value = [](int k, uint64_t i) -> float {
        if (i < 48000) return 0.0f;
        uint32_t x = static_cast<uint32_t>(i * 2654435761u + k * 40503u + 12345u);
        x ^= x >> 13;
        x *= 0x5bd1e995u;
        x ^= x >> 15;
        const int32_t v = static_cast<int32_t>(x % 8000000u) - 4000000;
        return static_cast<float>(v == 0 ? 1 : v) / 8388607.0f;
    };
    write_recording(source, 2, 96000, 48000, value);

    auto recorder = start({"--record", "system", "--dir", copy, "--channels", "2"});
    ASSERT_TRUE(recorder.read_until("\"t\":\"ready\"", 20s)) << recorder.stderr_text();
    auto player = start({"--play", "system", "--dir", source});
    player.write_line("pause");  // queued before the player starts: it starts paused
    ASSERT_TRUE(player.read_until("\"t\":\"ready\"", 20s)) << player.stderr_text();
    for (int k = 1; k <= 2; ++k) {
        const std::string in = "mixengine-in:inport " + std::to_string(k - 1);
        jack_tool("jack_disconnect", "system:capture_" + std::to_string(k), in);
        jack_tool("jack_connect", "mixengine-out:outport " + std::to_string(k - 1), in);
    }
    player.write_line("resume");
    EXPECT_TRUE(player.read_until("\"t\":\"done\"", 20s));
    EXPECT_EQ(player.wait(10s), 0);
    recorder.write_line("stop");
    // The recorder itself dropped nothing; whatever is missing below was lost by the server.
    for (;;) {
        const auto line = recorder.read_line(20s);
        ASSERT_TRUE(line) << "no \"done\" line";
        const json j = json::parse(*line);
        if (j["t"] == "rec") {
            EXPECT_EQ(j["dropped"], 0);
        }
        if (j["t"] == "done") break;
    }
    EXPECT_EQ(recorder.wait(10s), 0);
    EXPECT_EQ(player.stderr_text(), "");
    EXPECT_EQ(recorder.stderr_text(), "");

    // No sample of the signal is zero, so every zero inside it is silence the player inserted
    // when its queue ran dry. On a starved machine a non-real-time JACK server may also skip a
    // late client's 256-frame cycle or hand it the previous cycle's buffer again. None of that
    // is a fault of the modes; what must hold is that every recorded sample is the signal's next
    // one (or one whole cycles away), none altered, both tracks alike.
    const auto want = [&](int k, uint64_t i) {
        return static_cast<int32_t>(std::lround(value(k, 48000 + i) * 8388607.0f));
    };
    // Played as v / 2^23, recorded as round(x * (2^23 - 1)): at most one step apart.
    const auto same = [](int32_t a, int32_t b) { return std::abs(a - b) <= 1; };
    std::optional<uint64_t> offset;
    std::optional<uint64_t> skipped_first;
    for (int k = 0; k < 2; ++k) {
        auto r = WavReader::open(copy + "/" + channel_file_name(k));
        ASSERT_TRUE(r) << r.error();
        std::vector<int32_t> got;
        while (r->remaining() > 0)
            got.push_back(static_cast<int32_t>(std::lround(r->next_sample() * 8388608.0f)));
        const auto first = std::find_if(got.begin(), got.end(), [](int32_t v) { return v != 0; });
        ASSERT_NE(first, got.end()) << "track " << k + 1 << " recorded nothing";
        const auto at = static_cast<uint64_t>(first - got.begin());
        if (!offset) offset = at;
        EXPECT_EQ(at, *offset) << "both tracks arrive with the same delay";

        int64_t next = 0;
        uint64_t moved = 0;
        int mismatches = 0;
        const auto matches_at = [&](uint64_t i, int64_t j) {
            return j >= 0 && j + 1 < 48000 && same(got[i], want(k, uint64_t(j))) &&
                   i + 1 < got.size() && same(got[i + 1], want(k, uint64_t(j + 1)));
        };
        // A cycle skipped where the silence ends takes the signal's first samples with it; the
        // player's cycles need not start where the signal does, so the first sample heard may be
        // any of the signal's first few cycles.
        for (int64_t j = 0; j <= 4864; ++j)
            if (matches_at(at, j)) {
                next = j;
                moved = uint64_t(j);
                break;
            }
        for (uint64_t i = at; i < got.size(); ++i) {
            if (got[i] == 0) continue;
            if (next < 48000 && same(got[i], want(k, uint64_t(next)))) {
                ++next;
                continue;
            }
            std::optional<int64_t> jump;
            for (int64_t d = 256; d <= 4864 && !jump; d += 256) {
                if (matches_at(i, next + d))
                    jump = d;
                else if (matches_at(i, next - d))
                    jump = -d;
            }
            if (jump) {
                moved += static_cast<uint64_t>(std::abs(*jump));
                next += *jump + 1;
            } else if (++mismatches <= 5) {
                ADD_FAILURE() << "track " << k + 1 << " recorded sample " << i << ": " << got[i]
                              << " is not the signal's sample " << next;
            }
        }
        EXPECT_EQ(mismatches, 0);
        EXPECT_EQ(next, 48000) << "track " << k + 1 << " ends early";
        EXPECT_LE(moved, 9600u) << "the server lost or repeated more than a fifth of the signal";
        if (!skipped_first) skipped_first = moved;
        EXPECT_EQ(moved, *skipped_first) << "both tracks lose or repeat the same cycles";
        if (moved > 0)
            std::cout << "track " << k + 1 << ": the server skipped or repeated " << moved
                      << " frames\n";
    }
}

}  // namespace
}  // namespace mixengine
