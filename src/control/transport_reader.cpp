#include "control/transport_reader.h"

#include <cstdint>
#include <string>

#include "control/worker.h"

#include "control/utf8.h"

namespace mixengine {

namespace {

bool is_white_space(uint32_t cp) noexcept {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

bool is_continuation(char c) noexcept {
    return (static_cast<uint8_t>(c) & 0xC0) == 0x80;
}

// The character starting at `s[0]` (the line reader has already refused malformed text).
uint32_t decode_at(std::string_view s, std::size_t& length) noexcept {
    const Utf8Char c = decode_utf8_char(s);
    length = c.length == 0 ? 1 : c.length;
    return c.length == 0 ? 0xFFFD : c.code_point;
}

std::string_view trim_white_space(std::string_view s) noexcept {
    while (!s.empty()) {
        std::size_t n = 0;
        if (!is_white_space(decode_at(s, n))) break;
        s.remove_prefix(n);
    }
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && s.size() - start < 4 && is_continuation(s[start])) --start;
        std::size_t n = 0;
        if (!is_white_space(decode_at(s.substr(start), n))) break;
        s.remove_suffix(s.size() - start);
    }
    return s;
}

}  // namespace

TransportWord parse_transport_word(std::string_view line) noexcept {
    std::string_view word = trim_white_space(line);
    while (!word.empty() && word.front() == '"') word.remove_prefix(1);
    while (!word.empty() && word.back() == '"') word.remove_suffix(1);
    if (word == "stop" || word == "quit") return TransportWord::Stop;
    if (word == "pause") return TransportWord::Pause;
    if (word == "resume") return TransportWord::Resume;
    return TransportWord::Other;
}

void run_transport_reader(ByteSource source, const SharedFlag& stop, const SharedFlag& paused) {
    {
        LineReader reader(std::move(source));
        std::string line;
        while (reader.next(line)) {
            const TransportWord word = parse_transport_word(line);
            if (word == TransportWord::Stop) break;
            if (word == TransportWord::Pause && paused) paused->store(true);
            if (word == TransportWord::Resume && paused) paused->store(false);
        }
    }
    if (stop) stop->store(true);
}

bool start_transport_reader(SharedFlag stop, SharedFlag paused) {
    return start_worker(WorkerSpec::required_by_mode(kNoReaderText, stop),
                        [stop, paused] { run_transport_reader(fd_byte_source(0), stop, paused); });
}

}  // namespace mixengine
