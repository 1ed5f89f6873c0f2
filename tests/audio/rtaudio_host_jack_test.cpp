// The system host over RtAudio, on a private JACK dummy server: what it reports for the server's
// device, streams that run and stop for good on release, and refusals it cannot honour.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "audio/device_lookup.h"
#include "audio/rtaudio_host.h"
#include "support/jack_test_server.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;

class SystemHost : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.wait_ready()) << "jackd did not start";
        setenv("JACK_DEFAULT_SERVER", server_.name().c_str(), 1);
        host_ = make_system_host();
        device_ = find_device(*host_, "system", Direction::Input);
        ASSERT_TRUE(device_);
    }
    void TearDown() override { unsetenv("JACK_DEFAULT_SERVER"); }

    // Waits (generously) until the counter passes `n`.
    static bool reaches(const std::atomic<int>& counter, int n) {
        for (int i = 0; i < 1000 && counter.load() < n; ++i) std::this_thread::sleep_for(10ms);
        return counter.load() >= n;
    }

    testing::JackTestServer server_;
    std::unique_ptr<AudioHost> host_;
    std::optional<DeviceHandle> device_;
};

TEST_F(SystemHost, DescribesTheJackSystemDevice) {
    EXPECT_EQ(*host_->host_name(), "Jack");
    EXPECT_EQ(*host_->device_name(*device_), "system");
    EXPECT_EQ(*host_->supported_configs(*device_, Direction::Input),
              (std::vector<StreamConfigRange>{{16, 48000, 48000, 0, 0, SampleFormat::F32}}));
    EXPECT_EQ(*host_->supported_configs(*device_, Direction::Output),
              (std::vector<StreamConfigRange>{{8, 48000, 48000, 0, 0, SampleFormat::F32}}));
    EXPECT_EQ(*host_->default_config(*device_, Direction::Input),
              (DefaultConfig{16, 48000, SampleFormat::F32}));
    EXPECT_EQ(*host_->default_config(*device_, Direction::Output),
              (DefaultConfig{8, 48000, SampleFormat::F32}));
}

TEST_F(SystemHost, StreamsDeliverBlocksOfTheirTypeAndStopOnRelease) {
    std::atomic<int> in_blocks{0}, out_blocks{0};
    std::atomic<std::size_t> in_size{0}, out_size{0};
    auto in = host_->build_input_stream(
        *device_, StreamConfig{4, 48000, 256}, SampleFormat::I16,
        [&](InputBlock b) {
            in_size = std::get<std::span<const int16_t>>(b).size();
            ++in_blocks;
        },
        [](const std::string&) {});
    ASSERT_TRUE(in) << in.error();
    auto out = host_->build_output_stream(
        *device_, StreamConfig{2, 48000, 256}, SampleFormat::I32,
        [&](OutputBlock b) {
            auto s = std::get<std::span<int32_t>>(b);
            std::fill(s.begin(), s.end(), 0);
            out_size = s.size();
            ++out_blocks;
        },
        [](const std::string&) {});
    ASSERT_TRUE(out) << out.error();
    ASSERT_TRUE((*in)->start());
    ASSERT_TRUE((*out)->start());
    EXPECT_TRUE(reaches(in_blocks, 5));
    EXPECT_TRUE(reaches(out_blocks, 5));
    EXPECT_EQ(in_size.load(), 4u * 256u);
    EXPECT_EQ(out_size.load(), 2u * 256u);

    (*in)->release();
    (*out)->release();
    const int in_after = in_blocks.load(), out_after = out_blocks.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(in_blocks.load(), in_after);
    EXPECT_EQ(out_blocks.load(), out_after);
}

TEST_F(SystemHost, RefusesWhatTheServerCannotDo) {
    const auto ignore = [](InputBlock) {};
    const auto quiet = [](const std::string&) {};
    for (const StreamConfig& config :
         {StreamConfig{2, 44100, 256}, StreamConfig{2, 48000, 1024}, StreamConfig{64, 48000, {}}}) {
        const auto s =
            host_->build_input_stream(*device_, config, SampleFormat::F32, ignore, quiet);
        ASSERT_FALSE(s) << config.rate << " " << config.channels;
        EXPECT_FALSE(s.error().empty());
    }
}

}  // namespace
}  // namespace mixengine
