// Headers, dates, length fields and the classifier.
#include "golden_values.h"
#include "log_capture.h"
#include "stanza_fixtures.h"
#include "vexa_xml_fail.h"
#include "vexa_xml_frame.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Classified {
    int framing;
    int type;
    long offset;  // -1: null
};

Classified classify(const std::string& buf)
{
    int framing = -7;
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_HELLO;
    const char* xml = buf.data();
    vexa_xml_header_get_type(buf.data(), buf.size(), &framing, &type, &xml);
    return {framing, type, xml == nullptr ? -1 : static_cast<long>(xml - buf.data())};
}

std::string tlv(uint32_t length, const std::string& text)
{
    std::string s(4, '\0');
    s += static_cast<char>(length >> 24);
    s += static_cast<char>(length >> 16);
    s += static_cast<char>(length >> 8);
    s += static_cast<char>(length);
    return s + text;
}

const std::string kHelloStanza =
    "<KAVRI><HELLO version=\"1.0\" sessionID=\"0123456789abcdef\"></HELLO></KAVRI>";

}  // namespace

TEST(Classifier, Table)
{
    const std::string post = std::string(golden::kHelloFull).substr(0, 139);
    const std::string reply_no_cl = "HTTP/1.0 200 OK\r\nDate: x\r\n\r\n<KAVRI><VERSION/></KAVRI>";
    const struct {
        const char* what;
        std::string buf;
        Classified expected;
    } cases[] = {
        {"bare HELLO", kHelloStanza, {3, 0, 0}},
        {"POST-framed REJECTED", post + "<KAVRI><REJECTED /></KAVRI>", {2, 4, 139}},
        {"POST-framed REJECT", post + "<KAVRI><REJECT /></KAVRI>", {2, 2, 139}},
        {"reply VERSION without Content-Length", reply_no_cl, {2, 1, 28}},
        {"TLV length 12 then XML", tlv(12, kHelloStanza), {1, 0, 8}},
        {"TLV length 0: searched from byte 0", tlv(0, kHelloStanza), {1, -99, -1}},
        {"TLV length 4089: searched from byte 0", tlv(4089, kHelloStanza), {1, -99, -1}},
        {"TLV short", std::string(8, '\0'), {0, -99, -1}},
        {"TLV then GET", tlv(40, "GET / HTTP/1.0\r\nContent-Length: 5\r\n\r\n<KAVRI><FAIL/></KAVRI>"),
         {1, 3, 45}},
        {"<KAVRI without >", "POST /x HTTP/1.0\r\nContent-Length: 9\r\n\r\n<KAVRI", {2, -99, -1}},
        {"POST only", "POST ", {2, -99, -1}},
        {"four bytes", "<KAV", {0, -99, -1}},
        {"prefix names", "<KAVRI><HELLOWORLD/></KAVRI>", {3, 0, 0}},
        {"unknown child", "<KAVRI><X><HELLO/></X></KAVRI>", {3, -98, 0}},
        {"XML declaration first", "<?xml version=\"1.0\"?><KAVRI><FAIL/></KAVRI>", {3, 3, 21}},
        {"short stanza", "<KAVRI><A>", {3, -98, 0}},
        {"not XML at all", "hello world, no markup here", {0, -99, -1}},
        {"stops at NUL", std::string("POST /x HTTP/1.0\r\nContent-Length: 9\r\n\r\n\0<KAVRI><HELLO/>", 55),
         {2, -99, -1}},
    };
    for (const auto& c : cases) {
        const Classified got = classify(c.buf);
        EXPECT_EQ(got.framing, c.expected.framing) << c.what;
        EXPECT_EQ(got.type, c.expected.type) << c.what;
        EXPECT_EQ(got.offset, c.expected.offset) << c.what;
    }
}

TEST(Classifier, OutputsMayBeNullAndExactSizeBuffersAreNotOverread)
{
    // Copy into an exact-size heap buffer without a terminator: ASan sees any overread.
    const std::string text = "POST /kavri-client HTTP/1.0\r\nContent-Length: 10\r\n\r\n<KAVRI><HELLO";
    std::vector<char> exact(text.begin(), text.end());
    eVEXA_XML_TYPE type;
    vexa_xml_header_get_type(exact.data(), exact.size(), nullptr, &type, nullptr);
    EXPECT_EQ(type, VEXA_XML_TYPE_HELLO);
    vexa_xml_header_get_type(nullptr, 0, nullptr, nullptr, nullptr);
}

TEST(Date, FormatIsEnglishAndBlankPadded)
{
    char date[30];
    xml_intern_format_date(784111777, date);
    EXPECT_STREQ(date, "Sun,  6 Nov 1994 08:49:37 GMT");
    xml_intern_format_date(kavri_test::kGoldenTime, date);
    EXPECT_STREQ(date, golden::kVersionDate);
    xml_intern_format_date(1735689599, date);
    EXPECT_STREQ(date, "Tue, 31 Dec 2024 23:59:59 GMT");
}

TEST(Framing, LengthFieldIsFourCharacters)
{
    const struct {
        size_t length;
        const char* field;
    } cases[] = {{7, "   7"}, {25, "  25"}, {327, " 327"}, {1000, "1000"}, {3955, "3955"}};
    for (const auto& c : cases) {
        const std::string body(c.length, 'x');
        char full[4096];
        ASSERT_EQ(xml_intern_frame_stanza("t", 0, 0, body.data(), body.size(), full, nullptr), 0);
        EXPECT_EQ(std::string(full + 131, 4), c.field);
        ASSERT_EQ(xml_intern_frame_stanza("t", 1, 0, body.data(), body.size(), full, nullptr), 0);
        EXPECT_EQ(std::string(full + 94, 4), c.field);
    }
}

TEST(Framing, BodyOverTheLimitIsRefused)
{
    kavri_test::captured_log().clear();
    const sVEXA_XML_CALLOUTS callouts = kavri_test::openssl_callouts();
    vexa_xml_init(&callouts);
    const std::string body(3956, 'x');
    char full[4096] = "untouched";
    EXPECT_EQ(xml_intern_frame_stanza("writer", 0, 0, body.data(), body.size(), full, nullptr),
              -601);
    EXPECT_STREQ(full, "untouched");
    EXPECT_TRUE(kavri_test::logged("(writer) -- stanza body of 3956 bytes is over 3955 bytes"));
    vexa_xml_teardown();
}

TEST(Framing, RejectAndRejectedAreByteExact)
{
    char full[4096], body[4096];
    EXPECT_EQ(vexa_xml_create_reject(full, body), 0);
    EXPECT_STREQ(full, golden::kRejectFull);
    EXPECT_STREQ(body, "<KAVRI><REJECT /></KAVRI>");
    EXPECT_EQ(vexa_xml_create_rejected(full, body), 0);
    EXPECT_STREQ(body, "<KAVRI><REJECTED /></KAVRI>");
    // The date is today's: compare everything around it.
    const std::string want = golden::kRejectedFull;
    const std::string got = full;
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(got.substr(0, 23), want.substr(0, 23));
    EXPECT_EQ(got.substr(52), want.substr(52));
    EXPECT_EQ(vexa_xml_create_reject(nullptr, nullptr), 0);
}

TEST(Framing, WriterOutputClassifiesAsItsType)
{
    char full[4096], body[4096];
    vexa_xml_create_rejected(full, body);
    EXPECT_EQ(classify(full).framing, 2);
    EXPECT_EQ(classify(full).type, 4);
    EXPECT_EQ(classify(body).framing, 3);
    EXPECT_EQ(classify(body).type, 4);
}

class StanzaType : public kavri_test::LibraryTest {};

TEST_F(StanzaType, ClassifiesBareStanzas)
{
    const struct {
        const char* xml;
        int rc;
        int type;
    } cases[] = {
        {"<KAVRI><HELLO/></KAVRI>", 0, 0},
        {"<KAVRI><REJECTED/></KAVRI>", 0, 4},
        {"<KAVRI><REJECT/></KAVRI>", 0, 2},
        {"<KAVRI><VERSION/></KAVRI>", 0, 1},
        {"<KAVRI><FAIL/></KAVRI>", 0, 3},
        {"<KAVRI><OTHER/></KAVRI>", 0, -98},
        {"<KAVRI></KAVRI>", 0, -98},
        {"<NOTKAVRI><HELLO/></NOTKAVRI>", -600, -99},
        {"not xml", -600, -100},
        {"<!DOCTYPE KAVRI [<!ENTITY a \"b\">]><KAVRI><HELLO/></KAVRI>", -600, -100},
    };
    for (const auto& c : cases) {
        eVEXA_XML_TYPE type = VEXA_XML_TYPE_HELLO;
        EXPECT_EQ(vexa_xml_parse_stanza_type(c.xml, std::strlen(c.xml), &type), c.rc) << c.xml;
        EXPECT_EQ(type, c.type) << c.xml;
    }
    EXPECT_TRUE(kavri_test::logged(
        "Error syntax error. Expected KAVRI XML stanza, input buffer was not XML: \"not xml\" ..."))
        << kavri_test::all_log();
}

TEST(Classifier, HeaderMarkersInTheBodyDoNotHideTheStanza)
{
    // A reply whose body names the markers: the stanza is still found.
    const std::string reply = std::string(golden::kFailReplyFull).substr(0, 102) +
                              "<KAVRI><FAIL code=\"1\" reason=\"HTTP/1 Content-Length:\"/></KAVRI>";
    const Classified got = classify(reply);
    EXPECT_EQ(got.framing, 2);
    EXPECT_EQ(got.type, 3);
    EXPECT_EQ(got.offset, 102);
}
