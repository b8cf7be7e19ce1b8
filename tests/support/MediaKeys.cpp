#include "MediaKeys.h"

#include <openssl/rand.h>

#include <cstdio>
#include <stdexcept>

namespace kavri_test {

MediaKeys MediaKeys::random(std::size_t key_size)
{
    MediaKeys k;
    k.key.resize(key_size);
    unsigned char salt[4];
    if (RAND_bytes(k.key.data(), static_cast<int>(key_size)) != 1 || RAND_bytes(k.spi.data(), 4) != 1 ||
        RAND_bytes(salt, 4) != 1)
        throw std::runtime_error("MediaKeys: RAND_bytes failed");
    k.spi[0] = static_cast<unsigned char>((k.spi[0] & 0x7F) | 0x01);
    k.salt = static_cast<uint32_t>(salt[0]) << 24 | static_cast<uint32_t>(salt[1]) << 16 |
             static_cast<uint32_t>(salt[2]) << 8 | salt[3];
    return k;
}

std::string MediaKeys::salt_value() const
{
    return {static_cast<char>(salt >> 24), static_cast<char>(salt >> 16), static_cast<char>(salt >> 8),
            static_cast<char>(salt)};
}

std::string MediaKeys::spi_hex() const
{
    char text[9];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x", spi[0], spi[1], spi[2], spi[3]);
    return text;
}

}  // namespace kavri_test
