// The live, record and play modes on a private JACK dummy server, started with standard input or
// standard output closed.
#include <filesystem>

#include "support/jack_test_server.h"
#include "entry/standard_descriptors.h"
#include "multitrack/recorder.h"
#include "multitrack/wav.h"
#include "multitrack/wav_fixture.h"

namespace mixengine {
namespace {

using testing::ClosedDescriptorCase;
using testing::JackTestServer;
using testing::ScratchDir;

// One 30 s track, so that playback could only end early by seeing the end of its input.
void write_long_take(const std::string& folder) {
    std::filesystem::create_directories(folder);
    auto w = WavWriter::create(folder + "/" + channel_file_name(0), 48000);
    ASSERT_TRUE(w) << w.error();
    for (int i = 0; i < 30 * 48000; ++i) ASSERT_TRUE(w->write_sample(0.0f));
    ASSERT_TRUE(w->finish(48000));
}

class ClosedDescriptorsJack : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.wait_ready()) << "jackd did not start";
        write_long_take(take_.path());
    }

    std::vector<ClosedDescriptorCase> modes() const {
        return {
            {"live", {"--in", "system", "--out", "system"}, R"({"t":"quit"})"},
            {"record", {"--record", "system", "--dir", recording_.file("new")}, "stop"},
            {"play", {"--play", "system", "--dir", take_.path()}, "stop"},
        };
    }

    JackTestServer server_;
    ScratchDir take_, recording_;
};

TEST_P(ClosedDescriptorsJack, EveryDeviceMode) {
    for (const auto& c : modes()) {
        if (GetParam() == 0)
            testing::expect_closed_input_ends(c, {server_.env()});
        else
            testing::expect_closed_output_is_null(c, {server_.env()});
    }
}

INSTANTIATE_TEST_SUITE_P(InputOrOutput, ClosedDescriptorsJack, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "Input" : "Output"; });

}  // namespace
}  // namespace mixengine
