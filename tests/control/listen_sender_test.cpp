// The listen stream as the front end receives it: the sender thread fed by a real engine, read
// back from a UDP socket on the loopback interface.
#include "control/listen_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "engine/meters.h"
#include "engine/mix_engine.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace mixengine {
namespace {

// The front end's side: a socket bound to an ephemeral loopback port.
class ListenReceiver {
  public:
    ListenReceiver() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        const int big = 4 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~ListenReceiver() { ::close(fd_); }
    uint16_t port() const { return port_; }

    // The next datagram, or nothing within the timeout.
    std::optional<std::vector<uint8_t>> receive(int timeout_ms) {
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::vector<uint8_t> buf(65536);
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0) return std::nullopt;
        buf.resize(static_cast<std::size_t>(n));
        return buf;
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

std::vector<int32_t> decode(const std::vector<uint8_t>& d, int bits) {
    std::vector<int32_t> v;
    if (bits == 24) {
        for (std::size_t i = 0; i + 2 < d.size(); i += 3) {
            const uint32_t u = d[i] | (d[i + 1] << 8) | (uint32_t(d[i + 2]) << 16);
            v.push_back(static_cast<int32_t>(u << 8) >> 8);
        }
    } else {
        for (std::size_t i = 0; i + 1 < d.size(); i += 2)
            v.push_back(static_cast<int16_t>(d[i] | (d[i + 1] << 8)));
    }
    return v;
}

// An engine whose listen ring feeds a running sender, and the sender's settings.
struct Stream {
    explicit Stream(float rate) : engine(rate), meters(2) {
        engine.install_listen_ring(start_listen_sender(state, rate));
    }
    ~Stream() { stop->store(true); }

    void listen(std::optional<SignalSource> src, ListenSettings settings) {
        engine.apply_update(update::ListenSource{src});
        state->set_listen(settings);
    }
    // Runs one block and returns the engine's first two output channels.
    std::vector<float> run(const std::vector<float>& in, std::size_t in_ch) {
        const std::size_t frames = in.size() / in_ch;
        std::vector<float> out(frames * 2);
        engine.process(in, in_ch, out, 2, meters, {});
        return out;
    }

    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<ControlState> state = std::make_shared<ControlState>(stop);
    MixEngine engine;
    Meters meters;
};

TEST(ListenSender, ConvertsFullScaleSilenceAndNaNAsTheFrontEndExpects) {
    struct Case {
        float x;
        std::vector<uint8_t> wide;  // exact 24-bit bytes
        int16_t narrow_lo, narrow_hi;
    };
    const float nan = std::nanf("");
    const Case cases[] = {
        {1.5f, {0xFF, 0xFF, 0x7F}, 32767, 32767},
        {1.0f, {0xFF, 0xFF, 0x7F}, 32766, 32767},
        {-1.0f, {0x01, 0x00, 0x80}, -32767, -32766},
        {-7.0f, {0x01, 0x00, 0x80}, -32767, -32766},
        {0.0f, {0x00, 0x00, 0x00}, -1, 1},
        {0.5f, {0x00, 0x00, 0x40}, 16383, 16385},  // 4194303.5 rounds away from zero
        {nan, {0x00, 0x00, 0x00}, -1, 1},
    };
    ListenDither dither;
    for (const Case& c : cases) {
        uint8_t wide[3];
        encode_listen_24(c.x, wide);
        EXPECT_EQ(std::vector<uint8_t>(wide, wide + 3), c.wide) << "x = " << c.x;
        for (int k = 0; k < 200; ++k) {  // the dither takes a different value each time
            uint8_t narrow[2];
            encode_listen_16(c.x, dither, narrow);
            const auto v = static_cast<int16_t>(narrow[0] | (narrow[1] << 8));
            EXPECT_GE(v, c.narrow_lo) << "x = " << c.x;
            EXPECT_LE(v, c.narrow_hi) << "x = " << c.x;
        }
    }
    EXPECT_EQ(listen_packet_samples(48000.0f), 960u);
    EXPECT_EQ(listen_packet_samples(44100.0f), 882u);
    EXPECT_EQ(listen_packet_samples(96000.0f), 1920u);
}

// A strip with nothing on passes its input unchanged, so the received samples are the input's:
// exactly in 24 bits, within one step of dither (and unbiased on average) in 16 bits.
TEST(ListenSender, DeliversTenMillisecondDatagramsOfTheEngineSamples) {
    for (const float rate : {48000.0f, 96000.0f}) {
        for (const int bits : {24, 16}) {
            SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(bits) + " bits");
            Stream s(rate);
            ListenReceiver rx;
            s.listen(SignalSource{SignalSource::Kind::Strip, 0, false},
                     {true, rx.port(), static_cast<uint8_t>(bits)});
            const std::size_t packet = listen_packet_samples(rate);
            const std::size_t frames = packet / 2;
            double error_sum = 0.0;
            std::size_t count = 0;
            for (int p = 0; p < 30; ++p) {
                std::vector<float> in(frames);
                for (std::size_t i = 0; i < frames; ++i)
                    in[i] = 0.8f * std::sin(0.001f * float(p * frames + i) * float(i % 7 + 1));
                s.run(in, 1);
                const auto d = rx.receive(5000);
                ASSERT_TRUE(d) << "datagram " << p;
                ASSERT_EQ(d->size(), packet * std::size_t(bits / 8));
                const auto v = decode(*d, bits);
                for (std::size_t i = 0; i < packet; ++i) {
                    const float x = in[i / 2];  // the same sample on both sides
                    if (bits == 24) {
                        ASSERT_EQ(v[i], std::lround(x * 8388607.0f)) << "sample " << i;
                    } else {
                        const double e = v[i] - double(x) * 32767.0;
                        ASSERT_LE(std::fabs(e), 1.5) << "sample " << i;
                        error_sum += e;
                        ++count;
                    }
                }
            }
            if (bits == 16) {
                EXPECT_NEAR(error_sum / double(count), 0.0, 0.05);
            }
            EXPECT_FALSE(rx.receive(50)) << "one datagram per 10 ms of samples";
        }
    }
}

// Every source the front end can pick arrives as the same signal the engine routes to an output;
// switching the listen off stops the datagrams, a port nobody listens on stops nothing, and
// switching back on resumes with fresh audio. The sender is driven here without its thread.
TEST(ListenSender, FollowsTheChosenSourceAndStopsWhenSwitchedOff) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto state = std::make_shared<ControlState>(stop);
    MixEngine engine(48000.0f);
    Meters meters(2);
    auto [producer, consumer] = make_spsc_ring<float>(96000);
    engine.install_listen_ring(std::move(producer));
    ListenSender sender(state, std::move(consumer), listen_packet_samples(48000.0f));
    ASSERT_TRUE(sender.ready());
    ListenReceiver rx;

    engine.apply_update(update::StripSettings{
        0, StripCfg{.fader = 0.5f, .pan = -0.5f, .mono = 0.3f, .sends = {{}, {0.7f, 2}}}});
    engine.apply_update(update::StripSettings{1, StripCfg{.pan = 1.0f}});
    const std::size_t frames = 480;
    float phase = 0.0f;
    // Runs one block (a constant when `level` is given) and sends what it fed; returns the
    // engine's first two output channels.
    auto step = [&](std::optional<float> level = std::nullopt) {
        std::vector<float> in(frames * 2);
        for (std::size_t i = 0; i < frames; ++i, phase += 1.0f) {
            in[2 * i] = level ? *level : 0.6f * std::sin(0.05f * phase);
            in[2 * i + 1] = 0.3f * std::cos(0.011f * phase);
        }
        std::vector<float> out(frames * 2);
        engine.process(in, 2, out, 2, meters, {});
        sender.drain();
        return out;
    };

    using K = SignalSource::Kind;
    using R = OutputRoute::Kind;
    struct Case {
        SignalSource src;
        OutputRoute left, right;
    };
    const Case cases[] = {
        {{K::Main}, {R::MainL}, {R::MainR}},
        {{K::Mono}, {R::Mono}, {R::Mono}},
        {{K::Bus, 1}, {R::Bus, 1}, {R::Bus, 1}},
        {{K::Strip, 0, true}, {R::Strip, 0, true}, {R::Strip, 0, true}},
        {{K::Strip, 0, false}, {R::Strip, 0, false}, {R::Strip, 0, false}},
    };
    state->set_listen({true, rx.port(), 24});
    for (const Case& c : cases) {
        engine.apply_update(update::Patch{std::vector<int32_t>{0, 1}, {c.left, c.right}});
        engine.apply_update(update::ListenSource{c.src});
        const auto out = step();
        const auto d = rx.receive(5000);
        ASSERT_TRUE(d) << "source kind " << int(c.src.kind);
        const auto v = decode(*d, 24);
        ASSERT_EQ(v.size(), 2 * frames);
        for (std::size_t i = 0; i < v.size(); ++i)
            ASSERT_EQ(v[i], std::lround(out[i] * 8388607.0f))
                << "source kind " << int(c.src.kind) << ", sample " << i;
        EXPECT_FALSE(rx.receive(1));
    }

    // Off for longer than the ring holds: drained all the time, nothing sent.
    state->switch_listen_off();
    for (int p = 0; p < 150; ++p) step();
    EXPECT_FALSE(rx.receive(100));

    // A port nobody listens on loses the datagrams and nothing else.
    uint16_t closed_port = 0;
    {
        ListenReceiver gone;
        closed_port = gone.port();
    }
    state->set_listen({true, closed_port, 24});
    for (int p = 0; p < 5; ++p) step();

    // Back on: the next datagram already carries the newest audio.
    state->set_listen({true, rx.port(), 24});
    step(0.25f);
    const auto d = rx.receive(5000);
    ASSERT_TRUE(d);
    for (const int32_t v : decode(*d, 24)) ASSERT_EQ(v, std::lround(0.25f * 8388607.0f));

    // A source of none stops the engine's feed: nothing more to send.
    engine.apply_update(update::ListenSource{std::nullopt});
    step();
    EXPECT_FALSE(rx.receive(100));
}

}  // namespace
}  // namespace mixengine
