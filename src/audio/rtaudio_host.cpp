#include "rtaudio_host.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <rtaudio/RtAudio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <iostream>
#include <mutex>
#include <optional>
#include <streambuf>
#include <string>

#include "control/worker.h"

namespace mixengine {

namespace {

void quiet_jack(const char*) {}
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

// RtAudio writes a few messages straight to std::cerr regardless of showWarnings (for example
// when a JACK server drops the client); a stream buffer that swallows everything keeps them out.
class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

SampleFormat rt_to_format(RtAudioFormat f) {
    if (f == RTAUDIO_SINT8) return SampleFormat::I8;
    if (f == RTAUDIO_SINT16) return SampleFormat::I16;
    if (f == RTAUDIO_FLOAT32) return SampleFormat::F32;
    if (f == RTAUDIO_FLOAT64) return SampleFormat::F64;
    return SampleFormat::I32;  // 24- and 32-bit integers: we would open them as I32 at most
}

RtAudioFormat format_to_rt(SampleFormat f) {
    switch (f) {
        case SampleFormat::I16:
            return RTAUDIO_SINT16;
        case SampleFormat::I32:
            return RTAUDIO_SINT32;
        default:
            return RTAUDIO_FLOAT32;
    }
}

// The device's preferred native format: the one that costs the least conversion in our callbacks.
SampleFormat preferred_format(RtAudioFormat mask) {
    for (RtAudioFormat f : {RTAUDIO_FLOAT32, RTAUDIO_SINT32, RTAUDIO_SINT24, RTAUDIO_SINT16,
                            RTAUDIO_FLOAT64, RTAUDIO_SINT8})
        if (mask & f) return rt_to_format(f);
    return SampleFormat::F32;
}

uint32_t default_rate(const RtAudio::DeviceInfo& info) {
    if (info.preferredSampleRate != 0) return info.preferredSampleRate;
    const auto& r = info.sampleRates;
    if (std::find(r.begin(), r.end(), 48000u) != r.end()) return 48000;
    return r.empty() ? 48000 : *std::max_element(r.begin(), r.end());
}

uint16_t clamp_channels(unsigned n) {
    return static_cast<uint16_t>(std::min(n, 65535u));
}

std::string error_text(const std::exception& e) {
    std::string t = e.what();
    // RtAudio pads some messages with line feeds.
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    while (!t.empty() && (t.front() == '\n' || t.front() == ' ')) t.erase(t.begin());
    return t.empty() ? std::string("The audio system reported an unknown error.") : t;
}

// RtAudio's error callback is a bare function pointer without a context argument, so each open
// stream claims one of a fixed set of trampolines.
class RtStream;
constexpr std::size_t kErrorSlots = 16;
struct ErrorSlot {
    std::mutex mutex;
    RtStream* owner = nullptr;
};
std::array<ErrorSlot, kErrorSlots> g_error_slots;

void deliver_error(std::size_t slot, const std::string& text);

template <std::size_t N>
void error_trampoline(RtAudioError::Type, const std::string& text) {
    deliver_error(N, text);
}

template <std::size_t... N>
constexpr std::array<RtAudioErrorCallback, kErrorSlots> make_trampolines(
    std::index_sequence<N...>) {
    return {&error_trampoline<N>...};
}
constexpr auto kTrampolines = make_trampolines(std::make_index_sequence<kErrorSlots>{});

class RtStream final : public AudioStream {
  public:
    RtStream(RtAudio::Api api, uint16_t channels, SampleFormat format, Direction direction,
             InputCallback input, OutputCallback output, ErrorCallback error)
        : rt_(std::make_unique<RtAudio>(api)),
          channels_(channels),
          format_(format),
          direction_(direction),
          input_(std::move(input)),
          output_(std::move(output)),
          error_(std::move(error)) {
        rt_->showWarnings(false);
    }
    ~RtStream() override { release(); }

    RtAudio& rt() { return *rt_; }

    bool claim_slot() {
        for (std::size_t i = 0; i < kErrorSlots; ++i) {
            std::lock_guard<std::mutex> lock(g_error_slots[i].mutex);
            if (g_error_slots[i].owner == nullptr) {
                g_error_slots[i].owner = this;
                slot_ = i;
                return true;
            }
        }
        return false;
    }
    RtAudioErrorCallback trampoline() const { return kTrampolines[slot_]; }

    Status start() override {
        {
            std::lock_guard<std::mutex> lock(g_error_slots[slot_].mutex);
            starting_ = true;
            start_error_.clear();
        }
        std::string thrown;
        try {
            rt_->startStream();
        } catch (const RtAudioError& e) {
            thrown = error_text(e);
        }
        std::string reported;
        {
            std::lock_guard<std::mutex> lock(g_error_slots[slot_].mutex);
            starting_ = false;
            reported = start_error_;
        }
        // With an error callback installed RtAudio reports a failed start there instead of
        // throwing; a stream that is not running has not started, whatever was said.
        bool running = false;
        try {
            running = rt_->isStreamRunning();
        } catch (const RtAudioError&) {
        }
        if (!thrown.empty()) return fail(thrown);
        if (!running) return fail(reported.empty() ? "The audio stream did not start." : reported);
        started_ = true;
        return Done{};
    }

    // RtAudio's JACK backend closes the stream from a thread of its own when the server shuts the
    // client down, without calling the error callback. A stream we started that no longer runs is
    // that case.
    void report_if_stopped() override {
        if (!rt_ || !started_ || stop_reported_) return;
        if (stream_running()) return;
        stop_reported_ = true;
        std::lock_guard<std::mutex> lock(g_error_slots[slot_].mutex);
        on_error("The audio system stopped the stream: its server or device went away.");
    }

    void release() override {
        if (!rt_) return;
        if (started_ && !stream_running()) {
            // The backend may still be closing it on its own thread: let it finish before the
            // RtAudio object goes.
            for (int i = 0; i < 200 && stream_open(); ++i)
                sleep_fully(std::chrono::milliseconds(5));
        }
        try {
            // Closing a running stream stops it without waiting for the output to drain, which
            // would never end if the device had gone away.
            if (rt_->isStreamOpen()) rt_->closeStream();
        } catch (const RtAudioError&) {
        }
        rt_.reset();
        if (slot_ < kErrorSlots) {
            std::lock_guard<std::mutex> lock(g_error_slots[slot_].mutex);
            g_error_slots[slot_].owner = nullptr;
            slot_ = kErrorSlots;
        }
    }

    bool stream_running() {
        try {
            return rt_->isStreamRunning();
        } catch (const RtAudioError&) {
            return false;
        }
    }
    bool stream_open() {
        try {
            return rt_->isStreamOpen();
        } catch (const RtAudioError&) {
            return false;
        }
    }

    // Runs on RtAudio's thread.
    static int on_block(void* out, void* in, unsigned int frames, double, RtAudioStreamStatus,
                        void* user) {
        auto* self = static_cast<RtStream*>(user);
        const std::size_t n = std::size_t{frames} * self->channels_;
        if (self->direction_ == Direction::Input) {
            if (!in) return 0;
            switch (self->format_) {
                case SampleFormat::I16:
                    self->input_(std::span<const int16_t>(static_cast<const int16_t*>(in), n));
                    break;
                case SampleFormat::I32:
                    self->input_(std::span<const int32_t>(static_cast<const int32_t*>(in), n));
                    break;
                default:
                    self->input_(std::span<const float>(static_cast<const float*>(in), n));
            }
        } else {
            if (!out) return 0;
            switch (self->format_) {
                case SampleFormat::I16:
                    self->output_(std::span<int16_t>(static_cast<int16_t*>(out), n));
                    break;
                case SampleFormat::I32:
                    self->output_(std::span<int32_t>(static_cast<int32_t*>(out), n));
                    break;
                default:
                    self->output_(std::span<float>(static_cast<float*>(out), n));
            }
        }
        return 0;
    }

    // Called with the slot's mutex held.
    void on_error(const std::string& text) {
        if (starting_) {
            if (start_error_.empty()) start_error_ = text;
            return;
        }
        if (error_) error_(text);
    }

  private:
    std::unique_ptr<RtAudio> rt_;
    uint16_t channels_;
    SampleFormat format_;
    Direction direction_;
    InputCallback input_;
    OutputCallback output_;
    ErrorCallback error_;
    std::size_t slot_ = kErrorSlots;
    bool starting_ = false;
    std::string start_error_;
    bool started_ = false;
    bool stop_reported_ = false;
};

void deliver_error(std::size_t slot, const std::string& text) {
    std::lock_guard<std::mutex> lock(g_error_slots[slot].mutex);
    if (g_error_slots[slot].owner) g_error_slots[slot].owner->on_error(text);
}

class RtAudioHost final : public AudioHost {
  public:
    explicit RtAudioHost(RtAudio::Api api) : api_(api) {}

    Result<std::string> host_name() override { return RtAudio::getApiDisplayName(api_); }

    Result<std::vector<DeviceHandle>> devices() override {
        snapshot_.clear();
        try {
            RtAudio rt(api_);
            rt.showWarnings(false);
            const unsigned n = rt.getDeviceCount();
            std::vector<DeviceHandle> list;
            for (unsigned i = 0; i < n; ++i) {
                // The name travels in the handle so that a stream opened later on another
                // RtAudio object finds the same device even if the numbering moved.
                std::optional<RtAudio::DeviceInfo> info;
                try {
                    info = rt.getDeviceInfo(i);
                    if (!info->probed) info.reset();
                } catch (const RtAudioError&) {
                }
                list.push_back(DeviceHandle{i, info ? info->name : std::string()});
                snapshot_.push_back(std::move(info));
            }
            return list;
        } catch (const RtAudioError& e) {
            return fail(error_text(e));
        }
    }

    Result<std::string> device_name(const DeviceHandle& device) override {
        const auto info = probe(device);
        if (!info) return fail(info.error());
        return info->name;
    }

    Result<std::vector<StreamConfigRange>> supported_configs(const DeviceHandle& device,
                                                             Direction direction) override {
        const auto info = probe(device);
        if (!info) return fail(info.error());
        const unsigned channels =
            direction == Direction::Input ? info->inputChannels : info->outputChannels;
        std::vector<StreamConfigRange> ranges;
        if (channels == 0) return ranges;
        std::vector<unsigned> rates = info->sampleRates;
        if (rates.empty()) rates.push_back(default_rate(*info));
        // RtAudio lists discrete rates; each becomes a one-rate range per native format.
        for (RtAudioFormat f : {RTAUDIO_SINT8, RTAUDIO_SINT16, RTAUDIO_SINT24, RTAUDIO_SINT32,
                                RTAUDIO_FLOAT32, RTAUDIO_FLOAT64}) {
            if (!(info->nativeFormats & f)) continue;
            if (f == RTAUDIO_SINT24 && (info->nativeFormats & RTAUDIO_SINT32)) continue;
            for (unsigned rate : rates)
                ranges.push_back(
                    StreamConfigRange{clamp_channels(channels), rate, rate, 0, 0, rt_to_format(f)});
        }
        if (ranges.empty())
            for (unsigned rate : rates)
                ranges.push_back(StreamConfigRange{clamp_channels(channels), rate, rate, 0, 0,
                                                   SampleFormat::F32});
        return ranges;
    }

    Result<DefaultConfig> default_config(const DeviceHandle& device, Direction direction) override {
        const auto info = probe(device);
        if (!info) return fail(info.error());
        const unsigned channels =
            direction == Direction::Input ? info->inputChannels : info->outputChannels;
        if (channels == 0)
            return fail("The device \"" + info->name + "\" has no " +
                        (direction == Direction::Input ? "inputs." : "outputs."));
        return DefaultConfig{clamp_channels(channels), default_rate(*info),
                             preferred_format(info->nativeFormats)};
    }

    Result<std::unique_ptr<AudioStream>> build_input_stream(const DeviceHandle& device,
                                                            const StreamConfig& config,
                                                            SampleFormat format, InputCallback data,
                                                            ErrorCallback error) override {
        return build(device, config, format, Direction::Input, std::move(data), {},
                     std::move(error));
    }

    Result<std::unique_ptr<AudioStream>> build_output_stream(const DeviceHandle& device,
                                                             const StreamConfig& config,
                                                             SampleFormat format,
                                                             OutputCallback data,
                                                             ErrorCallback error) override {
        return build(device, config, format, Direction::Output, {}, std::move(data),
                     std::move(error));
    }

  private:
    // The device's numbering may have changed since the handle was made: look it up by name.
    static Result<unsigned> locate(RtAudio& rt, const DeviceHandle& device) {
        const unsigned n = rt.getDeviceCount();
        const auto name_at = [&](unsigned i) -> std::string {
            try {
                const auto info = rt.getDeviceInfo(i);
                return info.probed ? info.name : std::string();
            } catch (const RtAudioError&) {
                return {};
            }
        };
        if (device.key.empty()) {
            if (device.id < n) return device.id;
        } else {
            if (device.id < n && name_at(device.id) == device.key) return device.id;
            for (unsigned i = 0; i < n; ++i)
                if (name_at(i) == device.key) return i;
        }
        return fail("The audio device is no longer there.");
    }

    Result<RtAudio::DeviceInfo> probe(const DeviceHandle& device) {
        // Queries on the devices of the latest enumeration are answered from it: each query of
        // a JACK server costs a client connection, tens of milliseconds.
        if (device.id < snapshot_.size() && snapshot_[device.id] &&
            snapshot_[device.id]->name == device.key)
            return *snapshot_[device.id];
        try {
            RtAudio rt(api_);
            rt.showWarnings(false);
            const auto index = locate(rt, device);
            if (!index) return fail(index.error());
            auto info = rt.getDeviceInfo(*index);
            if (!info.probed)
                return fail("The audio device could not be queried; it may be in use.");
            return info;
        } catch (const RtAudioError& e) {
            return fail(error_text(e));
        }
    }

    Result<std::unique_ptr<AudioStream>> build(const DeviceHandle& device,
                                               const StreamConfig& config, SampleFormat format,
                                               Direction direction, InputCallback input,
                                               OutputCallback output, ErrorCallback error) {
        using R = Result<std::unique_ptr<AudioStream>>;
        const SampleFormat opened = stream_format(format);
        try {
            auto stream =
                std::make_unique<RtStream>(api_, config.channels, opened, direction,
                                           std::move(input), std::move(output), std::move(error));
            if (!stream->claim_slot()) return fail("Too many audio streams are open.");
            const auto index = locate(stream->rt(), device);
            if (!index) return fail(index.error());

            RtAudio::StreamParameters params;
            params.deviceId = *index;
            params.nChannels = config.channels;
            params.firstChannel = 0;
            RtAudio::StreamOptions options;
            // JACK needs a distinct client name per stream of one process.
            options.streamName = direction == Direction::Input ? "mixengine-in" : "mixengine-out";
            unsigned frames = config.buffer_frames.value_or(0);
            stream->rt().openStream(direction == Direction::Output ? &params : nullptr,
                                    direction == Direction::Input ? &params : nullptr,
                                    format_to_rt(opened), config.rate, &frames, &RtStream::on_block,
                                    stream.get(), &options, stream->trampoline());
            if (config.buffer_frames && frames != *config.buffer_frames) {
                stream->release();
                return fail("The device cannot run at " + std::to_string(*config.buffer_frames) +
                            " frames per buffer; it runs at " + std::to_string(frames) + ".");
            }
            return R(std::unique_ptr<AudioStream>(std::move(stream)));
        } catch (const RtAudioError& e) {
            return fail(error_text(e));
        } catch (const std::exception& e) {
            return fail(error_text(e));
        }
    }

    RtAudio::Api api_;
    // What the latest devices() call saw, by device index; replaced by every enumeration.
    std::vector<std::optional<RtAudio::DeviceInfo>> snapshot_;
};

}  // namespace

void silence_audio_libraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(quiet_jack);
        jack_set_info_function(quiet_jack);
        snd_lib_error_set_handler(quiet_alsa);
        // Never destroyed: the standard streams flush at exit, after ordinary statics are gone.
        static NullBuffer* const null_buffer = new NullBuffer;
        std::cerr.rdbuf(null_buffer);
        std::clog.rdbuf(null_buffer);
    });
}

std::unique_ptr<AudioHost> make_system_host() {
    silence_audio_libraries();
    std::vector<RtAudio::Api> apis;
    RtAudio::getCompiledApi(apis);
    std::erase(apis, RtAudio::RTAUDIO_DUMMY);
    for (const auto api : apis) {
        try {
            // Naming the API keeps RtAudio from probing the others (and warning) on its own.
            RtAudio rt(api);
            rt.showWarnings(false);
            if (rt.getDeviceCount() > 0) return std::make_unique<RtAudioHost>(api);
        } catch (const RtAudioError&) {
        }
    }
    return std::make_unique<RtAudioHost>(apis.empty() ? RtAudio::RTAUDIO_DUMMY : apis.front());
}

}  // namespace mixengine
