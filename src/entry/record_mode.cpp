// Record mode: every channel of an input device into one 24-bit WAV file per channel. The input
// callback only queues whole device buffers; the main thread writes the queue to the files every
// 20 ms, reports once a second and completes the files when the transport reader says stop. The
// queue holds four seconds, which is the longest the disk may stall before buffers are dropped.
#include <algorithm>

#include "audio/stream_choice.h"
#include "control/telemetry.h"
#include "control/worker.h"
#include "multitrack_modes.h"

namespace mixengine {

namespace {

constexpr uint64_t kQueueSeconds = 4;
constexpr auto kDrainPeriod = std::chrono::milliseconds(20);
constexpr auto kStatusPeriod = std::chrono::seconds(1);

}  // namespace

Result<std::unique_ptr<RecordSession>> RecordSession::start(AudioHost& host,
                                                            const RecordOptions& options) {
    using R = Result<std::unique_ptr<RecordSession>>;
    const auto device = find_mode_device(host, options.device, Direction::Input);
    if (!device) return fail(device.error());
    // A request for no channels at all would record nothing: it is taken as "every channel".
    std::optional<uint16_t> request = options.channels;
    if (request == 0) request.reset();
    const auto choice = choose_stream_config(device->ranges, request);
    // Without a channel or a rate there is nothing to record, and the rate divides every
    // position reported.
    if (!choice || choice->config.channels == 0 || choice->config.rate == 0)
        return fail("The input offers no usable format");
    const uint16_t channels = choice->config.channels;
    const uint32_t rate = choice->config.rate;

    std::unique_ptr<RecordSession> s(new RecordSession);
    auto files = RecordingFiles::create(options.dir, channels, rate);
    if (!files) return fail(files.error());
    s->files_ = std::move(*files);

    auto [producer, consumer] = make_spsc_ring<float>(uint64_t{rate} * channels * kQueueSeconds);
    s->ring_ = std::move(consumer);
    s->dropped_ = std::make_shared<SampleCounter>(0);
    auto input = std::make_shared<RecordInput>(std::move(producer), s->dropped_);

    auto stream =
        start_mode_stream(host, device->handle, choice->config, stream_format(choice->format),
                          InputCallback([input](InputBlock block) { (*input)(block); }),
                          "Recording: ", "Cannot open the input for recording: ");
    if (!stream) return fail(stream.error());
    s->stream_ = std::move(*stream);

    const auto name = host.device_name(device->handle);
    print_json(Json{{"t", "ready"},
                    {"mode", "record"},
                    {"channels", channels},
                    {"rate", rate},
                    {"device", name ? *name : std::string()}});
    return R(std::move(s));
}

Status RecordSession::pass(ModeClock::time_point now) {
    stream_->report_if_stopped();
    if (auto drained = files_->drain(ring_); !drained) return drained;
    if (!last_status_) {
        last_status_ = now;
    } else if (now - *last_status_ >= kStatusPeriod) {
        print_json(files_->rec_line(dropped_->load()));
        last_status_ = now;
    }
    return Done{};
}

Status RecordSession::finish() {
    stream_->release();
    // Whatever the callback queued between the last drain and the release is kept as well.
    if (auto drained = files_->drain(ring_); !drained) return drained;
    if (auto finished = files_->finish(); !finished) return finished;
    print_json(files_->done_line());
    return Done{};
}

int run_recording(RecordSession& session, const std::atomic<bool>& stop) {
    for (;;) {
        // Read before the drain: every sample queued before the stop was seen gets written.
        const bool stopping = stop.load();
        if (const auto passed = session.pass(ModeClock::now()); !passed) {
            print_error(passed.error());
            return 1;
        }
        if (stopping) break;
        sleep_fully(kDrainPeriod);
    }
    if (const auto finished = session.finish(); !finished) {
        print_error(finished.error());
        return 1;
    }
    return 0;
}

int run_record_mode(const RecordOptions& options) {
    // Nothing in this mode reads the pause flag: "pause" does not pause a recording.
    return run_transport_mode([&](AudioHost& host, auto, const std::atomic<bool>& stop) {
        auto session = RecordSession::start(host, options);
        if (!session) {
            print_error(session.error());
            return 1;
        }
        return run_recording(**session, stop);
    });
}

}  // namespace mixengine
