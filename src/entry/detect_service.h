// The detector service: feedback detection for a front end that makes its own audio. Sample
// datagrams arrive on a loopback UDP port, one channel byte (0..63) followed by 32-bit
// little-endian float samples; each channel has its own detector at 48 kHz and is configured by
// the service's command reader. Detections go out as "detect" lines and, on request, a 96-band
// summary of the latest spectrum as "spec" lines at most every 100 ms per channel.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "control/detect_reader.h"
#include "suppression/feedback_detector.h"

namespace mixengine {

inline constexpr std::size_t kDetectBands = 96;
inline constexpr std::size_t kDatagramBytes = 65536;
inline constexpr float kDetectRate = 48000.0f;

// Pure: the largest level of each of the spectrum analyser's 96 bands (20 Hz to 20 kHz, 32 per
// decade), over bins of 11.71875 Hz, NaN ignored, rounded to whole dB; -120 where a band holds no
// bin of the spectrum.
std::array<float, kDetectBands> detect_band_summary(std::span<const float> spectrum) noexcept;

// Everything the receive loop does with one datagram; it owns the detectors, so a test can feed
// datagrams with a clock of its own.
class DetectReceiver {
  public:
    using Clock = std::chrono::steady_clock;

    DetectReceiver(std::shared_ptr<DetectTable> table, Clock::time_point start);

    void handle(std::span<const uint8_t> datagram, Clock::time_point now);

  private:
    std::shared_ptr<DetectTable> table_;
    std::array<std::unique_ptr<FeedbackDetector>, kDetectChannels> detectors_;
    std::array<Clock::time_point, kDetectChannels> last_spec_;
    std::vector<float> samples_;
};

}  // namespace mixengine
