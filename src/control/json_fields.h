// Reading the members of a command object, shared by every JSON reader of standard input: the
// console's command reader and the detector service's. Lookups never throw and never convert:
// a member of the wrong type reads as absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace mixengine::json_fields {

inline const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

inline const std::string* string_member(const nlohmann::json& object, const char* key) {
    const nlohmann::json* v = member(object, key);
    return v && v->is_string() ? v->get_ptr<const nlohmann::json::string_t*>() : nullptr;
}

// A JSON integer within [lo, hi], else nullopt. Floats never count, even when whole.
inline std::optional<uint64_t> integer_in(const nlohmann::json* v, uint64_t lo, uint64_t hi) {
    if (!v) return std::nullopt;
    uint64_t u = 0;
    if (v->is_number_unsigned()) {
        u = *v->get_ptr<const nlohmann::json::number_unsigned_t*>();
    } else if (v->is_number_integer()) {
        const int64_t i = *v->get_ptr<const nlohmann::json::number_integer_t*>();
        if (i < 0) return std::nullopt;
        u = static_cast<uint64_t>(i);
    } else {
        return std::nullopt;
    }
    if (u < lo || u > hi) return std::nullopt;
    return u;
}

// "i": a non-negative integer, anything else (missing, negative, 3.0, "3") counts as 0.
inline std::size_t index_of(const nlohmann::json& cmd) {
    const auto i = integer_in(member(cmd, "i"), 0, std::numeric_limits<uint64_t>::max());
    return i ? static_cast<std::size_t>(*i) : 0;
}

}  // namespace mixengine::json_fields
