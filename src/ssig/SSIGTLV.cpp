#include "SSIGTLV.h"

#include <algorithm>
#include <cstring>

namespace vexa {
namespace ssig {

SSIGTLV::SSIGTLV() : SSIGPacket(m_frame), m_frame{} {}

SSIGTLV::SSIGTLV(Type type) : SSIGPacket(m_frame), m_frame{}
{
    set_packet_type(type);
}

std::size_t SSIGTLV::packet_size() const
{
    return std::min<uint64_t>(uint64_t(get_length()) + 8, FRAME_SIZE);
}

std::size_t SSIGTLV::build_ssig_packet(const SSIGMap& map)
{
    std::memset(m_frame, 0, sizeof m_frame);
    write_be32(m_frame, map.leading_word);
    write_be32(m_frame + COMMAND_TYPE_OFFSET, map.command_type);
    write_be32(m_frame + COMMAND_LENGTH_OFFSET, 4);
    write_be32(m_frame + COMMAND_VALUE_OFFSET, map.command_value);

    std::size_t pos = HEAD_SIZE;
    for (const SSIGMap::key_type key : map.order) {
        if (pos >= BUDGET)
            break;
        const SSIGMap::value_type* value = map.find(key);
        if (!value)
            continue;
        const std::size_t length = value->size();
        // Type and length each need four bytes below the budget; otherwise
        // the message is full.
        if (BUDGET - pos < 4) {
            pos = BUDGET;
            break;
        }
        write_be32(m_frame + pos, uint32_t(key));
        pos += 4;
        if (BUDGET - pos < 4) {
            pos = BUDGET;
            break;
        }
        write_be32(m_frame + pos, uint32_t(std::min<std::size_t>(length, 0xFFFFFFFFu)));
        pos += 4;
        const std::size_t fits = std::min(length, BUDGET - pos);
        if (fits > 0)
            std::memcpy(m_frame + pos, value->data(), fits);
        pos += fits;
        if (fits == length)
            pos = std::min(BUDGET, (pos + 3) & ~std::size_t(3));  // padding is already zero
    }
    write_be32(m_frame + LENGTH_OFFSET, uint32_t(pos - 8));
    return pos;
}

SSIGMap SSIGTLV::tokenize() const
{
    SSIGMap map;
    // 64-bit arithmetic and the frame's own size bound every offset, whatever
    // the length fields say.
    const uint64_t total = std::min<uint64_t>(uint64_t(get_length()) + 8, FRAME_SIZE);
    uint64_t off = HEAD_SIZE;
    while (off + 12 <= total) {
        const uint32_t type = read_be32(m_frame + off);
        const uint64_t length = read_be32(m_frame + off + 4);
        if (length >= 1 && length <= 4095 && off + 8 + length <= total) {
            const uint8_t* value = m_frame + off + 8;
            map.add(type, SSIGMap::value_type(value, value + length));
        }
        const uint64_t next = off + 8 + ((length + 3) & ~uint64_t(3));
        if (next > total)
            break;
        off = next;
    }
    map.leading_word = read_be32(m_frame);
    map.command_type = read_be32(m_frame + COMMAND_TYPE_OFFSET);
    map.command_value = read_be32(m_frame + COMMAND_VALUE_OFFSET);
    return map;
}

}  // namespace ssig
}  // namespace vexa
