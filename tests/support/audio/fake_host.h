// A scripted audio host for tests: devices with names, configurations and failures chosen by the
// test, and streams whose callbacks the test drives by hand (nothing runs on its own thread).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_host.h"

namespace mixengine {

struct FakeDevice {
    std::string name;
    bool name_fails = false;
    // nullopt: reading them fails.
    std::optional<std::vector<StreamConfigRange>> inputs = std::vector<StreamConfigRange>{};
    std::optional<std::vector<StreamConfigRange>> outputs = std::vector<StreamConfigRange>{};
    std::optional<DefaultConfig> default_input;
    std::optional<DefaultConfig> default_output;
};

// A device with one input range and/or one output range, defaults to match.
FakeDevice fake_device(std::string name, uint16_t in_channels, uint16_t out_channels,
                       uint32_t rate = 48000, SampleFormat format = SampleFormat::F32);

struct FakeStream {
    Direction direction = Direction::Input;
    DeviceHandle device;
    StreamConfig config;
    SampleFormat format = SampleFormat::F32;
    InputCallback input;
    OutputCallback output;
    ErrorCallback error;
    bool started = false;
    bool released = false;
};

class FakeHost final : public AudioHost {
  public:
    std::string name = "Fake";
    std::vector<FakeDevice> device_list;
    bool list_fails = false;
    std::optional<std::string> input_build_error;
    std::optional<std::string> output_build_error;
    std::optional<std::string> start_error;

    // Every stream built, in order; they stay here after release for inspection.
    std::vector<std::shared_ptr<FakeStream>> streams;

    Result<std::string> host_name() override { return name; }
    Result<std::vector<DeviceHandle>> devices() override;
    Result<std::string> device_name(const DeviceHandle& device) override;
    Result<std::vector<StreamConfigRange>> supported_configs(const DeviceHandle& device,
                                                             Direction direction) override;
    Result<DefaultConfig> default_config(const DeviceHandle& device, Direction direction) override;
    Result<std::unique_ptr<AudioStream>> build_input_stream(const DeviceHandle& device,
                                                            const StreamConfig& config,
                                                            SampleFormat format, InputCallback data,
                                                            ErrorCallback error) override;
    Result<std::unique_ptr<AudioStream>> build_output_stream(const DeviceHandle& device,
                                                             const StreamConfig& config,
                                                             SampleFormat format,
                                                             OutputCallback data,
                                                             ErrorCallback error) override;

  private:
    const FakeDevice* find(const DeviceHandle& device) const;
    // Keeps the stream for the test to drive and hands out a handle that fails to start as asked.
    std::unique_ptr<AudioStream> keep_stream(FakeStream stream);
};

}  // namespace mixengine
