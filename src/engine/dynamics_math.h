// The level arithmetic the gate and compressor share, private to the engine: levels in dB and
// gains from dB, one at a time or a block at once, and comparisons that keep NaN where the level
// curves expect it, and how a run's final state is kept.
#pragma once

#include <cmath>
#include <cstddef>

#include "dynamics.h"

namespace mixengine {

// Levels are floored at -180 dBFS before they become dB.
inline float floored(float env) noexcept {
    return env > 1e-9f ? env : 1e-9f;
}

// 20 log10(x) and 10^(db / 20) in single precision, exactly as the level curves are defined: a
// faster base-2 route drifts by tens of ulps and can flip a gate decision right at its threshold.
// No reduction (0 dB) is the common case and is exact without the library call.
inline float lin_to_db(float x) noexcept {
    return 20.0f * std::log10(x);
}
inline float db_to_gain(float db) noexcept {
    return db == 0.0f ? 1.0f : std::pow(10.0f, db / 20.0f);
}

// Linear level at a dB mark, nudged by `margin_db`. Comparing a level against such a bound only
// replaces the logarithm where the answer cannot depend on it: the margin covers the rounding of
// the single-precision dB arithmetic, which grows with the magnitude of the marks involved.
inline float level_at(double mark_db, double margin_db) noexcept {
    return static_cast<float>(std::pow(10.0, (mark_db + margin_db) / 20.0));
}
inline double rounding_margin_db(double magnitude_db) noexcept {
    return 1e-3 + 1e-6 * magnitude_db;
}

// Like fmin / fmax for a NaN in the second (min) or first (max) operand, without a library call.
inline float min_of(float a, float b) noexcept {
    return b < a ? b : a;
}
inline float max_of(float a, float b) noexcept {
    return a > b ? a : b;
}

// A non-finite sample would leave a detector NaN for good; it starts afresh instead.
inline void store_gate_state(GateState& st, float env, float gain, float hold) noexcept {
    const bool sane = std::isfinite(env) && std::isfinite(gain);
    st.env = sane ? env : 0.0f;
    st.gain = sane ? gain : 1.0f;
    st.hold = hold;
}
inline void store_comp_state(CompState& st, float env, float gr, float hold) noexcept {
    const bool sane = std::isfinite(env) && std::isfinite(gr);
    st.env = sane ? env : 0.0f;
    st.gr_db = sane ? gr : 0.0f;
    st.hold = hold;
}

// 20 log10(x) for a block of levels, within 2 ulps of lin_to_db (see dynamics.cpp).
void block_lin_to_db(const float* x, float* db, std::size_t n) noexcept;
// 10^(db / 20) for a block of gain changes, within 1 ulp of db_to_gain; 0 dB is exactly 1.
void block_db_to_gain(const float* db, float* gain, std::size_t n) noexcept;

}  // namespace mixengine
