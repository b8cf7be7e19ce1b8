// Builds the media datagrams of one tunnel direction as a Kavri endpoint
// sends them, sealed with OpenSSL's EVP: SPI (4 bytes), sequence number
// (big-endian), an 8-byte IV, the payload encrypted, a 16-byte tag; nonce =
// BE32(salt) || bytes 8..15, AAD = bytes 0..7. Each datagram takes the
// next sequence number and a fresh IV. Used by one thread.
#pragma once

#include "MediaKeys.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavri_test {

class MediaSender {
public:
    using bytes = std::vector<unsigned char>;

    explicit MediaSender(MediaKeys keys, uint32_t first_sequence = 1);

    // The next datagram carrying payload (at least 4 bytes make a datagram
    // the relay considers).
    bytes next(const bytes& payload);
    // The same with a payload of size bytes that names its sequence number.
    bytes next(std::size_t size = 64);

    const MediaKeys& keys() const { return m_keys; }
    uint32_t sequence() const { return m_sequence; }

private:
    MediaKeys m_keys;
    uint32_t m_sequence;
    uint32_t m_iv_prefix;
};

}  // namespace kavri_test
