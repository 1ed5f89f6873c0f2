// The detector service end to end: the real executable, its ready line, commands on its
// standard input and sample datagrams on its loopback port. Every wait is for a line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/json_lines.h"

namespace mixengine {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace testing;

constexpr auto kDetectWait = 20s;

// The service ended of itself: status 0 and nothing on standard error.
void expect_clean_exit(ChildProcess& p) {
    EXPECT_EQ(p.wait(kDetectWait), 0);
    EXPECT_EQ(p.stderr_text(), "");
}

class DatagramSender {
  public:
    explicit DatagramSender(uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        to_.sin_family = AF_INET;
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to_.sin_port = htons(port);
    }
    ~DatagramSender() { ::close(fd_); }
    void send(const std::vector<uint8_t>& d) {
        ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
    }
    // `count` samples of a 1 kHz sine at -20 dBFS for `channel`, 480 to a datagram, paced
    // loosely so that the loopback buffer never overflows.
    void sine(uint8_t channel, std::size_t count) {
        for (std::size_t done = 0; done < count; done += 480) {
            std::vector<uint8_t> d(1 + 480 * 4);
            d[0] = channel;
            for (std::size_t k = 0; k < 480; ++k) {
                const float x = static_cast<float>(
                    0.1 * std::sin(2.0 * std::numbers::pi * 1000.0 * double(n_++) / 48000.0));
                std::memcpy(d.data() + 1 + 4 * k, &x, 4);
            }
            send(d);
            std::this_thread::sleep_for(1ms);
        }
    }

  private:
    int fd_;
    sockaddr_in to_{};
    std::size_t n_ = 0;
};

// The service started and its "ready" line read; `udp` sends to the port that line names.
class DetectModeRunning : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(p.started());
        ready = expect_of_kind(p, "ready", kDetectWait);
        ASSERT_TRUE(ready.contains("port")) << ready;
        const int port = ready["port"].get<int>();
        ASSERT_GT(port, 0);
        udp.emplace(static_cast<uint16_t>(port));
    }

    ChildProcess p{MIXENGINE_BINARY, {"--detect"}};
    json ready;
    std::optional<DatagramSender> udp;
};

// Switches channel 2's detection on, sends it a second of the sine and waits for its "detect"
// line: none when the service stopped reading or answering.
std::optional<std::string> detect_on_channel_2(ChildProcess& p, DatagramSender& udp) {
    p.write_line(R"({"t":"cfg","i":2,"on":true})");
    std::this_thread::sleep_for(100ms);  // the reader runs beside the receive loop
    udp.sine(2, 48000);
    return p.read_until("\"i\":2,\"t\":\"detect\"", kDetectWait);
}

TEST_F(DetectModeRunning, DetectsASineSendsSpectraAndQuits) {
    ASSERT_EQ(ready.size(), 2u) << ready;

    p.write_line(R"({"t":"cfg","i":2,"on":true,"spec":true})");
    p.write_line(R"({"t":"quit","i":64})");  // not for any channel: ignored whole
    std::this_thread::sleep_for(100ms);      // the reader runs beside the receive loop
    udp->sine(2, 48000);
    // Spectra and the detection come in whatever order the frames give them.
    json detect, spec;
    while (detect.is_null() || spec.is_null()) {
        const auto line = p.read_line(kDetectWait);
        ASSERT_TRUE(line) << "no " << (detect.is_null() ? "\"detect\"" : "\"spec\"") << " line";
        const json j = json::parse(*line);
        if (j["t"] == "detect" && detect.is_null()) detect = j;
        if (j["t"] == "spec" && spec.is_null()) spec = j;
    }
    EXPECT_EQ(detect["i"], 2);
    EXPECT_NEAR(detect["f"].get<double>(), 1000.0, 11.72);
    EXPECT_EQ(spec["i"], 2);
    EXPECT_EQ(spec["b"].size(), 96u);

    p.write_line(R"({"t":"quit"})");
    expect_clean_exit(p);
}

TEST_F(DetectModeRunning, ALineThatIsNotUtf8IsIgnoredLikeAnyOtherNonCommand) {
    for (const char* junk : {"\xFF{\"t\":\"quit\"}", "{\"t\":\"quit\",\"x\":\"\xC0\xAF\"}",
                             "{\"t\":\"quit\"}\xE2\x9C"}) {  // the last one ends inside a character
        p.write_line(junk);
    }
    ASSERT_TRUE(detect_on_channel_2(p, *udp)) << "the service stopped reading or ended";
    p.write_line(R"({"t":"quit"})");
    expect_clean_exit(p);
}

TEST_F(DetectModeRunning, SurvivesARandomStreamAndStillAnswersASine) {
    for (int i = 0; i < 64; i += 3) {
        p.write_line(R"({"t":"cfg","on":true,"spec":true,"persist":3,"i":)" + std::to_string(i) +
                     "}");
    }
    std::this_thread::sleep_for(100ms);

    // Random lengths (up to the largest UDP payload), channel bytes and sample bits, NaN and
    // infinity among them; then a burst of 10000 small ones. Bounded in count and time.
    std::mt19937 rng(20261209);
    std::vector<uint8_t> d;
    for (int i = 0; i < 600; ++i) {
        const std::size_t len = i % 50 == 0 ? 65507 : rng() % 4100;
        d.resize(len);
        for (auto& b : d) b = static_cast<uint8_t>(rng());
        if (!d.empty()) d[0] = static_cast<uint8_t>(rng() % 80);
        udp->send(d);
        if (i % 20 == 0) std::this_thread::sleep_for(1ms);
    }
    for (int i = 0; i < 10000; ++i) udp->send({static_cast<uint8_t>(i % 70), 0, 0, 192, 127});

    // Whatever it printed meanwhile, the service still detects: a fresh channel 2, once the
    // burst has been taken in.
    std::this_thread::sleep_for(300ms);
    p.write_line(R"({"t":"reset","i":2})");
    const auto line = detect_on_channel_2(p, *udp);
    ASSERT_TRUE(line);
    EXPECT_NEAR(json::parse(*line)["f"].get<double>(), 1000.0, 11.72);

    p.close_stdin();  // the end of input stops it like "quit"
    expect_clean_exit(p);
}

TEST(DetectMode, ASocketThatCannotBeBoundIsOneErrorLineAndStatus0) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "nothing threaded here, and ThreadSanitizer wants to be loaded first";
#endif
    ChildProcess p(MIXENGINE_BINARY, {"--detect"},
                   {"LD_PRELOAD=" MIXENGINE_REFUSE_BIND,
                    "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:abort_on_error=1"});
    const auto line = p.read_line(kDetectWait);
    ASSERT_TRUE(line);
    EXPECT_EQ(json::parse(*line), json({{"t", "error"}, {"text", "Cannot open the detector."}}));
    EXPECT_EQ(p.read_line(1s), std::nullopt);
    expect_clean_exit(p);
}

}  // namespace
}  // namespace mixengine
