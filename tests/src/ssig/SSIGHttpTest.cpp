#include "SSIGHttp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using vexa::ssig::SSIGHttp;
using vexa::ssig::SSIGPacket;

struct FramingCase {
    const char* name;
    std::string text;
    std::size_t header;   // header_size()
    std::size_t content;  // content_length()
    std::size_t size;     // packet_size()
};

const std::string kHead = "POST /kavri HTTP/1.1\r\nContent-Type: text/xml\r\n";

std::vector<FramingCase> framing_cases()
{
    const std::string padded = kHead + "Content-Length:    7\r\n\r\n";
    const std::string plain = kHead + "Content-Length: 12\r\n\r\n";
    return {
        {"blank-padded field (the writers' form)", padded + "1234567", padded.size(), 7,
         padded.size() + 7},
        {"unpadded field", plain + "<KAVRI></KA>", plain.size(), 12, plain.size() + 12},
        {"header only, body still to come", plain, plain.size(), 12, plain.size()},
        {"no Content-Length", kHead + "\r\n<KAVRI/>", 0, 0, 0},
        {"no blank line yet", kHead + "Content-Length: 12\r\n", 0, 0, 0},
        // The field after the blank line does not make a header, yet its
        // number is read when another blank line follows it.
        {"field after the blank line", kHead + "\r\nContent-Length: 5\r\n\r\nabcde", 0, 5, 5},
        {"field after the blank line, no second one", kHead + "\r\nContent-Length: 5\r\n", 0, 0,
         0},
        // The body never reaches past the text, whatever the field claims.
        {"length beyond the text", kHead + "Content-Length: 4000\r\n\r\n<A/>",
         kHead.size() + 24, 4000, kHead.size() + 24 + 4},
        {"overlong number saturates", kHead + "Content-Length: 99999999999999999999\r\n\r\nab",
         kHead.size() + 40, 0xFFFFFFFFu, kHead.size() + 40 + 2},
        {"no digits", kHead + "Content-Length: x\r\n\r\nab", kHead.size() + 21, 0,
         kHead.size() + 21},
        {"signs are not numbers", kHead + "Content-Length: -5\r\n\r\nab", kHead.size() + 22, 0,
         kHead.size() + 22},
    };
}

TEST(SSIGHttp, HeaderAndContentLengthTable)
{
    for (const auto& c : framing_cases()) {
        SCOPED_TRACE(c.name);
        SSIGHttp p(SSIGPacket::Type_HTTP_POST);
        p.build_ssig_packet(c.text.c_str());
        EXPECT_EQ(p.header_size(), c.header);
        EXPECT_EQ(p.content_length(), c.content);
        EXPECT_EQ(p.packet_size(), c.size);
        EXPECT_EQ(p.content(), reinterpret_cast<const char*>(p.data()) + c.header);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data()), 4), c.text.substr(0, 4));
    }
}

TEST(SSIGHttp, ContentPointsAtTheBodyInTheContiguousMessage)
{
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n";
    SSIGHttp p(SSIGPacket::Type_HTTP_REPLY);
    p.build_ssig_packet((head + "<KAVRI/>").c_str());
    EXPECT_EQ(p.get_packet_type(), SSIGPacket::Type_HTTP_REPLY);
    EXPECT_STREQ(p.content(), "<KAVRI/>");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data()), p.packet_size()),
              head + "<KAVRI/>");
}

TEST(SSIGHttp, ShortAndLongTextsStayWithinTheBuffer)
{
    struct Case {
        const char* text;
        SSIGPacket::Type type;
    } cases[] = {{"", SSIGPacket::Type_TLV}, {"PO", SSIGPacket::Type_UNKNOWN},
                 {"POS", SSIGPacket::Type_UNKNOWN}, {"POST", SSIGPacket::Type_HTTP_POST},
                 {nullptr, SSIGPacket::Type_TLV}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "null");
        SSIGHttp p(SSIGPacket::Type_HTTP_POST);
        std::strcpy(p.text(), "stale");
        p.build_ssig_packet(c.text);
        EXPECT_EQ(p.get_packet_type(), c.type);
        EXPECT_STREQ(p.text(), "");
        EXPECT_EQ(p.packet_size(), 0u);
    }

    // A text longer than the packet is cut to 8100 characters in all.
    std::string longer = "POST\r\nContent-Length: 9000\r\n\r\n";
    longer.resize(9000, 'x');
    SSIGHttp p(SSIGPacket::Type_HTTP_POST);
    p.build_ssig_packet(longer.c_str());
    EXPECT_EQ(std::strlen(p.text()), SSIGHttp::MAX_PAYLOAD);
    EXPECT_EQ(p.packet_size(), 8100u);
    EXPECT_EQ(p.get_max_payload_len(), 8096u);
}

TEST(SSIGPacket, LeadingWordAsItComesFromTheStream)
{
    struct Case {
        const char bytes[4];
        SSIGPacket::Type type;
    } cases[] = {{{'H', 'T', 'T', 'P'}, SSIGPacket::Type_HTTP_REPLY},
                 {{'P', 'O', 'S', 'T'}, SSIGPacket::Type_HTTP_POST},
                 {{0, 0, 0, 0}, SSIGPacket::Type_TLV},
                 {{'p', 'o', 's', 't'}, SSIGPacket::Type_UNKNOWN},
                 {{'T', 'S', 'O', 'P'}, SSIGPacket::Type_UNKNOWN},
                 {{0, 0, 0, 1}, SSIGPacket::Type_UNKNOWN}};
    for (const auto& c : cases) {
        unsigned word;
        std::memcpy(&word, c.bytes, 4);
        EXPECT_EQ(SSIGPacket::parse_packet_type(word), c.type);
    }

    SSIGHttp p(SSIGPacket::Type_HTTP_POST);
    EXPECT_EQ(std::memcmp(p.data(), "POST", 4), 0);
    p.set_packet_type(SSIGPacket::Type_HTTP_REPLY);
    EXPECT_EQ(std::memcmp(p.data(), "HTTP", 4), 0);
    p.set_packet_type(SSIGPacket::Type_UNKNOWN);
    EXPECT_EQ(p.get_packet_type(), SSIGPacket::Type_TLV);
}

}  // namespace
