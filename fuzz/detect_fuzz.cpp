// The detector service: "cfg", "reset" and other lines of its command reader interleaved with
// sample datagrams, as a front end sends them. The input is a list of records: a kind byte, a
// 16-bit length and that many bytes. An even kind is a command line; an odd kind is a datagram,
// sent (kind >> 1) % 8 + 1 times so that whole analysis frames build up, with 10 ms between
// datagrams. Every line the service prints must be a "detect" or "spec" line of a channel below
// 64, a "spec" line with 96 whole numbers of at least -120 dB.
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "control/telemetry.h"
#include "entry/detect_service.h"

namespace mixengine {
namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

void check_output(const std::string& text) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const Json j = Json::parse(line, nullptr, false);
        require(j.is_object() && j.contains("t") && j.contains("i"));
        require(j["i"].is_number_unsigned() && j["i"].get<uint64_t>() < kDetectChannels);
        if (j["t"] == "detect") {
            require(j["f"].is_null() || j["f"].is_number());
        } else {
            require(j["t"] == "spec" && j["b"].is_array() && j["b"].size() == kDetectBands);
            for (const Json& b : j["b"]) {
                require(b.is_number());
                const double v = b.get<double>();
                require(v >= -120.0 && v == std::round(v));
            }
        }
    }
}

}  // namespace
}  // namespace mixengine

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace mixengine;
    using Clock = DetectReceiver::Clock;
    // Detectors are costly to build (each plans its transform): one receiver for the whole run,
    // as in a long session, and every input starts with default channels. A detector starts
    // afresh only when an input says "reset", so a find may need the inputs before it.
    static auto table = std::make_shared<DetectTable>();
    static DetectReceiver receiver(table, Clock::time_point{});
    static std::string printed;
    for (DetectChannel& ch : table->channels) ch = DetectChannel{};
    printed.clear();
    capture_output_for_tests(&printed);

    auto now = Clock::time_point{} + std::chrono::hours(1);
    std::size_t pos = 0;
    while (pos + 3 <= size) {
        const uint8_t kind = data[pos];
        const std::size_t len =
            std::min<std::size_t>(data[pos + 1] | data[pos + 2] << 8, size - pos - 3);
        const auto* body = data + pos + 3;
        pos += 3 + len;
        if (kind % 2 == 0) {
            const std::string_view line(reinterpret_cast<const char*>(body), len);
            if (handle_detect_line(line, *table) == CommandResult::Quit) break;
        } else {
            for (int r = 0; r <= (kind >> 1) % 8; ++r) {
                receiver.handle(std::span<const uint8_t>(body, len), now);
                now += std::chrono::milliseconds(10);
            }
        }
    }
    capture_output_for_tests(nullptr);
    check_output(printed);
    return 0;
}
