#include "SSIGPacket.h"

#include <cstring>

namespace vexa {
namespace ssig {

SSIGPacket::Type SSIGPacket::parse_packet_type(unsigned word)
{
    uint8_t bytes[WORD_SIZE];
    std::memcpy(bytes, &word, WORD_SIZE);
    return parse_packet_type(bytes);
}

SSIGPacket::Type SSIGPacket::parse_packet_type(const uint8_t* bytes)
{
    if (std::memcmp(bytes, "HTTP", WORD_SIZE) == 0)
        return Type_HTTP_REPLY;
    if (std::memcmp(bytes, "POST", WORD_SIZE) == 0)
        return Type_HTTP_POST;
    static const uint8_t zeros[WORD_SIZE] = {0, 0, 0, 0};
    if (std::memcmp(bytes, zeros, WORD_SIZE) == 0)
        return Type_TLV;
    return Type_UNKNOWN;
}

SSIGPacket::Type SSIGPacket::get_packet_type() const
{
    return parse_packet_type(m_frame);
}

void SSIGPacket::set_packet_type(Type type)
{
    switch (type) {
    case Type_HTTP_POST: std::memcpy(m_frame, "POST", WORD_SIZE); break;
    case Type_HTTP_REPLY: std::memcpy(m_frame, "HTTP", WORD_SIZE); break;
    default: std::memset(m_frame, 0, WORD_SIZE); break;
    }
}

}  // namespace ssig
}  // namespace vexa
