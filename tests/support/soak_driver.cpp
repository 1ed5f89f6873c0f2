// Soak run of the simulation: `soak_driver ENGINE SECONDS` starts ENGINE with 32 inputs on a
// generated recording of 32 tracks, then for SECONDS sends a storm of about 200 commands a second,
// valid and invalid alike: every command type, extreme numbers, broken unicode escapes, lines over
// the 1 MiB bound, huge but admissible lists and deep nesting. Meanwhile it times the "m" lines and
// samples the engine's resident memory. At the end it sends "quit" and requires status 0, meter
// lines throughout (median gap near 40 ms, no gap of a second), resident memory flat after the
// warm-up, and nothing on standard error. Prints the figures; exits with 1 on any failure.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "multitrack/wav.h"
#include "support/child_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The recording loops every few seconds, so that reopening at the loop point is soaked too.
constexpr int kTracks = 32;
constexpr double kTrackSeconds = 3.0;

bool write_recording(const std::string& dir) {
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    for (int t = 0; t < kTracks; ++t) {
        char name[16];
        std::snprintf(name, sizeof name, "/ch%02d.wav", t + 1);
        auto w = mixengine::WavWriter::create(dir + name, 48000);
        if (!w) return false;
        const int frames = static_cast<int>(kTrackSeconds * 48000);
        const double hz = 55.0 * (t + 1);
        for (int i = 0; i < frames; ++i) {
            const double tone = 0.3 * std::sin(2.0 * M_PI * hz * i / 48000.0);
            if (!w->write_sample(static_cast<float>(tone) + noise(rng))) return false;
        }
        if (!w->finish(48000)) return false;
    }
    return true;
}

// Resident memory of `pid` in KiB, or -1.
long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = -1;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

class Storm {
  public:
    explicit Storm(uint32_t seed) : rng_(seed) {}

    std::string next() {
        ++count_;
        // Now and then a monster line; otherwise a command of a random kind.
        if (count_ % 1000 == 0) return std::string((std::size_t{1} << 20) + 10, ' ') + "{}";
        if (count_ % 1000 == 500) return huge_eq();
        if (count_ % 250 == 125) return std::string(50000, '[') + std::string(50000, ']');
        switch (pick(16)) {
            case 0:
                return R"({"t":"strip","i":)" + index() + R"(,"s":)" + strip_cfg() + "}";
            case 1:
                return R"({"t":"bus","i":)" + index() + R"(,"s":)" + strip_cfg() + "}";
            case 2:
                return R"({"t":"main","s":)" + strip_cfg() + "}";
            case 3:
                return R"({"t":"mono","s":)" + strip_cfg() + "}";
            case 4:
                return R"({"t":"patch","ins":[)" + number() + "," + number() + R"(],"outs":[")" +
                       designator() + R"(",")" + designator() + R"("]})";
            case 5:
                return R"({"t":"rta","src":")" + designator() + R"("})";
            case 6:
                return R"({"t":"loud","src":")" + designator() + R"("})";
            case 7:
                return R"({"t":"loud.reset"})";
            case 8:
                // Ports that nothing listens on: datagrams go nowhere, as a front end that
                // stopped listening would see.
                return R"({"t":"listen","src":")" + designator() + R"(","port":)" + number() +
                       R"(,"bits":)" + number() + "}";
            case 9:
                return R"({"t":"fba","target":")" + designator() +
                       R"(","cfg":{"on":true,)"
                       R"("sensitivity":)" +
                       number() + R"(,"max_notches":)" + number() + "}}";
            case 10:
                return R"({"t":"fba.)" + std::string(pick(2) ? "cut" : "howl") + R"(","target":")" +
                       designator() + R"(","f":)" + number() + "}";
            case 11:
                return R"({"t":"fba.reset","target":")" + designator() + R"("})";
            case 12:
                return R"({"t":"files.seek","s":)" + number() + "}";
            case 13:
                return R"({"t":"files.pause","on":)" + std::string(pick(3) ? "false" : "true") +
                       "}";
            case 14:
                return junk();
            default:
                return R"({"t":"strip","i":0,"s":{"name":"\ud800\udfff\ude00","gain_db":)" +
                       number() + "}}";
        }
    }

  private:
    std::size_t pick(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }

    std::string number() {
        static const char* const extremes[] = {"0",
                                               "-0",
                                               "1e308",
                                               "-1e308",
                                               "1e-320",
                                               "1e400",
                                               "-1e400",
                                               "3.4028235e38",
                                               "18446744073709551615",
                                               "-9223372036854775808",
                                               "4294967296",
                                               "65535",
                                               "24",
                                               "NaN",
                                               "null",
                                               "\"12\"",
                                               "[]",
                                               "{}",
                                               "true",
                                               "0.5",
                                               "-3",
                                               "20000",
                                               "96000"};
        if (pick(3) == 0) return extremes[pick(std::size(extremes))];
        return std::to_string(std::uniform_real_distribution<double>(-200.0, 20000.0)(rng_));
    }
    std::string index() { return pick(4) == 0 ? number() : std::to_string(pick(40)); }
    std::string designator() {
        static const char* const names[] = {
            "main",  "mono",     "bus.1", "bus.8",  "bus.9",  "bus.+3", "in.1", "in.32.post",
            "in.33", "in.5.pre", "off",   "main.l", "main.r", "",       "in..", "bus.-1"};
        return names[pick(std::size(names))];
    }
    std::string band() {
        return R"({"type":"peak","f":)" + number() + R"(,"g":)" + number() + R"(,"q":)" + number() +
               "}";
    }
    std::string strip_cfg() {
        const std::size_t shape = pick(4);
        if (shape == 0) return "{}";
        // Appended piece by piece: a chain of + trips a false -Wrestrict in GCC 12.
        std::string s = shape == 1 ? "[" : R"({"gain_db":)";
        if (shape == 1) {
            s += number();
            s += ",true]";
            return s;
        }
        for (const char* key :
             {R"(,"delay_ms":)", R"(,"hpf":{"f":)", R"(},"gate":{"thr":)", R"(},"dyn":{"thr":)",
              R"(,"ratio":)", R"(},"fader":)", R"(,"pan":)", R"(,"sends":[{"value":)",
              R"(}],"geq":[0,)", R"(],"bleed":{"on":true,"ref":)"}) {
            s += number();
            s += key;
        }
        s += number();
        s += R"(},"eq":[)";
        s += band();
        s += ",";
        s += band();
        s += R"(],"aeq":{"on":true},"amix":{"on":true}})";
        return s;
    }
    // Under the 1 MiB bound but far beyond any real command.
    std::string huge_eq() {
        std::string line = R"({"t":"strip","i":2,"s":{"eq":[)";
        while (line.size() < 900000) line += band() + ",";
        line += band() + "]}}";
        return line;
    }
    std::string junk() {
        static const char* const lines[] = {"",
                                            "   ",
                                            "not json",
                                            "{",
                                            "}",
                                            "[1,2]",
                                            R"({"t":"strip"}{"t":"quit"})",
                                            R"({"t":"Quit"})",
                                            R"({"t":null})",
                                            R"({"t":"strip",})",
                                            "\"quit\"",
                                            R"({"t":"strip","s":{"gain_db":-3})",
                                            R"({"t":"strip","i":1} x)"};
        return lines[pick(std::size(lines))];
    }

    std::mt19937 rng_;
    uint64_t count_ = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const auto k = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
    return v[std::min(k, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: soak_driver ENGINE SECONDS\n");
        return 2;
    }
    const std::string engine = argv[1];
    const auto seconds = std::chrono::seconds(std::max(1L, std::atol(argv[2])));

    const std::string dir =
        (std::filesystem::temp_directory_path() / ("mixengine-soak-" + std::to_string(::getpid())))
            .string();
    std::filesystem::create_directories(dir);
    struct Cleanup {
        std::string dir;
        ~Cleanup() {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } cleanup{dir};
    if (!write_recording(dir)) {
        std::printf("soak: cannot write the recording in %s\n", dir.c_str());
        return 1;
    }

    mixengine::testing::ChildProcess child(engine, {"--sim", "--inputs", "32", "--files", dir});
    if (!child.started()) {
        std::printf("soak: cannot start %s\n", engine.c_str());
        return 1;
    }
    if (!child.read_until("\"ready\"", 30s)) {
        std::printf("soak: no ready line\n");
        return 1;
    }

    // The storm, paced by absolute deadlines at 200 lines a second.
    std::atomic<bool> storm_done{false};
    std::atomic<uint64_t> sent{0};
    const auto start = Clock::now();
    std::thread sender([&] {
        Storm storm(12345);
        auto due = start;
        while (Clock::now() - start < seconds) {
            child.write_line(storm.next());
            ++sent;
            due += 5ms;
            std::this_thread::sleep_until(due);
        }
        storm_done = true;
    });

    // Meter lines and memory, until the storm is over.
    std::vector<double> gaps_ms;
    std::vector<std::pair<double, long>> rss;  // (seconds since start, KiB)
    auto last_m = Clock::now();
    auto next_sample = start;
    bool output_ended = false;
    while (!storm_done) {
        const auto line = child.read_line(100ms);
        const auto now = Clock::now();
        if (line && line->starts_with("{") && line->find("\"t\":\"m\"") != std::string::npos) {
            gaps_ms.push_back(std::chrono::duration<double, std::milli>(now - last_m).count());
            last_m = now;
        }
        if (!line && Clock::now() - last_m > 5s) {
            output_ended = true;  // no line for 5 s: the engine has died or hangs
            break;
        }
        if (now >= next_sample) {
            rss.emplace_back(std::chrono::duration<double>(now - start).count(),
                             resident_kib(child.pid()));
            next_sample += 1s;
        }
    }
    sender.join();

    child.write_line(R"({"t":"quit"})");
    const int status = child.wait(10s);
    const std::string err = child.stderr_text();

    // Memory: the warm-up is the first minute, or the first half of a shorter run.
    const double warm_up = std::min(60.0, std::chrono::duration<double>(seconds).count() / 2.0);
    long at_warm_up = -1, peak_after = -1;
    for (const auto& [t, kib] : rss) {
        if (t <= warm_up)
            at_warm_up = kib;
        else
            peak_after = std::max(peak_after, kib);
    }
    const double median = percentile(gaps_ms, 0.5);
    const double p99 = percentile(gaps_ms, 0.99);
    const double max_gap =
        gaps_ms.empty() ? 0.0 : *std::max_element(gaps_ms.begin(), gaps_ms.end());

    std::printf("soak: %lld s, %llu commands sent, %zu meter lines\n",
                static_cast<long long>(seconds.count()),
                static_cast<unsigned long long>(sent.load()), gaps_ms.size());
    std::printf("soak: meter gaps median %.1f ms, 99th percentile %.1f ms, maximum %.1f ms\n",
                median, p99, max_gap);
    std::printf("soak: resident memory %ld KiB after %.0f s, at most %ld KiB later\n", at_warm_up,
                warm_up, peak_after);
    std::printf("soak: exit status %d, %zu bytes on standard error\n", status, err.size());

    bool ok = true;
    auto fail = [&](const char* what) {
        std::printf("soak FAILED: %s\n", what);
        ok = false;
    };
    if (output_ended) fail("the output stopped");
    if (gaps_ms.size() < 10) fail("too few meter lines");
    if (median < 30.0 || median > 60.0) fail("meter lines do not come every 40 ms");
    if (max_gap > 1000.0) fail("a meter gap of more than a second");
    // Flat: within 16 MiB of the level after the warm-up (allocator arenas settle in steps).
    if (at_warm_up > 0 && peak_after > at_warm_up + 16 * 1024) fail("resident memory grows");
    if (!err.empty()) fail("text on standard error");
    if (status != 0) fail("quit did not end the engine with status 0");
    if (!ok && !err.empty()) std::printf("standard error: %.2000s\n", err.c_str());
    return ok ? 0 : 1;
}
