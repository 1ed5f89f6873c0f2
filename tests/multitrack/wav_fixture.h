// Test helpers: hand-built WAV files, so that reader tests do not depend on the writer they are
// checking, and the scratch folder they go in.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace mixengine::testing {

using Bytes = std::vector<unsigned char>;

inline void append_u32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
inline void append_u16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
}
inline void append_id(Bytes& b, const char* id) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(id[i]));
}

inline uint32_t read_u32(const Bytes& b, std::size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

inline Bytes riff_head() {
    Bytes b;
    append_id(b, "RIFF");
    append_u32(b, 0);  // not examined by the reader
    append_id(b, "WAVE");
    return b;
}

inline void append_fmt(Bytes& b, uint16_t channels, uint32_t rate, uint16_t bits,
                       uint32_t size = 16) {
    append_id(b, "fmt ");
    append_u32(b, size);
    Bytes body;
    append_u16(body, 1);
    append_u16(body, channels);
    append_u32(body, rate);
    append_u32(body, rate * channels * bits / 8);
    append_u16(body, static_cast<uint16_t>(channels * bits / 8));
    append_u16(body, bits);
    body.resize(size, 0);
    b.insert(b.end(), body.begin(), body.end());
}

inline void append_data_header(Bytes& b, uint32_t size) {
    append_id(b, "data");
    append_u32(b, size);
}

inline void append_i16(Bytes& b, int16_t v) {
    append_u16(b, static_cast<uint16_t>(v));
}

inline void append_i24(Bytes& b, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 3; ++i) b.push_back(static_cast<unsigned char>(u >> (8 * i)));
}

// A complete 16-bit mono file with the given samples.
inline Bytes wav16(uint32_t rate, const std::vector<int16_t>& samples) {
    Bytes b = riff_head();
    append_fmt(b, 1, rate, 16);
    append_data_header(b, static_cast<uint32_t>(samples.size() * 2));
    for (int16_t s : samples) append_i16(b, s);
    return b;
}

inline void write_bytes(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline Bytes read_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace mixengine::testing
