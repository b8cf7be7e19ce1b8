// Byte-order, comparison and wiping helpers shared by the AES-GCM engines.
// Internal to the engine classes.
#pragma once

#include <cstdint>
#include <cstring>

#include <string.h>

namespace vexa {
namespace gcm {

inline uint32_t load_be32(const unsigned char* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void store_be32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

inline uint64_t load_be64(const unsigned char* p)
{
    return (uint64_t(load_be32(p)) << 32) | load_be32(p + 4);
}

inline void store_be64(unsigned char* p, uint64_t v)
{
    store_be32(p, static_cast<uint32_t>(v >> 32));
    store_be32(p + 4, static_cast<uint32_t>(v));
}

// Tag comparison whose time does not depend on where the bytes differ.
inline bool tags_equal(const unsigned char* a, const unsigned char* b)
{
    unsigned int diff = 0;
    for (int i = 0; i < 16; ++i)
        diff |= static_cast<unsigned int>(a[i] ^ b[i]);
    return diff == 0;
}

// Clears key material in a way the compiler may not drop as a dead store.
inline void wipe(void* p, std::size_t n)
{
    explicit_bzero(p, n);
}

}  // namespace gcm
}  // namespace vexa
