// The practice library: a JSON document of exercises stored scrambled in the executable.
#pragma once

#include <span>
#include <string>

namespace mixengine {

// Unscrambles `stored`; returns the text, or an empty text when the result is not valid UTF-8.
std::string unscramble_library(std::span<const unsigned char> stored);

// The library line: {"t":"library","data":<document>}. A document that is empty (it did not
// unscramble to valid text) is written as null, so the line stays valid JSON.
std::string library_line(const std::string& document);

// The embedded document, unscrambled.
std::string embedded_library();

}  // namespace mixengine
