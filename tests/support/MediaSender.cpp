#include "MediaSender.h"

#include "media_crypto.h"

#include <openssl/rand.h>

namespace kavri_test {

namespace {

void put32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

}  // namespace

MediaSender::MediaSender(MediaKeys keys, uint32_t first_sequence)
    : m_keys(std::move(keys)), m_sequence(first_sequence), m_iv_prefix(0)
{
    unsigned char r[4] = {};
    RAND_bytes(r, 4);
    m_iv_prefix = static_cast<uint32_t>(r[0]) << 24 | static_cast<uint32_t>(r[1]) << 16 |
                  static_cast<uint32_t>(r[2]) << 8 | r[3];
}

MediaSender::bytes MediaSender::next(const bytes& payload)
{
    unsigned char header[16];
    std::copy(m_keys.spi.begin(), m_keys.spi.end(), header);
    put32(header + 4, m_sequence);
    put32(header + 8, m_iv_prefix);
    put32(header + 12, m_sequence);
    ++m_sequence;
    return relay_test::evp_seal(m_keys.key, m_keys.salt, header, payload);
}

MediaSender::bytes MediaSender::next(std::size_t size)
{
    bytes payload(size < 4 ? 4 : size);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<unsigned char>((m_sequence >> (8 * (i % 4))) + i);
    return next(payload);
}

}  // namespace kavri_test
