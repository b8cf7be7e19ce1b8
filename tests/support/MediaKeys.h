// The key material of one direction of a media tunnel, as an INVITE or an
// INVITE_OK carries it: an AES-GCM key of 16 or 32 bytes, a 4-byte SPI (the
// bytes a datagram starts with) and a 32-bit salt (big-endian on the wire).
// Plain value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavri_test {

struct MediaKeys {
    std::vector<unsigned char> key;
    std::array<unsigned char, 4> spi{};
    uint32_t salt = 0;

    // Random key, SPI and salt; the SPI's first byte stays below 0x80, so a
    // datagram never looks like one with a clear header.
    static MediaKeys random(std::size_t key_size = 16);

    // The element values: the key bytes, the SPI bytes, the salt big-endian.
    std::string key_value() const { return std::string(key.begin(), key.end()); }
    std::string spi_value() const { return std::string(spi.begin(), spi.end()); }
    std::string salt_value() const;
    // The SPI as the relay's logs print it (hex of the wire bytes).
    std::string spi_hex() const;
};

}  // namespace kavri_test
