// HTTP-like framing of arbitrary texts: header size, content length and
// packet size must stay within the message, both for a text built from a
// string and for raw bytes copied in as a leg's header reader does.
#include "SSIGHttp.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

using vexa::ssig::SSIGHttp;
using vexa::ssig::SSIGPacket;

namespace {

void check(const SSIGHttp& p)
{
    const char* start = reinterpret_cast<const char*>(p.data());
    const std::size_t length = SSIGPacket::WORD_SIZE + ::strnlen(p.text(), SSIGHttp::MAX_PAYLOAD);
    if (p.packet_size() > length || p.packet_size() > 8100)
        __builtin_trap();
    if (p.header_size() > length)
        __builtin_trap();
    if (p.header_size() != 0 &&
        std::memcmp(start + p.header_size() - 4, "\r\n\r\n", 4) != 0)
        __builtin_trap();
    if (p.content() != start + p.header_size())
        __builtin_trap();
    (void)p.content_length();
    (void)p.get_packet_type();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    SSIGHttp built(SSIGPacket::Type_HTTP_POST);
    built.build_ssig_packet(text.c_str());
    check(built);

    SSIGHttp raw(SSIGPacket::Type_HTTP_REPLY);
    std::memcpy(raw.text(), data, std::min(size, SSIGHttp::MAX_PAYLOAD));
    check(raw);
    return 0;
}
