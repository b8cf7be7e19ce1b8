// TLV decoding of arbitrary frames: the walk must stay inside the frame,
// whatever the length fields say, and what it keeps must survive encoding.
#include "SSIGTLV.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

using vexa::ssig::SSIGMap;
using vexa::ssig::SSIGTLV;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SSIGTLV tlv;
    std::memcpy(tlv.data(), data, std::min(size, SSIGTLV::WORD_SIZE + SSIGTLV::BUFFER_SIZE));
    if (tlv.packet_size() > SSIGTLV::WORD_SIZE + SSIGTLV::BUFFER_SIZE)
        __builtin_trap();

    const SSIGMap map = tlv.tokenize();
    if (map.order.size() != map.values.size())
        __builtin_trap();
    std::size_t used = SSIGTLV::HEAD_SIZE;
    for (const auto key : map.order) {
        const auto* value = map.find(key);
        if (!value || value->empty() || value->size() > 4095)
            __builtin_trap();
        used += 8 + ((value->size() + 3) & ~std::size_t(3));
    }

    SSIGTLV again;
    const std::size_t n = again.build_ssig_packet(map);
    if (n > SSIGTLV::BUDGET || n != again.packet_size())
        __builtin_trap();
    if (used <= SSIGTLV::BUDGET) {
        const SSIGMap back = again.tokenize();
        if (n != used || back.order != map.order || back.values != map.values ||
            back.command_value != map.command_value || back.command_type != map.command_type)
            __builtin_trap();
    }
    return 0;
}
