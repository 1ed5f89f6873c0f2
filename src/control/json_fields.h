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

#include "control/integers.h"

namespace mixengine::json_fields {

inline const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

inline const std::string* string_member(const nlohmann::json& object, const char* key) {
    const nlohmann::json* v = member(object, key);
    return v && v->is_string() ? v->get_ptr<const nlohmann::json::string_t*>() : nullptr;
}

// A member that is a JSON integer within [lo, hi], else nullopt.
inline std::optional<uint64_t> integer_member(const nlohmann::json& object, const char* key,
                                              uint64_t lo, uint64_t hi) {
    const nlohmann::json* v = member(object, key);
    return v ? json_integer_in(*v, lo, hi) : std::nullopt;
}

// "i": a non-negative integer, anything else (missing, negative, 3.0, "3") counts as 0.
inline std::size_t index_of(const nlohmann::json& cmd) {
    const auto i = integer_member(cmd, "i", 0, std::numeric_limits<uint64_t>::max());
    return i ? static_cast<std::size_t>(*i) : 0;
}

}  // namespace mixengine::json_fields
