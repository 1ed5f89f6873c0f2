// UTF-8 validation for text that arrives from outside (standard input, stored documents).
#pragma once

#include <string_view>

namespace mixengine {

// True when `s` is well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view s) noexcept;

}  // namespace mixengine
