#include "entry/detect_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/band_spectrum.h"
#include "control/line_reader.h"
#include "control/telemetry.h"
#include "control/worker.h"
#include "entry/modes.h"

namespace mixengine {

namespace {

constexpr auto kSpecInterval = std::chrono::milliseconds(100);

// The loopback socket with its receive timeout, closed when the mode ends.
class UdpSocket {
  public:
    UdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~UdpSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool bind_loopback() {
        if (fd_ < 0) return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        return ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    }
    void set_timeout(std::chrono::milliseconds t) {
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(t.count() / 1000);
        tv.tv_usec = static_cast<suseconds_t>((t.count() % 1000) * 1000);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // best effort
    }
    // The default buffer holds a few dozen datagrams of a thousand samples: a front end that
    // sends many channels in bursts would lose some whenever this process is scheduled late.
    void enlarge_receive_buffer(int bytes) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);  // best effort
    }
    uint16_t port() const {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
        return ntohs(addr.sin_port);
    }
    // Bytes received, or a negative value on a timeout or error.
    ssize_t receive(uint8_t* buffer, std::size_t size) { return ::recv(fd_, buffer, size, 0); }

  private:
    int fd_;
};

}  // namespace

std::array<float, kDetectBands> detect_band_summary(std::span<const float> spectrum) noexcept {
    static_assert(kDetectBands == kRtaBands);
    const std::array<BandBins, kRtaBands> bins = rta_band_bins(kDetectRate);
    std::array<float, kDetectBands> out;
    const std::size_t n = spectrum.size();
    for (std::size_t k = 0; k < kDetectBands; ++k) {
        const std::size_t first = bins[k].lo;
        std::size_t last = n == 0 ? 0 : std::min<std::size_t>(bins[k].hi, n - 1);
        if (last < first) last = first;
        float value = -120.0f;
        for (std::size_t j = first; j <= last && j < n; ++j) value = std::fmax(value, spectrum[j]);
        out[k] = std::round(value);
    }
    return out;
}

DetectReceiver::DetectReceiver(std::shared_ptr<DetectTable> table, Clock::time_point start)
    : table_(std::move(table)) {
    for (auto& d : detectors_) d = std::make_unique<FeedbackDetector>(kDetectRate);
    last_spec_.fill(start);
    samples_.reserve(kDatagramBytes / 4);
}

void DetectReceiver::handle(std::span<const uint8_t> datagram, Clock::time_point now) {
    if (datagram.size() < 5) return;
    const std::size_t c = datagram[0];
    if (c >= kDetectChannels) return;

    FbaCfg cfg;
    bool spec = false;
    bool fresh = false;
    {
        std::lock_guard<std::mutex> lock(table_->mutex);
        DetectChannel& ch = table_->channels[c];
        fresh = ch.reset;
        ch.reset = false;
        cfg = ch.cfg;
        spec = ch.spec;
    }
    // Built outside the lock: planning the transform takes a while.
    if (fresh) detectors_[c] = std::make_unique<FeedbackDetector>(kDetectRate);
    if (!cfg.on) return;

    const std::size_t n = (datagram.size() - 1) / 4;
    samples_.resize(n);
    std::memcpy(samples_.data(), datagram.data() + 1, n * 4);
    FeedbackDetector& detector = *detectors_[c];
    for (const float f : detector.process(samples_, cfg)) {
        print_json(Json{{"t", "detect"}, {"i", c}, {"f", json_f32(std::round(f * 10.0f) / 10.0f)}});
    }
    if (spec && now - last_spec_[c] >= kSpecInterval && !detector.spectrum().empty()) {
        last_spec_[c] = now;
        Json bands = Json::array();
        for (const float b : detect_band_summary(detector.spectrum())) bands.push_back(json_f32(b));
        print_json(Json{{"t", "spec"}, {"i", c}, {"b", std::move(bands)}});
    }
}

int run_detect_mode() {
    UdpSocket socket;
    if (!socket.bind_loopback()) {
        print_error("Cannot open the detector.");
        return 0;
    }
    socket.set_timeout(std::chrono::milliseconds(50));
    socket.enlarge_receive_buffer(4 << 20);
    print_json(Json{{"t", "ready"}, {"port", socket.port()}});

    auto table = std::make_shared<DetectTable>();
    auto stop = std::make_shared<std::atomic<bool>>(false);
    // Without a reader nothing could ever configure or stop the service.
    if (!start_worker(WorkerSpec::required_by_mode(kNoReaderText, stop),
                      [table, stop] { run_detect_reader(fd_byte_source(0), table, stop); }))
        return 0;

    DetectReceiver receiver(table, DetectReceiver::Clock::now());
    std::vector<uint8_t> buffer(kDatagramBytes);
    while (!stop->load()) {
        const ssize_t got = socket.receive(buffer.data(), buffer.size());
        if (got > 0) {
            receiver.handle({buffer.data(), static_cast<std::size_t>(got)},
                            DetectReceiver::Clock::now());
        }
    }
    return 0;
}

}  // namespace mixengine
