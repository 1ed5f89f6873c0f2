// The integer decoders: one for numbers written as text (command-line values, designator parts),
// one for JSON values (command members, record fields). Both are strict: whatever is not exactly
// an integer of the wanted range is no number at all, never a converted or wrapped one.
#pragma once

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <type_traits>

namespace mixengine {

// Unsigned decimal: an optional "+", then one or more ASCII digits, nothing else, no overflow of
// T. Leading zeros are fine ("007" is 7).
template <typename T>
constexpr std::optional<T> parse_unsigned(std::string_view text) noexcept {
    static_assert(std::is_unsigned_v<T>);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    T value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const T digit = static_cast<T>(c - '0');
        if (value > (std::numeric_limits<T>::max() - digit) / 10) return std::nullopt;
        value = static_cast<T>(value * 10 + digit);
    }
    return value;
}

// A JSON integer as its sign and magnitude, so that every 64-bit value of either sign fits.
struct JsonInteger {
    bool negative = false;
    uint64_t magnitude = 0;
};

// Only a JSON integer: 12.0 and 1e1 are floats to the parser and are no integer here, nor is a
// string of digits.
inline std::optional<JsonInteger> json_integer(const nlohmann::json& v) noexcept {
    if (v.is_number_unsigned())
        return JsonInteger{false, *v.get_ptr<const nlohmann::json::number_unsigned_t*>()};
    if (!v.is_number_integer()) return std::nullopt;
    const int64_t i = *v.get_ptr<const nlohmann::json::number_integer_t*>();
    // -(i + 1) + 1 keeps the most negative value from overflowing.
    return i < 0 ? JsonInteger{true, static_cast<uint64_t>(-(i + 1)) + 1}
                 : JsonInteger{false, static_cast<uint64_t>(i)};
}

// A JSON integer within [lo, hi], else nullopt.
inline std::optional<uint64_t> json_integer_in(const nlohmann::json& v, uint64_t lo,
                                               uint64_t hi) noexcept {
    const std::optional<JsonInteger> i = json_integer(v);
    if (!i || i->negative || i->magnitude < lo || i->magnitude > hi) return std::nullopt;
    return i->magnitude;
}

}  // namespace mixengine
