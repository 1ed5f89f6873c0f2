#include "multitrack/recordings.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace mixengine {

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // overlong
            if (c == 0xED) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;  // overlong
            if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        i += len;
    }
    return true;
}

std::vector<std::string> list_recordings(const std::string& directory) {
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    if (ec) return paths;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        const std::string name = it->path().filename().native();
        if (name.size() < 6 || !name.starts_with("ch") || !name.ends_with(".wav")) continue;
        if (!is_valid_utf8(name)) continue;
        paths.push_back(it->path().native());
    }
    // std::string compares through char_traits<char>, i.e. as unsigned bytes.
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace mixengine
