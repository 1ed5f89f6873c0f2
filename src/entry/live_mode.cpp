// Live mode: the console between an input and an output device. The start-up resolves both
// devices, creates every queue and shared object, starts the worker threads, opens the two streams
// (the output one owns the engine), announces itself and then only watches the stop flag.
#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>

#include "audio/device_lookup.h"
#include "audio/live_streams.h"
#include "audio/rtaudio_host.h"
#include "control/telemetry.h"
#include "control/worker.h"
#include "engine/mix_engine.h"
#include "entry/worker_threads.h"
#include "modes.h"

namespace mixengine {

namespace {

constexpr std::size_t kInputRingFramesPerChannel = 16384;
constexpr auto kStopPoll = std::chrono::milliseconds(100);

Json ready_line(const LiveOptions& options, uint32_t rate, const DefaultConfig& in,
                const DefaultConfig& out, const std::string& in_name, const std::string& out_name) {
    const uint32_t buffer = options.buffer.value_or(0);
    // Three device buffers of delay; a rate of 0 makes it infinite, which prints as null.
    const float latency_ms =
        options.buffer ? static_cast<float>(buffer) / static_cast<float>(rate) * 3000.0f : 0.0f;
    return Json{
        {"t", "ready"},          {"mode", "device"},        {"rate", rate},
        {"inputs", in.channels}, {"outputs", out.channels}, {"buffer", buffer},
        {"in_name", in_name},    {"out_name", out_name},    {"latency_ms", json_f32(latency_ms)}};
}

int fail(std::string_view text) {
    print_error(text);
    return 1;
}

// Returns the mode's exit status, after the error line that ends it if there is one.
int run_live_engine(AudioHost& host, const LiveOptions& options, const StopFlag& stop) {
    const auto in_device = find_device(host, options.input, Direction::Input);
    if (!in_device)
        return fail("Audio input \"" + options.input +
                    "\" not found. Is the stage box plugged in and switched on?");
    const auto out_device = find_device(host, options.output, Direction::Output);
    if (!out_device) return fail("Audio output \"" + options.output + "\" not found.");

    const auto in_config = host.default_config(*in_device, Direction::Input);
    if (!in_config) return fail(in_config.error());
    const auto out_config = host.default_config(*out_device, Direction::Output);
    if (!out_config) return fail(out_config.error());

    const uint32_t rate = options.rate.value_or(out_config->rate);
    auto xruns = std::make_shared<XrunCounter>(0);
    auto [input_writer, input_reader] =
        make_spsc_ring<float>(std::size_t{in_config->channels} * kInputRingFramesPerChannel);
    auto workers =
        start_worker_threads(WorkerThreadsRequest{stop, rate, out_config->channels, xruns});
    if (!workers) return 1;

    LiveStreamsRequest request;
    request.input_device = *in_device;
    request.output_device = *out_device;
    request.input_config = *in_config;
    request.output_config = *out_config;
    request.rate = rate;
    request.buffer_frames = options.buffer;
    request.input_ring = std::move(input_writer);
    request.xruns = xruns;
    // The builder is a copyable function; the feeds it installs go in once.
    auto feeds = std::make_shared<EngineFeeds>(std::move(workers->feeds));
    request.build_engine = [rate, feeds] {
        auto engine = std::make_unique<MixEngine>(static_cast<float>(rate));
        feeds->install_into(*engine);
        return engine;
    };
    request.updates = std::move(workers->updates);
    request.input_ring_reader = std::move(input_reader);
    request.analyser = std::move(workers->analyser);
    request.meters = workers->meters;

    auto streams = open_live_streams(host, std::move(request));
    if (!streams) return fail(streams.error());

    const auto in_name = host.device_name(*in_device);
    const auto out_name = host.device_name(*out_device);
    print_json(ready_line(options, rate, *in_config, *out_config,
                          in_name ? *in_name : std::string(),
                          out_name ? *out_name : std::string()));
    workers->control->ready.store(true, std::memory_order_release);

    while (!stop->load()) {
        sleep_fully(kStopPoll);
        streams->report_if_stopped();
    }

    streams->release();
    return 0;
}

}  // namespace

int run_live_mode(const LiveOptions& options, StopFlag stop) {
    const auto host = make_system_host();
    return run_live_engine(*host, options, stop);
}

}  // namespace mixengine
