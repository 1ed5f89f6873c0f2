// One reading of the meter bridge: every meter is exchanged for its reset value (so each message
// carries the extreme since the previous one), loudness is brought up to date, and the whole is
// assembled as the "m" message. Meter values are rounded to 4 decimals in single precision.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "analysis/loudness_integrator.h"
#include "control/telemetry.h"
#include "engine/meters.h"

namespace mixengine {

// Rounds a meter value to 4 decimals in single precision, halves away from zero.
float round_meter(float v) noexcept;

// Reads and resets `meters` in the fixed order (strips, loudness, buses, outputs, main, mono) and
// returns the "m" message. `loud_reset` is exchanged for false; only the first `output_count`
// output peaks (at most as many as exist) are read and reported.
Json read_meter_message(Meters& meters, LoudnessIntegrator& loudness, std::atomic<bool>& loud_reset,
                        std::size_t output_count, uint64_t xruns);

}  // namespace mixengine
