// What a live engineer feels: the console at device buffers of 32, 64, 128 and 256 frames (48 kHz)
// for the typical, worst and everything loads, called directly like the output callback does.
// Every block is timed on its own after a warm-up; the table gives the average real-time factor
// and the 99th and 99.9th percentile and the slowest block as a share of the block's period,
// because what breaks a show is the slowest block, not the average one. Then the time to recall a
// whole scene (every record of the load popped from the update ring and applied, as the callback
// does before a block) alone and together with the 64-frame block that follows it. The row
// "host" is no engine at all: a fixed computation as long as the worst case's 64-frame block,
// which shows how much of the tail is the machine's own; the row "cold" is that block with every
// cache emptied before it, as it runs after a pause of the machine long enough for other work to
// replace the caches.
//
// latency_bench [blocks] [cpu|wall] [load[/frames]]
//   blocks: measured blocks per figure (default 6000, after 500 warm-up blocks; the row "cold" a
//           twentieth of them, at least 100, since each first reads 128 MB)
//   cpu:    time blocks by the thread's CPU clock instead of the wall clock. On a machine shared
//           with other work the wall clock also counts the time the thread was preempted, which
//           swamps the tail; the CPU clock costs a system call per reading.
//   load:   only that load ("typical", "worst", "everything"), at every size or at the one
//           given, and no scene recall: for a profiler.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "engine/mix_engine.h"
#include "engine/spsc_ring.h"
#include "engine_loads.h"

namespace mixengine {
namespace {

constexpr float kFs = 48000.0f;
constexpr std::size_t kOut = 2;
constexpr std::size_t kWarmup = 500;
bool g_cpu_clock = false;

// Microseconds on the chosen clock.
double now_us() {
    if (g_cpu_clock) {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) * 1e6 + double(t.tv_nsec) * 1e-3;
    }
    return std::chrono::duration<double, std::micro>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The q-quantile of sorted values, nearest rank.
double quantile(const std::vector<double>& sorted, double q) {
    const std::size_t i = std::size_t(q * double(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

// Seconds of noise the blocks read in turn, so the signal moves like a real one.
struct Feed {
    explicit Feed(std::size_t channels)
        : channels(channels), samples(bench::noise(48000 * channels)) {}
    std::span<const float> next(std::size_t frames) {
        if ((at + frames) * channels > samples.size()) at = 0;
        std::span<const float> s(samples.data() + at * channels, frames * channels);
        at += frames;
        return s;
    }
    std::size_t channels;
    std::vector<float> samples;
    std::size_t at = 0;
};

// Times `block()` after a warm-up, `blocks` times, each after an untimed `before()`, and prints
// the row `name` of the table for a period of `frames`; gives the mean time in microseconds.
template <class Block, class Before>
double timed_row(const char* name, std::size_t frames, std::size_t blocks, Block block,
                 Before before) {
    std::vector<double> us;
    us.reserve(blocks);
    for (std::size_t b = 0; b < kWarmup + blocks; ++b) {
        if (b >= kWarmup) before();
        const double t0 = now_us();
        block();
        const double t1 = now_us();
        if (b >= kWarmup) us.push_back(t1 - t0);
    }
    double total = 0.0;
    for (double t : us) total += t;
    std::sort(us.begin(), us.end());
    const double period = double(frames) / double(kFs) * 1e6;
    const double rt = double(blocks) * period / total;
    std::printf("%-10s %6zu %9.0f %8.1fx %8.2f%% %8.2f%% %8.2f%% %8.2f%%\n", name, frames, period,
                rt, 100.0 * total / double(blocks) / period, 100.0 * quantile(us, 0.99) / period,
                100.0 * quantile(us, 0.999) / period, 100.0 * us.back() / period);
    return total / double(blocks);
}

template <class Block>
double timed_row(const char* name, std::size_t frames, std::size_t blocks, Block block) {
    return timed_row(name, frames, blocks, block, [] {});
}

// Blocks of a load; `cold`: each after reading more memory than any cache holds, as another
// program would while the core was lent to it, so that the block fetches all it needs anew.
double block_times(const bench::Load& load, std::size_t frames, std::size_t blocks,
                   bool cold = false) {
    MixEngine engine(kFs);
    Meters meters(kOut);
    bench::configure(engine, load);
    Feed feed(load.channels);
    std::vector<float> out(frames * kOut);
    auto block = [&] { engine.process(feed.next(frames), load.channels, out, kOut, meters, {}); };
    if (!cold) return timed_row(load.name, frames, blocks, block);
    // More than the last-level cache a core shares with its neighbours; under a hypervisor the
    // size the system reports can be the whole host's, which would take minutes to read.
    std::vector<char> other(std::size_t(128) << 20, 1);
    volatile char sink = 0;
    return timed_row("cold", frames, blocks, block, [&] {
        char sum = 0;
        for (std::size_t i = 0; i < other.size(); i += 64) sum = char(sum + other[i]);
        sink = sum;
    });
}

// The machine's own tail: a fixed chain of arithmetic as long on average as a block, timed the
// same way. What it shows beyond its mean (interrupts, a host that takes the core away for a
// while) no engine can avoid on this machine.
void host_times(double block_us, std::size_t frames, std::size_t blocks) {
    volatile double seed = 1.0;
    auto spin = [&](std::size_t steps) {
        double y = seed;
        for (std::size_t i = 0; i < steps; ++i) y = y * 1.0000001 + 1e-9;
        seed = y;
    };
    constexpr std::size_t kProbe = 200000;
    double fastest = 1e30;
    for (int k = 0; k < 5; ++k) {
        const double t0 = now_us();
        spin(kProbe);
        fastest = std::min(fastest, now_us() - t0);
    }
    const std::size_t steps = std::size_t(double(kProbe) * block_us / fastest);
    timed_row("host", frames, blocks, [&] { spin(steps); });
}

void scene_recall(const bench::Load& load, std::size_t repeats) {
    constexpr std::size_t kFrames = 64;
    MixEngine engine(kFs);
    Meters meters(kOut);
    bench::configure(engine, load);
    Feed feed(load.channels);
    std::vector<float> out(kFrames * kOut);
    auto [producer, consumer] = make_spsc_ring<EngineUpdate>(kUpdateRingCapacity);
    std::vector<double> apply_us, with_block_us;
    std::size_t records = 0;
    for (std::size_t r = 0; r < repeats; ++r) {
        std::vector<EngineUpdate> scene = load.records();
        records = scene.size();
        for (EngineUpdate& u : scene) producer.push(std::move(u));
        for (int b = 0; b < 4; ++b)  // the scene arrives while audio flows
            engine.process(feed.next(kFrames), load.channels, out, kOut, meters, {});
        const double t0 = now_us();
        EngineUpdate u;
        while (consumer.pop(u)) engine.apply_update(std::move(u));
        const double t1 = now_us();
        engine.process(feed.next(kFrames), load.channels, out, kOut, meters, {});
        const double t2 = now_us();
        apply_us.push_back(t1 - t0);
        with_block_us.push_back(t2 - t0);
    }
    std::sort(apply_us.begin(), apply_us.end());
    std::sort(with_block_us.begin(), with_block_us.end());
    const double period = double(kFrames) / double(kFs) * 1e6;
    std::printf("%-10s %7zu %9.0f %9.0f %9.0f %9.0f %9.0f\n", load.name, records,
                quantile(apply_us, 0.5), apply_us.back(), quantile(with_block_us, 0.5),
                with_block_us.back(), period);
}

}  // namespace
}  // namespace mixengine

int main(int argc, char** argv) {
    using namespace mixengine;
    const std::size_t blocks = argc > 1 ? std::size_t(std::strtoul(argv[1], nullptr, 10)) : 6000;
    if (blocks == 0) return 2;
    g_cpu_clock = argc > 2 && std::strcmp(argv[2], "cpu") == 0;
    const bench::Load* loads[] = {&bench::kTypical, &bench::kWorst, &bench::kEverything};
    std::printf("block times on the %s clock, as a share of the period\n",
                g_cpu_clock ? "thread's CPU" : "wall");
    std::printf("%-10s %6s %9s %9s %9s %9s %9s %9s\n", "load", "frames", "period_us", "rt_factor",
                "mean", "p99", "p99.9", "max");
    const std::string only = argc > 3 ? argv[3] : "";
    const std::string only_load = only.substr(0, only.find('/'));
    const std::size_t only_frames =
        only.find('/') == std::string::npos
            ? 0
            : std::strtoul(only.c_str() + only.find('/') + 1, nullptr, 10);
    double worst_64_us = 0.0;
    for (const bench::Load* load : loads)
        for (std::size_t frames : {32, 64, 128, 256})
            if ((only.empty() || only_load == load->name) &&
                (!only_frames || only_frames == frames)) {
                const double us = block_times(*load, frames, blocks);
                if (load == &bench::kWorst && frames == 64) worst_64_us = us;
            }
    if (!only.empty()) return 0;
    host_times(worst_64_us, 64, blocks);
    block_times(bench::kWorst, 64, std::max<std::size_t>(blocks / 20, 100), true);
    std::printf("\nscene recall before one 64-frame block, %zu times (us)\n", blocks / 30);
    std::printf("%-10s %7s %9s %9s %9s %9s %9s\n", "load", "records", "apply_med", "apply_max",
                "+block_med", "+block_max", "period");
    for (const bench::Load* load : loads)
        scene_recall(*load, std::max<std::size_t>(blocks / 30, 20));
    return 0;
}
