// Play mode: a multitrack recording to the outputs of a device, track n to output n. The main
// thread interleaves the tracks into a quarter-second queue; the output callback plays from it and
// counts the frames it played, which is the position the "play" lines report. The transport
// reader pauses, resumes and stops; the end of the material ends the mode by itself.
#include <algorithm>
#include <vector>

#include "audio/stream_choice.h"
#include "control/telemetry.h"
#include "control/worker.h"
#include "multitrack_modes.h"

namespace mixengine {

namespace {

constexpr auto kFillPeriod = std::chrono::milliseconds(10);
constexpr auto kStatusPeriod = std::chrono::milliseconds(500);
constexpr auto kPlayOut = std::chrono::milliseconds(100);

std::string rate_message(uint32_t recording, const std::string& device, uint32_t device_rate) {
    const std::string r = std::to_string(recording);
    return "The recording is at " + r + " Hz but \"" + device + "\" runs at " +
           std::to_string(device_rate) + " Hz. Set the device to " + r +
           " Hz (Windows: Sound settings \u2192 the device \u2192 Advanced), then play again.";
}

}  // namespace

Result<std::unique_ptr<PlaySession>> PlaySession::start(AudioHost& host, const PlayOptions& options,
                                                        std::shared_ptr<std::atomic<bool>> paused) {
    using R = Result<std::unique_ptr<PlaySession>>;
    std::unique_ptr<PlaySession> s(new PlaySession);
    auto opened = PlaybackTracks::open(options.dir);
    if (!opened) return fail(opened.error());
    s->tracks_ = std::move(*opened);
    s->rate_ = s->tracks_->rate();
    const uint64_t total = s->tracks_->total_frames();
    s->length_s_ = whole_seconds(total, s->rate_);

    const auto device = find_mode_device(host, options.device, Direction::Output);
    if (!device) return fail(device.error());
    const std::vector<StreamConfigRange>& ranges = device->ranges;
    std::vector<StreamConfigRange> kept;
    for (const auto& r : ranges)
        if (r.min_rate <= s->rate_ && s->rate_ <= r.max_rate) kept.push_back(r);
    // A header that says 0 Hz cannot be played at any rate (and would divide every position).
    if (kept.empty() || s->rate_ == 0) {
        const auto name = host.device_name(device->handle);
        return fail(rate_message(s->rate_, name ? *name : std::string(),
                                 ranges.empty() ? 0 : ranges.front().max_rate));
    }
    const auto choice = choose_stream_config(kept, std::nullopt);
    if (!choice || choice->config.channels == 0) return fail("The output offers no usable format");
    StreamConfig config = choice->config;
    config.rate = s->rate_;
    s->outputs_ = config.channels;

    const uint64_t first = start_frame(options.from_s, s->rate_);
    s->tracks_->skip(first);
    s->remaining_ = first < total ? total - first : 0;

    // A quarter of a second of every output, and never less than one frame.
    const uint64_t capacity = std::max<uint64_t>(uint64_t{s->outputs_} * s->rate_ / 4, s->outputs_);
    auto [producer, consumer] = make_spsc_ring<float>(capacity);
    s->ring_ = std::move(producer);
    s->played_ = std::make_shared<SampleCounter>(first);
    s->paused_ = std::move(paused);
    auto output =
        std::make_shared<PlayOutput>(std::move(consumer), s->played_, s->paused_, s->outputs_);

    auto stream =
        start_mode_stream(host, device->handle, config, stream_format(choice->format),
                          OutputCallback([output](OutputBlock block) { (*output)(block); }),
                          "Playback: ", "Cannot open the output for playback: ");
    if (!stream) return fail(stream.error());
    s->stream_ = std::move(*stream);

    const std::size_t tracks = s->tracks_->count();
    print_json(Json{{"t", "ready"},
                    {"mode", "play"},
                    {"tracks", tracks},
                    {"outputs", s->outputs_},
                    {"rate", s->rate_},
                    {"length", s->length_s_}});
    if (s->outputs_ < tracks) {
        const std::string o = std::to_string(s->outputs_);
        print_warn("The output has " + o + " channels; only the first " + o + " of " +
                   std::to_string(tracks) + " tracks play.");
    }
    return R(std::move(s));
}

bool PlaySession::pass(ModeClock::time_point now) {
    stream_->report_if_stopped();
    tracks_->fill(ring_, outputs_, remaining_);
    const uint64_t played = played_->load();
    if (!last_status_) {
        last_status_ = now;
    } else if (now - *last_status_ >= kStatusPeriod) {
        print_json(Json{{"t", "play"},
                        {"secs", whole_seconds(played, rate_)},
                        {"length", length_s_},
                        {"paused", paused_->load()}});
        last_status_ = now;
    }
    return remaining_ == 0 &&
           (played >= tracks_->total_frames() || ring_.free_slots() == ring_.capacity());
}

void PlaySession::finish() {
    stream_->release();
    print_json(Json{{"t", "done"}});
}

int run_playback(PlaySession& session, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        if (session.pass(ModeClock::now())) {
            sleep_fully(kPlayOut);
            break;
        }
        sleep_fully(kFillPeriod);
    }
    session.finish();
    return 0;
}

int run_play_mode(const PlayOptions& options) {
    return run_transport_mode([&](AudioHost& host, std::shared_ptr<std::atomic<bool>> paused,
                                  const std::atomic<bool>& stop) {
        auto session = PlaySession::start(host, options, std::move(paused));
        if (!session) {
            print_error(session.error());
            return 1;
        }
        return run_playback(**session, stop);
    });
}

}  // namespace mixengine
