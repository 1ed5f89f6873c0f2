#include "audio/fake_host.h"

namespace mixengine {

namespace {

class FakeStreamHandle final : public AudioStream {
  public:
    FakeStreamHandle(std::shared_ptr<FakeStream> s, const std::optional<std::string>& start_error)
        : s_(std::move(s)), start_error_(start_error) {}
    ~FakeStreamHandle() override { release(); }

    Status start() override {
        if (start_error_) return fail(*start_error_);
        s_->started = true;
        return Done{};
    }
    void release() override {
        s_->started = false;
        s_->released = true;
        // Like a real host, drop the callbacks and whatever they own.
        s_->input = nullptr;
        s_->output = nullptr;
    }

  private:
    std::shared_ptr<FakeStream> s_;
    std::optional<std::string> start_error_;
};

}  // namespace

FakeDevice fake_device(std::string name, uint16_t in_channels, uint16_t out_channels, uint32_t rate,
                       SampleFormat format) {
    FakeDevice d;
    d.name = std::move(name);
    if (in_channels > 0) {
        d.inputs = std::vector<StreamConfigRange>{{in_channels, rate, rate, 0, 0, format}};
        d.default_input = DefaultConfig{in_channels, rate, format};
    }
    if (out_channels > 0) {
        d.outputs = std::vector<StreamConfigRange>{{out_channels, rate, rate, 0, 0, format}};
        d.default_output = DefaultConfig{out_channels, rate, format};
    }
    return d;
}

const FakeDevice* FakeHost::find(const DeviceHandle& device) const {
    return device.id < device_list.size() ? &device_list[device.id] : nullptr;
}

Result<std::vector<DeviceHandle>> FakeHost::devices() {
    if (list_fails) return fail("The device list failed.");
    std::vector<DeviceHandle> list;
    for (uint32_t i = 0; i < device_list.size(); ++i) list.push_back({i, device_list[i].name});
    return list;
}

Result<std::string> FakeHost::device_name(const DeviceHandle& device) {
    const auto* d = find(device);
    if (!d || d->name_fails) return fail("The name cannot be read.");
    return d->name;
}

Result<std::vector<StreamConfigRange>> FakeHost::supported_configs(const DeviceHandle& device,
                                                                   Direction direction) {
    const auto* d = find(device);
    if (!d || !(direction == Direction::Input ? d->inputs : d->outputs))
        return fail("The configurations cannot be read.");
    return direction == Direction::Input ? *d->inputs : *d->outputs;
}

Result<DefaultConfig> FakeHost::default_config(const DeviceHandle& device, Direction direction) {
    const auto* d = find(device);
    const auto* config = !d                              ? nullptr
                         : direction == Direction::Input ? &d->default_input
                                                         : &d->default_output;
    if (!config || !*config) return fail("The default configuration failed.");
    return **config;
}

Result<std::unique_ptr<AudioStream>> FakeHost::build_input_stream(const DeviceHandle& device,
                                                                  const StreamConfig& config,
                                                                  SampleFormat format,
                                                                  InputCallback data,
                                                                  ErrorCallback error) {
    if (input_build_error) return fail(*input_build_error);
    return keep_stream(
        FakeStream{Direction::Input, device, config, format, std::move(data), {}, std::move(error)});
}

Result<std::unique_ptr<AudioStream>> FakeHost::build_output_stream(const DeviceHandle& device,
                                                                   const StreamConfig& config,
                                                                   SampleFormat format,
                                                                   OutputCallback data,
                                                                   ErrorCallback error) {
    if (output_build_error) return fail(*output_build_error);
    return keep_stream(FakeStream{Direction::Output, device, config, format, {}, std::move(data),
                                  std::move(error)});
}

std::unique_ptr<AudioStream> FakeHost::keep_stream(FakeStream stream) {
    auto s = std::make_shared<FakeStream>(std::move(stream));
    streams.push_back(s);
    return std::make_unique<FakeStreamHandle>(s, start_error);
}

}  // namespace mixengine
