#include "multitrack/recordings.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "control/utf8.h"

namespace mixengine {

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
