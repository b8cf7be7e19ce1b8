// A signalling leg's read side driven from bytes instead of a TLS stream:
// the first byte picks the leg (bit 0: server leg) and how many bytes each
// header read takes at once (the rest: 1 + byte * 16), the rest is what the
// peer sends. Reads complete the way Asio completes them (exact reads, and
// reads until "\r\n\r\n" into the 4096-byte header buffer, which may take
// body bytes with them). Every frame the reader completes must be exactly
// the bytes consumed for it, within the frame bounds; complete frames then
// go through the leg's first steps (TLV tokenizing, stanza type, the
// client's HELLO parse).
#include "SSIG.h"
#include "SSIGFrameReader.h"
#include "vexa_xml.h"
#include "vexa_xml_frame.h"
#include "vexa_xml_hello.h"

#include <boost/asio/buffers_iterator.hpp>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

using vexa::SSIGFrameReader;

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void ignore_log(int, const char*) {}

struct LibraryInit {
    LibraryInit()
    {
        static const sVEXA_XML_CALLOUTS callouts{SHA256_Init, SHA256_Update, SHA256_Final, ignore_log};
        vexa_xml_init(&callouts);
    }
};

// The read of the header: true with n (bytes up to the delimiter), false
// when the peer's bytes end first or the buffer fills without one.
bool read_until(SSIGFrameReader& r, const uint8_t* data, std::size_t size, std::size_t& pos,
                std::size_t chunk, std::size_t& n)
{
    auto& b = r.header();
    for (;;) {
        const auto bufs = b.data();
        const std::string held(boost::asio::buffers_begin(bufs), boost::asio::buffers_end(bufs));
        const std::size_t found = held.find(SSIGFrameReader::HEADER_DELIMITER);
        if (found != std::string::npos) {
            n = found + 4;
            return true;
        }
        if (b.size() >= SSIGFrameReader::HEADER_LIMIT || pos >= size)
            return false;
        const std::size_t take = std::min({chunk, SSIGFrameReader::HEADER_LIMIT - b.size(), size - pos});
        auto out = b.prepare(take);
        std::memcpy(out.data(), data + pos, take);
        b.commit(take);
        pos += take;
    }
}

void client_steps(SSIGFrameReader& r, bool tlv)
{
    if (tlv) {
        const vexa::ssig::SSIGMap map = r.tlv()->tokenize();
        check(map.command_value == r.tlv()->get_command_value());
        (void)vexa::ssig::get_ssig_tlv_cmd(reinterpret_cast<const char*>(r.tlv()->data()));
        return;
    }
    const vexa::ssig::SSIGHttp& p = *r.http();
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    vexa_xml_header_get_type(p.content(), p.content_length(), nullptr, &type, nullptr);
    if (type == VEXA_XML_TYPE_HELLO) {
        sVEXA_XML_HELLO hello;
        std::memset(&hello, 0, sizeof hello);
        if (vexa_xml_parse_hello(p.content(), p.content_length(), nullptr, &hello) == 0)
            check(hello.mitm_hellos.count <= VEXA_XML_MAX_MITM);
    }
}

void server_steps(SSIGFrameReader& r, bool tlv)
{
    if (tlv) {
        const vexa::ssig::SSIGMap map = r.tlv()->tokenize();
        (void)map;
        return;
    }
    const vexa::ssig::SSIGHttp& p = *r.http();
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    vexa_xml_header_get_type(p.content(), p.content_length(), nullptr, &type, nullptr);
    (void)vexa::ssig::get_ssig_xml_cmd(reinterpret_cast<const char*>(p.data()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static LibraryInit init;
    if (size < 1)
        return 0;
    const bool server_leg = data[0] & 1;
    const std::size_t chunk = 1 + std::size_t(data[0] >> 1) * 16;
    ++data;
    --size;

    SSIGFrameReader r;
    std::size_t pos = 0;
    std::size_t frame_start = 0;
    std::size_t header_bytes = 0;
    for (;;) {
        const SSIGFrameReader::Stage stage = r.stage();
        std::size_t n = 0;
        if (stage == SSIGFrameReader::Stage::HTTP_HEADER) {
            if (!read_until(r, data, size, pos, chunk, n))
                return 0;  // end of stream, or the "too long or missing terminator" removal
            header_bytes = n;
        } else {
            const auto buf = r.buffer();
            n = buf.size();
            if (size - pos < n)
                return 0;  // the peer's bytes end: a read error removes the leg
            std::memcpy(buf.data(), data + pos, n);
            pos += n;
        }
        if (stage == SSIGFrameReader::Stage::TYPE)
            frame_start = pos - 4;
        switch (r.advance(n)) {
        case SSIGFrameReader::Verdict::NEXT_READ:
            // Bounds the legs rely on before they read on.
            if (r.stage() == SSIGFrameReader::Stage::TLV_VALUE)
                check(r.tlv_length() >= 1 && r.tlv_length() <= SSIGFrameReader::MAX_TLV_LENGTH);
            if (r.stage() == SSIGFrameReader::Stage::HTTP_PAYLOAD)
                check(r.content_length() >= 1 && r.content_length() <= SSIGFrameReader::MAX_CONTENT_LENGTH);
            break;
        case SSIGFrameReader::Verdict::FRAME_DONE: {
            const bool tlv = r.packet_type() == vexa::ssig::SSIGPacket::Type_TLV;
            const std::size_t consumed = pos - frame_start;
            if (tlv) {
                check(consumed == 8 + r.tlv_length());
                check(std::memcmp(r.tlv()->data(), data + frame_start, consumed) == 0);
            } else {
                // Word, header and exactly Content-Length body bytes, all in the text.
                check(consumed == 4 + header_bytes + r.content_length());
                check(consumed - 4 <= vexa::ssig::SSIGHttp::MAX_PAYLOAD);
                check(std::memcmp(r.http()->data(), data + frame_start, consumed) == 0);
            }
            if (server_leg)
                server_steps(r, tlv);
            else
                client_steps(r, tlv);
            // The legs free the frame once handled; the next one must not need it.
            r.release_frame();
            check(r.tlv() == nullptr && r.http() == nullptr);
            break;
        }
        default:
            return 0;  // refused: the leg is removed
        }
    }
}
