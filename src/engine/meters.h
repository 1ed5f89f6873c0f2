// Meters: what the engine measures, shared with the telemetry reader without locks. Every entry is
// a relaxed 32-bit atomic holding the bit pattern of a non-negative float, so unsigned max/min on
// the bits orders them like the floats. The engine raises peaks and lowers gains; the reader
// exchanges each entry for its reset value, so every read sees the extreme since the last one.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "signals.h"

namespace mixengine {

using MeterCell = std::atomic<uint32_t>;

inline constexpr float kPeakReset = 0.0f;
inline constexpr float kGainReset = 1.0f;

// Raises a peak meter to |v| (v must already be a magnitude; NaN is ignored).
inline void meter_max(MeterCell& m, float v) noexcept {
    if (!(v > 0.0f)) return;
    const uint32_t bits = std::bit_cast<uint32_t>(v);
    uint32_t cur = m.load(std::memory_order_relaxed);
    while (bits > cur && !m.compare_exchange_weak(cur, bits, std::memory_order_relaxed)) {
    }
}

// Lowers a gain meter to g, clamped to [0, 1] first (NaN counts as 0).
inline void meter_min(MeterCell& m, float g) noexcept {
    const float c = g > 1.0f ? 1.0f : (g > 0.0f ? g : 0.0f);
    const uint32_t bits = std::bit_cast<uint32_t>(c);
    uint32_t cur = m.load(std::memory_order_relaxed);
    while (bits < cur && !m.compare_exchange_weak(cur, bits, std::memory_order_relaxed)) {
    }
}

// Reader side: takes the value and puts the reset value in its place.
inline float meter_take(MeterCell& m, float reset) noexcept {
    return std::bit_cast<float>(
        m.exchange(std::bit_cast<uint32_t>(reset), std::memory_order_relaxed));
}

inline void meter_store(MeterCell& m, float v) noexcept {
    m.store(std::bit_cast<uint32_t>(v), std::memory_order_relaxed);
}
inline float meter_load(const MeterCell& m) noexcept {
    return std::bit_cast<float>(m.load(std::memory_order_relaxed));
}

// The dynamics' present gains while a practice room exists (plain stores, never reset): gate,
// compressor and automixer of every strip, then every bus compressor, main, mono.
inline constexpr std::size_t kLoopGainCells = 3 * kStrips + kBuses + 2;

struct Meters {
    explicit Meters(std::size_t output_channels)
        : strip_peak(kStrips),
          strip_gate(kStrips),
          strip_comp(kStrips),
          strip_amix(kStrips),
          bus_peak(kBuses),
          bus_comp(kBuses),
          out_peak(output_channels),
          loop_gain(kLoopGainCells) {
        for (auto* list : {&strip_gate, &strip_comp, &strip_amix, &bus_comp, &loop_gain})
            for (auto& m : *list) meter_store(m, kGainReset);
        meter_store(main_comp, kGainReset);
        meter_store(mono_comp, kGainReset);
    }

    std::vector<MeterCell> strip_peak;  // after the gate, before the equalisers: "in"
    std::vector<MeterCell> strip_gate;
    std::vector<MeterCell> strip_comp;
    std::vector<MeterCell> strip_amix;
    std::vector<MeterCell> bus_peak;
    std::vector<MeterCell> bus_comp;
    std::vector<MeterCell> out_peak;
    MeterCell main_l_peak{0};
    MeterCell main_r_peak{0};
    MeterCell main_comp{0};
    MeterCell mono_peak{0};
    MeterCell mono_comp{0};
    MeterCell loud_ms{0};                  // mean square of the latest 100 ms loudness block
    std::atomic<uint32_t> loud_blocks{0};  // counts published loudness blocks
    std::vector<MeterCell> loop_gain;      // kLoopGainCells
};

}  // namespace mixengine
