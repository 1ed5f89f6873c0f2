// The audio I/O layer: exactly what the program needs from the host's audio system. A host
// enumerates devices, names them, reports what each can do per direction and opens callback-driven
// streams. Every operation may fail with a text meant for the user; nothing throws across it.
// Two hosts exist: the system one over RtAudio (rtaudio_host.h) and a scripted one for tests
// (tests/support/audio/fake_host.h, never part of the installed program).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "control/result.h"

namespace mixengine {

// Sample type of a device or stream. Only I16, I32 and F32 are ever opened (see stream_format).
enum class SampleFormat : uint8_t { I8, I16, I32, I64, U8, U16, U32, U64, F32, F64 };

// "I8", "I16", ... "F64": the text the device list shows.
std::string_view format_name(SampleFormat format) noexcept;

// The type a stream is opened with for a device format: I16 and I32 stay, everything else is
// opened as F32 and left to the host to convert.
SampleFormat stream_format(SampleFormat chosen) noexcept;

enum class Direction : uint8_t { Input, Output };

// One entry of a device's supported configurations for one direction. Rates are inclusive.
// A buffer range of 0..0 means the host does not say.
struct StreamConfigRange {
    uint16_t channels = 0;
    uint32_t min_rate = 0;
    uint32_t max_rate = 0;
    uint32_t min_buffer_frames = 0;
    uint32_t max_buffer_frames = 0;
    SampleFormat format = SampleFormat::F32;
    bool operator==(const StreamConfigRange&) const = default;
};

// A device's current configuration for one direction.
struct DefaultConfig {
    uint16_t channels = 0;
    uint32_t rate = 0;
    SampleFormat format = SampleFormat::F32;
    bool operator==(const DefaultConfig&) const = default;
};

// What a stream is opened with; no buffer size means the device's default.
struct StreamConfig {
    uint16_t channels = 0;
    uint32_t rate = 0;
    std::optional<uint32_t> buffer_frames;
    bool operator==(const StreamConfig&) const = default;
};

// Opaque identifier of one device as the host enumerated it. Only the host that produced it
// looks inside.
struct DeviceHandle {
    uint32_t id = 0;
    std::string key;
    bool operator==(const DeviceHandle&) const = default;
};

// One device block of interleaved samples, of the stream's sample type.
using InputBlock =
    std::variant<std::span<const int16_t>, std::span<const int32_t>, std::span<const float>>;
using OutputBlock = std::variant<std::span<int16_t>, std::span<int32_t>, std::span<float>>;

// Data callbacks run on the host's audio threads; error callbacks get the host's text.
using InputCallback = std::function<void(InputBlock)>;
using OutputCallback = std::function<void(OutputBlock)>;
using ErrorCallback = std::function<void(const std::string&)>;

class AudioStream {
  public:
    virtual ~AudioStream() = default;
    // Begins calling the data callback.
    virtual Status start() = 0;
    // Stops the stream; no callback runs once this returns. Destroying a stream releases it.
    virtual void release() = 0;
    // Reports through the error callback, once, that the host stopped a started stream on its own
    // (its server or device went away), for hosts that stop without a word. The stream's owner
    // calls it from time to time on its own thread; hosts that always report do nothing here.
    virtual void report_if_stopped() {}
};

class AudioHost {
  public:
    virtual ~AudioHost() = default;

    virtual Result<std::string> host_name() = 0;
    // Every device, in the host's order; enumerated afresh on each call.
    virtual Result<std::vector<DeviceHandle>> devices() = 0;
    virtual Result<std::string> device_name(const DeviceHandle& device) = 0;
    virtual Result<std::vector<StreamConfigRange>> supported_configs(const DeviceHandle& device,
                                                                     Direction direction) = 0;
    virtual Result<DefaultConfig> default_config(const DeviceHandle& device,
                                                 Direction direction) = 0;

    // Opens at exactly this configuration with `format` (I16, I32 or F32) or fails.
    virtual Result<std::unique_ptr<AudioStream>> build_input_stream(const DeviceHandle& device,
                                                                    const StreamConfig& config,
                                                                    SampleFormat format,
                                                                    InputCallback data,
                                                                    ErrorCallback error) = 0;
    virtual Result<std::unique_ptr<AudioStream>> build_output_stream(const DeviceHandle& device,
                                                                     const StreamConfig& config,
                                                                     SampleFormat format,
                                                                     OutputCallback data,
                                                                     ErrorCallback error) = 0;
};

}  // namespace mixengine
