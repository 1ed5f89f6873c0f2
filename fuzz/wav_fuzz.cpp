// WAV files of any content. The input's bytes become a file that WavReader opens, reads to the
// end sample by sample, and reads again after skipping part of it: both passes must agree, every
// sample must lie in [-1, 1) and the count must match what the header promised. The same bytes,
// taken as floats, go through WavWriter and back through WavReader, which must return each as
// the writer stored it.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "multitrack/wav.h"

namespace mixengine {
namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// A scratch folder of this process, in memory where the system offers it (the writer syncs).
// Plain characters, so that the exit handler that removes it never meets a destroyed string.
char g_dir[64];

const char* scratch_dir() {
    if (g_dir[0] == '\0') {
        std::snprintf(g_dir, sizeof g_dir, "%s/mixengine-wav-fuzz-XXXXXX",
                      access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        require(mkdtemp(g_dir) != nullptr);
        std::atexit([] {
            for (const char* name : {"/in.wav", "/out.wav"})
                std::remove((std::string(g_dir) + name).c_str());
            rmdir(g_dir);
        });
    }
    return g_dir;
}

void write_file(const std::string& path, const uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    require(fd >= 0);
    require(::write(fd, data, size) == static_cast<ssize_t>(size));
    ::close(fd);
}

void read_back(const std::string& path) {
    auto reader = WavReader::open(path);
    if (!reader) {
        require(!reader.error().empty());
        return;
    }
    const uint64_t frames = reader->frames();
    require(reader->remaining() == frames);
    std::vector<float> all;
    while (reader->remaining() > 0) {
        const float s = reader->next_sample();
        require(s >= -1.0f && s < 1.0f);
        all.push_back(s);
    }
    require(all.size() == frames);
    require(reader->next_sample() == 0.0f);

    auto again = WavReader::open(path);
    require(again.ok());
    const uint64_t skip = frames / 3 + 1;
    again->skip(skip);
    for (uint64_t k = skip; k < frames; ++k) require(again->next_sample() == all[k]);
    require(again->remaining() == 0);
}

void round_trip(const uint8_t* data, std::size_t size) {
    const std::string path = std::string(scratch_dir()) + "/out.wav";
    auto writer = WavWriter::create(path, 48000);
    require(writer.ok());
    std::vector<float> samples(size / sizeof(float));
    if (!samples.empty()) std::memcpy(samples.data(), data, samples.size() * sizeof(float));
    for (float s : samples) require(writer->write_sample(s).ok());
    require(writer->finish(44100).ok());

    auto reader = WavReader::open(path);
    require(reader.ok());
    require(reader->frames() == samples.size() && reader->sample_rate() == 44100);
    require(reader->bytes_per_sample() == 3);
    for (float s : samples) {
        const float expected = static_cast<float>(wav_sample_to_i24(s)) / 8388608.0f;
        require(reader->next_sample() == expected);
    }
}

}  // namespace
}  // namespace mixengine

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace mixengine;
    const std::string path = std::string(scratch_dir()) + "/in.wav";
    write_file(path, data, size);
    read_back(path);
    round_trip(data, size);
    return 0;
}
