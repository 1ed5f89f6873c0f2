// The seed and key with which the practice library is scrambled into the executable. The same
// routine scrambles (at build time) and unscrambles (at run time): it is its own inverse.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mixengine {

inline constexpr uint32_t kLibrarySeed = 0x6d1e4a37u;
inline constexpr char kLibraryKey[] = "front-of-house-2026!";
inline constexpr std::size_t kLibraryKeySize = sizeof(kLibraryKey) - 1;
static_assert(kLibraryKeySize == 20);

// XORs every byte with a 32-bit xorshift stream started at `seed` and with the repeating key.
inline void scramble_bytes(unsigned char* data, std::size_t size, uint32_t seed,
                           const char* key, std::size_t key_size) noexcept {
    uint32_t state = seed;
    for (std::size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        data[i] = static_cast<unsigned char>(data[i] ^ (state & 0xFFu) ^
                                             static_cast<unsigned char>(key[i % key_size]));
    }
}

}  // namespace mixengine
