// Numeric helpers with the semantics the whole system relies on: float-to-integer conversions that
// saturate (NaN gives 0), and clamps that stay defined when the bounds are crossed.
#pragma once

#include <cmath>
#include <concepts>
#include <limits>

namespace mixengine {

// Converts a float to an integer type, truncating toward zero and saturating at the type's
// limits; NaN becomes 0. A plain static_cast is undefined behaviour out of range.
template <std::integral T, std::floating_point F>
constexpr T saturating_cast(F x) noexcept {
    if (std::isnan(x)) return T{0};
    constexpr F lo = static_cast<F>(std::numeric_limits<T>::min());
    // max() + 1 is a power of two and therefore exact in F; max() itself may round up.
    constexpr F hi_excl = static_cast<F>(std::numeric_limits<T>::max() / 2 + 1) * F{2};
    if (x <= lo) return std::numeric_limits<T>::min();
    if (x >= hi_excl) return std::numeric_limits<T>::max();
    return static_cast<T>(x);
}

// clamp(v, lo, hi) as max then min: when hi < lo the result is hi, never undefined; NaN in v
// gives lo (fmax ignores the NaN operand).
template <std::floating_point F>
constexpr F clamp_lohi(F v, F lo, F hi) noexcept {
    return std::fmin(std::fmax(v, lo), hi);
}

// Clamps a sample to full scale, [-1, 1], wherever one leaves the console; a NaN becomes silence
// rather than a full-scale sample.
inline float clamp_output(float x) noexcept {
    if (x >= -1.0f) return x <= 1.0f ? x : 1.0f;
    return x < -1.0f ? -1.0f : 0.0f;
}

// dB to linear amplitude, single precision.
inline float db_to_lin(float db) noexcept {
    return std::pow(10.0f, db / 20.0f);
}

// Saturating unsigned add.
template <std::unsigned_integral T>
constexpr T sat_add(T a, T b) noexcept {
    T r = a + b;
    return r < a ? std::numeric_limits<T>::max() : r;
}

}  // namespace mixengine
