#include "control/telemetry.h"
#include "control/utf8.h"
#include "library.h"
#include "library_key.h"
#include "modes.h"

#include <vector>

namespace mixengine {

extern const unsigned char kScrambledLibrary[];
extern const std::size_t kScrambledLibrarySize;

std::string unscramble_library(std::span<const unsigned char> stored) {
    std::string text(stored.begin(), stored.end());
    scramble_bytes(reinterpret_cast<unsigned char*>(text.data()), text.size(), kLibrarySeed,
                   kLibraryKey, kLibraryKeySize);
    if (!is_valid_utf8(text)) return {};
    return text;
}

std::string library_line(const std::string& document) {
    return R"({"t":"library","data":)" + (document.empty() ? std::string("null") : document) +
           "}";
}

std::string embedded_library() {
    return unscramble_library({kScrambledLibrary, kScrambledLibrarySize});
}

int run_library_mode() {
    print_raw_line(library_line(embedded_library()));
    return 0;
}

}  // namespace mixengine
