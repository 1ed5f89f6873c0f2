#include "multitrack/wav.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <random>

#include "wav_fixture.h"

namespace mixengine {
namespace {

using namespace testing;

Result<WavReader> open_ok(const std::string& path) {
    auto r = WavReader::open(path);
    EXPECT_TRUE(r) << r.error();
    return r;
}

std::string open_error(const std::string& path) {
    const auto r = WavReader::open(path);
    EXPECT_FALSE(r);
    return r ? std::string() : r.error();
}

// The stored 24-bit value by definition: clamp the f32 to [-1, 1], scale by 8388607 in single
// precision, round half away from zero.
int32_t stored_value(float x) {
    const float c = x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x);
    return static_cast<int32_t>(std::round(c * 8388607.0f));
}

int32_t i24_in(const Bytes& b, std::size_t at) {
    const uint32_t raw = uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16;
    return raw & 0x800000u ? static_cast<int32_t>(raw) - 0x1000000 : static_cast<int32_t>(raw);
}

TEST(WavWriter, StoresClampedRoundedSamplesAndReadsThemBackExactly) {
    ScratchDir dir;
    const std::string path = dir.file("ch01.wav");
    const std::vector<float> values = {0.0f,  0.5f,  -0.5f, 1.5f,   -1.5f,  1.0f,
                                       -1.0f, 0.25f, 1e-7f, -3e-7f, 0.123f, -0.999f};
    auto w = WavWriter::create(path, 44100);
    ASSERT_TRUE(w) << w.error();
    for (float v : values) ASSERT_TRUE(w->write_sample(v));
    ASSERT_TRUE(w->finish(44100));

    const Bytes b = read_bytes(path);
    ASSERT_EQ(b.size(), kWavHeaderBytes + 3 * values.size());
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(read_u32(b, 4), 36 + 3 * values.size());
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(read_u32(b, 16), 16u);
    EXPECT_EQ(read_u32(b, 20), 1u | 1u << 16);  // PCM, mono
    EXPECT_EQ(read_u32(b, 24), 44100u);
    EXPECT_EQ(read_u32(b, 28), 44100u * 3);
    EXPECT_EQ(read_u32(b, 32), 3u | 24u << 16);  // block align, bits
    EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
    EXPECT_EQ(read_u32(b, 40), 3 * values.size());

    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(i24_in(b, kWavHeaderBytes + 3 * i), stored_value(values[i])) << values[i];

    auto r = open_ok(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->frames(), values.size());
    EXPECT_EQ(r->sample_rate(), 44100u);
    EXPECT_EQ(r->bytes_per_sample(), 3u);
    for (float v : values)
        EXPECT_EQ(r->next_sample(), static_cast<float>(stored_value(v)) / 8388608.0f) << v;
    EXPECT_EQ(r->remaining(), 0u);
    EXPECT_EQ(r->next_sample(), 0.0f);
}

TEST(WavWriter, ConvertsTheDocumentedValues) {
    const struct {
        float in;
        int32_t stored;
    } cases[] = {{1.5f, 8388607},
                 {-1.5f, -8388607},
                 {0.5f, 4194304},
                 {-0.5f, -4194304},
                 {1.0f, 8388607},
                 {0.0f, 0},
                 {std::numeric_limits<float>::infinity(), 8388607},
                 {-std::numeric_limits<float>::infinity(), -8388607},
                 {std::numeric_limits<float>::quiet_NaN(), 0},
                 {-std::numeric_limits<float>::quiet_NaN(), 0}};
    for (const auto& c : cases) EXPECT_EQ(wav_sample_to_i24(c.in), c.stored) << c.in;

    ScratchDir dir;
    Bytes b = riff_head();
    append_fmt(b, 1, 48000, 24);
    append_data_header(b, 3);
    append_i24(b, 8388607);
    write_bytes(dir.file("a.wav"), b);
    auto r = open_ok(dir.file("a.wav"));
    ASSERT_TRUE(r);
    EXPECT_FLOAT_EQ(r->next_sample(), 0.99999988f);
}

TEST(WavWriter, HeaderSizesSaturate) {
    const struct {
        uint64_t samples;
        uint32_t data, riff;
    } cases[] = {
        {0, 0, 36},
        {10, 30, 66},
        {1431655753, 4294967259u, 4294967295u},
        {1431655754, 4294967262u, 0xFFFFFFFFu},
        {1431655765, 4294967295u, 0xFFFFFFFFu},
        {1431655766, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {uint64_t(1) << 40, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {std::numeric_limits<uint64_t>::max(), 0xFFFFFFFFu, 0xFFFFFFFFu},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wav_data_size(c.samples), c.data) << c.samples;
        EXPECT_EQ(wav_riff_size(c.samples), c.riff) << c.samples;
    }
}

TEST(WavWriter, EmptyAndUnfinishedRecordings) {
    ScratchDir dir;
    {
        auto w = WavWriter::create(dir.file("empty.wav"), 48000);
        ASSERT_TRUE(w) << w.error();
        ASSERT_TRUE(w->finish(48000));
        EXPECT_FALSE(w->write_sample(0.1f)) << "a finished writer accepts nothing";
        EXPECT_FALSE(w->finish(48000));
    }
    const Bytes empty = read_bytes(dir.file("empty.wav"));
    ASSERT_EQ(empty.size(), kWavHeaderBytes);
    EXPECT_EQ(read_u32(empty, 4), 36u);
    EXPECT_EQ(read_u32(empty, 40), 0u);
    auto r0 = open_ok(dir.file("empty.wav"));
    ASSERT_TRUE(r0);
    EXPECT_EQ(r0->frames(), 0u);

    {  // never finished: the header keeps its placeholders, the samples still reach the file
        auto w = WavWriter::create(dir.file("cut.wav"), 48000);
        ASSERT_TRUE(w) << w.error();
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(w->write_sample(0.25f));
    }
    const Bytes cut = read_bytes(dir.file("cut.wav"));
    EXPECT_EQ(read_u32(cut, 40), 0u);
    auto r = open_ok(dir.file("cut.wav"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->frames(), 10u);
    EXPECT_EQ(r->next_sample(), static_cast<float>(stored_value(0.25f)) / 8388608.0f);
}

TEST(WavWriter, ReportsSystemErrors) {
    ScratchDir dir;
    const auto missing = WavWriter::create(dir.file("missing/ch01.wav"), 48000);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "No such file or directory");
    if (std::filesystem::exists("/dev/full")) {
        // The header is written at once, so a full disk shows at creation, not at the end.
        const auto full = WavWriter::create("/dev/full", 48000);
        ASSERT_FALSE(full);
        EXPECT_EQ(full.error(), "No space left on device");
    }
}

TEST(WavWriter, LongRecordingsCrossTheBufferBoundaryIntact) {
    ScratchDir dir;
    const std::string path = dir.file("long.wav");
    constexpr int kSamples = 100000;  // about 4.6 write buffers
    auto w = WavWriter::create(path, 48000);
    ASSERT_TRUE(w) << w.error();
    for (int i = 0; i < kSamples; ++i)
        ASSERT_TRUE(w->write_sample(static_cast<float>((i % 2001) - 1000) / 1000.0f));
    ASSERT_TRUE(w->finish(48000));
    auto r = open_ok(path);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->frames(), uint64_t(kSamples));
    for (int i = 0; i < kSamples; ++i) {
        const float v = static_cast<float>((i % 2001) - 1000) / 1000.0f;
        ASSERT_EQ(r->next_sample(), static_cast<float>(stored_value(v)) / 8388608.0f) << i;
    }
}

TEST(WavReader, Reads16BitSamples) {
    ScratchDir dir;
    write_bytes(dir.file("a.wav"), wav16(22050, {-32768, -1, 0, 1, 16384, 32767}));
    auto r = open_ok(dir.file("a.wav"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->frames(), 6u);
    EXPECT_EQ(r->sample_rate(), 22050u);
    EXPECT_EQ(r->bytes_per_sample(), 2u);
    for (int v : {-32768, -1, 0, 1, 16384, 32767})
        EXPECT_EQ(r->next_sample(), static_cast<float>(v) / 32768.0f);
    EXPECT_EQ(r->next_sample(), 0.0f);
}

TEST(WavReader, RejectsWhatItCannotPlay) {
    ScratchDir dir;
    auto with = [&](const std::string& name, Bytes b) {
        write_bytes(dir.file(name), b);
        return dir.file(name);
    };
    Bytes header_only = riff_head();
    Bytes float32 = riff_head();
    append_fmt(float32, 1, 48000, 32);
    append_data_header(float32, 0);
    Bytes bits20 = riff_head();
    append_fmt(bits20, 1, 48000, 20);
    append_data_header(bits20, 0);
    Bytes stereo = riff_head();
    append_fmt(stereo, 2, 48000, 16);
    append_data_header(stereo, 0);
    Bytes data_first = riff_head();
    append_data_header(data_first, 2);
    append_i16(data_first, 5);
    append_fmt(data_first, 1, 48000, 16);
    Bytes short_fmt = riff_head();
    append_fmt(short_fmt, 1, 48000, 16, 14);
    append_data_header(short_fmt, 0);
    Bytes not_wave = riff_head();
    not_wave[8] = 'A';
    Bytes tiny = {'R', 'I', 'F', 'F'};
    Bytes cut_fmt = riff_head();
    append_fmt(cut_fmt, 1, 48000, 16, 40);
    cut_fmt.resize(cut_fmt.size() - 10);

    const std::string only_mono = ": only mono 16- or 24-bit WAV files can be played";
    const struct {
        std::string path, expected;
    } cases[] = {
        {with("h.wav", header_only), dir.file("h.wav") + " has no audio data"},
        {with("f32.wav", float32), dir.file("f32.wav") + only_mono},
        {with("b20.wav", bits20), dir.file("b20.wav") + only_mono},
        {with("st.wav", stereo), dir.file("st.wav") + only_mono},
        {with("df.wav", data_first), dir.file("df.wav") + only_mono},
        {with("sf.wav", short_fmt),
         dir.file("sf.wav") + " has a format chunk too short to describe its audio"},
        {with("nw.wav", not_wave), dir.file("nw.wav") + " is not a WAV file"},
        {with("tiny.wav", tiny), dir.file("tiny.wav") + " is not a WAV file"},
        {with("cf.wav", cut_fmt), dir.file("cf.wav") + ": the format chunk is cut short"},
        {dir.file("absent.wav"), dir.file("absent.wav") + ": No such file or directory"},
        {dir.path(), "Is a directory"},
    };
    for (const auto& c : cases) EXPECT_EQ(open_error(c.path), c.expected);
}

TEST(WavReader, RefusesAFifoWithoutWaitingForAWriter) {
    ScratchDir dir;
    const std::string path = dir.file("ch01.wav");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(open_error(path), path + " is not a WAV file");
}

TEST(WavReader, WalksChunksWithPaddingAndLaterFormatChunks) {
    ScratchDir dir;
    Bytes b = riff_head();
    append_id(b, "LIST");
    append_u32(b, 25);
    for (int i = 0; i < 25; ++i) b.push_back('x');
    b.push_back(0);                   // padding of the odd-sized chunk
    append_fmt(b, 2, 8000, 16);       // overridden by the next one
    append_fmt(b, 1, 32000, 16, 18);  // a longer format chunk: the extra bytes are skipped
    append_id(b, "junk");
    append_u32(b, 3);
    b.insert(b.end(), {1, 2, 3, 0});
    append_data_header(b, 4);
    append_i16(b, 1000);
    append_i16(b, -1000);
    write_bytes(dir.file("a.wav"), b);

    auto r = open_ok(dir.file("a.wav"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sample_rate(), 32000u);
    EXPECT_EQ(r->frames(), 2u);
    EXPECT_EQ(r->next_sample(), 1000.0f / 32768.0f);
    EXPECT_EQ(r->next_sample(), -1000.0f / 32768.0f);
}

TEST(WavReader, DataSizeZeroMeansTheRestOfTheFileFromTheFirstSample) {
    ScratchDir dir;
    const struct {
        const char* name;
        uint32_t extra_chunk;  // bytes of a chunk before "data" (0: the plain 44-byte header)
    } cases[] = {{"plain.wav", 0}, {"extra.wav", 40}};
    for (const auto& c : cases) {
        Bytes b = riff_head();
        append_fmt(b, 1, 48000, 24);
        if (c.extra_chunk) {
            append_id(b, "LIST");
            append_u32(b, c.extra_chunk);
            b.resize(b.size() + c.extra_chunk, 0);
        }
        append_data_header(b, 0);
        for (int i = 1; i <= 10; ++i) append_i24(b, i * 1000);
        write_bytes(dir.file(c.name), b);

        auto r = open_ok(dir.file(c.name));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->frames(), 10u) << c.name;
        for (int i = 1; i <= 10; ++i)
            EXPECT_EQ(r->next_sample(), static_cast<float>(i * 1000) / 8388608.0f) << c.name;
        EXPECT_EQ(r->next_sample(), 0.0f);
    }
}

TEST(WavReader, DataSizeBeyondTheFileCountsOnlyTheSamplesPresent) {
    ScratchDir dir;
    Bytes b = riff_head();
    append_fmt(b, 1, 48000, 16);
    append_data_header(b, 0xFFFFFFFFu);  // claims two billion samples, holds 3 and a half
    for (int v : {100, 200, 300}) append_i16(b, static_cast<int16_t>(v));
    b.push_back(7);
    write_bytes(dir.file("a.wav"), b);
    auto r = open_ok(dir.file("a.wav"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->frames(), 3u);
    for (int v : {100, 200, 300}) EXPECT_EQ(r->next_sample(), static_cast<float>(v) / 32768.0f);
    EXPECT_EQ(r->next_sample(), 0.0f);
    EXPECT_EQ(r->remaining(), 0u);
}

TEST(WavReader, ReadFailureSilencesTheRest) {
    ScratchDir dir;
    std::vector<int16_t> samples(50000, 1234);
    write_bytes(dir.file("a.wav"), wav16(48000, samples));
    auto r = open_ok(dir.file("a.wav"));
    ASSERT_TRUE(r);
    std::filesystem::resize_file(dir.file("a.wav"), 1000);  // cut while playing
    uint64_t heard = 0;
    while (r->remaining() > 0) heard += r->next_sample() != 0.0f;
    EXPECT_LT(heard, samples.size()) << "the samples past the cut are silence";
    EXPECT_EQ(r->next_sample(), 0.0f);
}

TEST(WavReader, SkipsForwardWithinAndBeyondTheBuffer) {
    ScratchDir dir;
    std::vector<int16_t> samples(60000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i % 30011);
    write_bytes(dir.file("a.wav"), wav16(48000, samples));
    auto value = [&](std::size_t i) { return static_cast<float>(samples[i]) / 32768.0f; };

    auto r = open_ok(dir.file("a.wav"));
    ASSERT_TRUE(r);
    std::size_t at = 0;
    // 10 stays in the first buffer; 40000 samples (80000 bytes) leave it.
    for (uint64_t step : {uint64_t(10), uint64_t(0), uint64_t(1000), uint64_t(40000)}) {
        r->skip(step);
        at += step;
        EXPECT_EQ(r->remaining(), samples.size() - at);
        EXPECT_EQ(r->next_sample(), value(at)) << "after skipping to " << at;
        ++at;
    }
    r->skip(std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(r->remaining(), 0u);
    EXPECT_EQ(r->next_sample(), 0.0f);
}

// Damaged headers must end in an error or in a reader that runs out within the file's bytes:
// never a crash, a hang or an allocation sized by a header field.
TEST(WavReader, SurvivesDamagedHeaders) {
    ScratchDir dir;
    Bytes good = riff_head();
    append_id(good, "LIST");
    append_u32(good, 5);
    good.insert(good.end(), {1, 2, 3, 4, 5, 0});
    append_fmt(good, 1, 48000, 24);
    append_data_header(good, 30);
    for (int i = 0; i < 10; ++i) append_i24(good, i * 77777);

    std::mt19937 rng(20261209);
    const uint32_t huge[] = {0xFFFFFFFFu, 0xFFFFFFFEu, 0x80000000u, 0x7FFFFFFFu, 0, 1, 15, 17};
    const std::string path = dir.file("d.wav");
    for (int iter = 0; iter < 600; ++iter) {
        Bytes b = good;
        switch (iter % 4) {
            case 0:
                b.resize(rng() % (b.size() + 1));
                break;
            case 1:
                for (int k = 0; k < 4; ++k) b[rng() % b.size()] = static_cast<unsigned char>(rng());
                break;
            case 2: {  // a size field of some chunk (LIST, fmt, data) or the rate made extreme
                const std::size_t fields[] = {16, 34, 48, 64};
                const std::size_t at = fields[rng() % 4];
                const uint32_t v = huge[rng() % std::size(huge)];
                for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
                break;
            }
            default:
                b.resize(rng() % 200);
                for (auto& x : b) x = static_cast<unsigned char>(rng());
                if (b.size() >= 12 && rng() % 2) {
                    std::copy_n("RIFF", 4, b.begin());
                    std::copy_n("WAVE", 4, b.begin() + 8);
                }
        }
        write_bytes(path, b);
        auto r = WavReader::open(path);
        if (!r) {
            EXPECT_FALSE(r.error().empty());
            continue;
        }
        EXPECT_LE(r->frames(), b.size() / r->bytes_per_sample()) << "iteration " << iter;
        const uint64_t limit = b.size() / r->bytes_per_sample() + 1;
        uint64_t reads = 0;
        while (r->remaining() > 0 && reads <= limit) {
            r->next_sample();
            ++reads;
        }
        EXPECT_LE(reads, limit) << "iteration " << iter;
        r->skip(std::numeric_limits<uint64_t>::max());
        EXPECT_EQ(r->next_sample(), 0.0f);
    }
}

}  // namespace
}  // namespace mixengine
