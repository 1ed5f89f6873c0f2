#include "entry/detect_service.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "control/telemetry.h"
#include "support/captured_lines.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using Clock = DetectReceiver::Clock;

std::vector<uint8_t> datagram(uint8_t channel, const std::vector<float>& samples,
                              std::size_t extra_bytes = 0) {
    std::vector<uint8_t> d(1 + 4 * samples.size() + extra_bytes, 0xAB);
    d[0] = channel;
    std::memcpy(d.data() + 1, samples.data(), 4 * samples.size());
    return d;
}

// A service with its printed lines captured and a clock that moves 10 ms per datagram.
class Rig {
  public:
    Rig() : table_(std::make_shared<DetectTable>()), receiver_(table_, t_) {}

    void command(const char* line) { handle_detect_line(line, *table_); }
    void advance(Clock::duration d) { t_ += d; }
    void send(const std::vector<uint8_t>& d) {
        t_ += 10ms;
        receiver_.handle(d, t_);
    }
    // `count` samples of a 1 kHz sine at -20 dBFS, continuing its phase, in datagrams of `per`.
    void sine(uint8_t channel, std::size_t count, std::size_t per = 480) {
        while (count > 0) {
            std::vector<float> s(std::min(per, count));
            for (auto& x : s) {
                x = static_cast<float>(0.1 *
                                       std::sin(2.0 * std::numbers::pi * 1000.0 * n_++ / 48000.0));
            }
            count -= s.size();
            send(datagram(channel, s));
        }
    }
    std::vector<Json> take() { return lines_.take(); }

  private:
    testing::CapturedLines lines_;
    std::shared_ptr<DetectTable> table_;
    Clock::time_point t_ = Clock::time_point{};
    DetectReceiver receiver_;
    std::size_t n_ = 0;
};

constexpr std::size_t kEighthFrame = 4096 + 7 * 2048;  // samples up to the 8th frame

TEST(DetectReceiver, ReportsASteadySineInTheFrameThePersistenceRuleNames) {
    Rig rig;
    rig.command(R"({"t":"cfg","i":2,"on":true})");
    rig.sine(2, kEighthFrame - 1, 512);
    EXPECT_TRUE(rig.take().empty()) << "nothing before the 8th frame";
    rig.sine(2, 1);
    const std::vector<Json> lines = rig.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["t"], "detect");
    EXPECT_EQ(lines[0]["i"], 2);
    const double f = lines[0]["f"].get<double>();
    EXPECT_NEAR(f, 1000.0, 11.71875);
    EXPECT_EQ(f, static_cast<double>(std::round(static_cast<float>(f) * 10.0f) / 10.0f))
        << "a tenth of a hertz in single precision";
}

TEST(DetectReceiver, DatagramsThatCarryNoSampleOrNoChannelChangeNothing) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        const char* name;
        std::vector<uint8_t> d;
    } junk[] = {
        {"empty", {}},
        {"channel byte only", {2}},
        {"4 bytes", {2, 0, 0, 128}},
        {"channel 64", datagram(64, std::vector<float>(4096, 0.5f))},
        {"channel 255", datagram(255, std::vector<float>(4096, 0.5f))},
        {"largest datagram, channel 70", datagram(70, std::vector<float>(16376, 0.25f), 2)},
    };
    Rig rig;
    rig.command(R"({"t":"cfg","i":2,"on":true})");
    for (const auto& j : junk) rig.send(j.d);
    // Non-finite samples on the channel itself are taken as silence: no report, no harm.
    rig.send(datagram(2, std::vector<float>(16376, nan), 3));
    rig.send(datagram(2, std::vector<float>(16376, inf)));
    EXPECT_TRUE(rig.take().empty());
    // The channel still answers a sine on time, in its 8th frame.
    rig.command(R"({"t":"reset","i":2})");
    rig.sine(2, kEighthFrame - 1);
    EXPECT_TRUE(rig.take().empty());
    rig.sine(2, 1);
    EXPECT_EQ(rig.take().size(), 1u);
}

TEST(DetectReceiver, ASpareByteIsIgnoredAndSamplesCountFromTheSecondByte) {
    Rig rig;
    rig.command(R"({"t":"cfg","i":2,"on":true,"spec":true})");
    rig.advance(1s);                         // a spectrum line is due as soon as there is one
    rig.send(datagram(2, {0.0f, 0.0f}, 1));  // 10 bytes: two samples
    rig.send(datagram(2, std::vector<float>(4093, 0.0f), 3));
    EXPECT_TRUE(rig.take().empty()) << "4095 samples: no frame yet";
    rig.send(datagram(2, {0.0f}));
    const std::vector<Json> lines = rig.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["t"], "spec");
}

TEST(DetectReceiver, SpectraComeAtMostEvery100msWith96WholeBands) {
    Rig rig;
    rig.command(R"({"t":"cfg","i":9,"on":true,"spec":true,"persist":1000})");
    rig.sine(9, 48000, 480);  // 100 datagrams, 10 ms apart
    const std::vector<Json> lines = rig.take();
    // The first frame is complete after 4096 samples (the 9th datagram, 90 ms): the first line
    // waits until 100 ms have passed since the start; then one every 100 ms.
    ASSERT_EQ(lines.size(), 10u);
    for (const Json& l : lines) {
        EXPECT_EQ(l["t"], "spec");
        EXPECT_EQ(l["i"], 9);
        ASSERT_EQ(l["b"].size(), 96u);
        for (const Json& b : l["b"]) {
            EXPECT_GE(b.get<double>(), -120.0);
            EXPECT_EQ(b.get<double>(), std::round(b.get<double>()));
        }
    }
    // The sine's band (974 to 1047 Hz) reads its level, less the window's scalloping.
    EXPECT_NEAR(lines.back()["b"][54].get<double>(), -20.0, 1.0);
}

TEST(DetectReceiver, ResetStartsAfreshAndAChannelSwitchedOffStaysQuiet) {
    Rig rig;
    rig.command(R"({"t":"cfg","i":5,"on":true})");
    rig.command(R"({"t":"cfg","i":6})");
    rig.sine(5, kEighthFrame - 2048);  // 7 frames
    rig.sine(6, kEighthFrame * 3);
    rig.command(R"({"t":"reset","i":5})");
    rig.sine(5, kEighthFrame - 1);  // no memory of the 7 frames before the reset
    EXPECT_TRUE(rig.take().empty());
    rig.sine(5, 1);
    EXPECT_EQ(rig.take().size(), 1u);
}

TEST(DetectBandSummary, TakesTheLoudestBinOfEachBandAndFloorsEmptyBandsAt120) {
    std::vector<float> s(2048, -150.0f);
    s[85] = -20.5f;  // 996 Hz: band 54 alone (974 to 1047 Hz, bins 83 to 90)
    s[86] = std::numeric_limits<float>::quiet_NaN();
    s[2047] = -10.0f;  // 23.99 kHz: beyond the last band
    const auto bands = detect_band_summary(s);
    for (std::size_t k = 0; k < kDetectBands; ++k)
        EXPECT_EQ(bands[k], k == 54 ? -21.0f : -120.0f) << "band " << k;

    for (const float b : detect_band_summary({})) EXPECT_EQ(b, -120.0f);
    // A short spectrum: low bands repeat their bins, bands beyond it read -120.
    const std::vector<float> low(10, -30.0f);
    const auto short_bands = detect_band_summary(low);
    EXPECT_EQ(short_bands[0], -30.0f);
    EXPECT_EQ(short_bands[1], -30.0f);
    EXPECT_EQ(short_bands[95], -120.0f);
}

}  // namespace
}  // namespace mixengine
