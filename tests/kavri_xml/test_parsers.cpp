// Parsers: write-then-parse round trips, hand-written texts and refusals.
#include "golden_values.h"
#include "log_capture.h"
#include "stanza_fixtures.h"
#include "vexa_xml_fail.h"
#include "vexa_xml_frame.h"
#include "vexa_xml_hello.h"
#include "vexa_xml_version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using kavri_test::golden_fail;
using kavri_test::golden_hello;
using kavri_test::golden_version;
using kavri_test::hex;
using kavri_test::logged;

namespace {

class Parsers : public kavri_test::LibraryTest {};

const std::string kThumb = golden::kDerThumbprintHex;
const std::string kSig = golden::kHelloSignatureHex;

// A HELLO text with replaceable parts.
std::string hello_text(const std::string& hello_attrs = "version=\"1.0\" sessionID=\"0123456789abcdef\"",
                       const std::string& signature = kSig, const std::string& inner = "",
                       const std::string& after = "")
{
    return "<KAVRI><HELLO " + hello_attrs + "><SESSION thumbprint=\"" + kThumb +
           "\" serverName=\"gw.example\"/><SIGNATURE>" + signature + "</SIGNATURE>" + inner +
           "</HELLO>" + after + "</KAVRI>";
}

std::string hops(int n)
{
    std::string s = "<MITM>";
    for (int i = 0; i < n; ++i)
        s += "<HELLO version=\"1.0\" name=\"h" + std::to_string(i) + "\"/>";
    return s + "</MITM>";
}

std::string version_text(const std::string& version_attrs = "",
                         const std::string& requested = golden::kRequestSignatureHex,
                         const std::string& negotiated = golden::kNegotiatedSignatureHex,
                         const std::string& inner = "")
{
    return "<KAVRI><VERSION" + version_attrs +
           "><NEGOTIATION requested=\"1.1\" version=\"1.0\"></NEGOTIATION><SIGNATURES><REQUESTED>" +
           requested + "</REQUESTED><NEGOTIATED>" + negotiated + "</NEGOTIATED></SIGNATURES>" +
           inner + "</VERSION></KAVRI>";
}

int parse_hello(const std::string& text, eVEXA_XML_TYPE* type, sVEXA_XML_HELLO* rec)
{
    return vexa_xml_parse_hello(text.c_str(), text.size(), type, rec);
}

}  // namespace

TEST_F(Parsers, RoundTripOfEveryStanzaType)
{
    char full[4096];
    sVEXA_XML_HELLO h = golden_hello();
    kavri_test::add_hop(h.mitm_hellos, "1.1", "second & <odd> \"name\"", 0x7FFFFFFF);
    h.spi = 256;
    ASSERT_EQ(vexa_xml_create_hello(&h, golden::kRtag, full, nullptr), 0);
    sVEXA_XML_HELLO hp;
    eVEXA_XML_TYPE type;
    ASSERT_EQ(vexa_xml_parse_hello(full, std::strlen(full), &type, &hp), 0) << kavri_test::all_log();
    EXPECT_EQ(type, VEXA_XML_TYPE_HELLO);
    EXPECT_EQ(std::memcmp(&hp, &h, sizeof h), 0);

    sVEXA_XML_VERSION v = golden_version();
    kavri_test::add_hop(v.mitm_hellos, "2.0", "tab\there");
    ASSERT_EQ(vexa_xml_create_version(&v, golden::kCtag, full, nullptr), 0);
    sVEXA_XML_VERSION vp;
    ASSERT_EQ(vexa_xml_parse_version(full, std::strlen(full), &type, &vp), 0) << kavri_test::all_log();
    EXPECT_EQ(type, VEXA_XML_TYPE_VERSION);
    EXPECT_EQ(std::memcmp(&vp, &v, sizeof v), 0);

    for (int reply = 0; reply < 2; ++reply) {
        sVEXA_XML_FAIL f = golden_fail();
        f.failure_code = 0x80000001u;  // printed negative, read back as the same bits
        kavri_test::add_hop(f.mitm_hellos, "1.0", "gw", 300);
        ASSERT_EQ(vexa_xml_create_fail(&f, reply, full, nullptr), 0);
        sVEXA_XML_FAIL fp;
        ASSERT_EQ(vexa_xml_parse_fail(full, std::strlen(full), &type, &fp), 0) << full;
        EXPECT_EQ(type, VEXA_XML_TYPE_FAIL);
        EXPECT_EQ(std::memcmp(&fp, &f, sizeof f), 0);
    }
}

TEST_F(Parsers, RejectedWhereAVersionWasExpected)
{
    char full[4096];
    vexa_xml_create_rejected(full, nullptr);
    sVEXA_XML_VERSION v;
    eVEXA_XML_TYPE type;
    EXPECT_EQ(vexa_xml_parse_version(full, std::strlen(full), &type, &v), -600);
    EXPECT_EQ(type, VEXA_XML_TYPE_REJECTED);
    EXPECT_TRUE(logged("Parsing for KAVRI_VERSION or KAVRI_REJECTED. Received: REJECTED"));

    sVEXA_XML_FAIL f;
    const std::string hello = hello_text();
    EXPECT_EQ(vexa_xml_parse_fail(hello.c_str(), hello.size(), &type, &f), -600);
    EXPECT_EQ(type, VEXA_XML_TYPE_HELLO);
    EXPECT_TRUE(logged("Parsing for KAVRI_FAIL, received \"HELLO\" instead"));
}

TEST_F(Parsers, HelloHandWrittenTable)
{
    const std::string id = "sessionID=\"0123456789abcdef\"";
    // The eleventh digit as a character reference: expat hands the text over in pieces.
    const std::string split_sig = kSig.substr(0, 10) + "&#" + std::to_string(int(kSig[10])) +
                                  ";" + kSig.substr(11);
    const struct {
        const char* what;
        std::string text;
        int rc;
        int type;
    } cases[] = {
        {"plain", hello_text(), 0, 0},
        {"spi 0 is none", hello_text("version=\"1.0\" " + id + " spi=\"0\""), 0, 0},
        {"spi hex", hello_text("version=\"1.0\" " + id + " spi=\"0x100\""), 0, 0},
        {"spi octal", hello_text("version=\"1.0\" " + id + " spi=\"0400\""), 0, 0},
        {"spi 255", hello_text("version=\"1.0\" " + id + " spi=\"255\""), -600, 0},
        {"spi leading blank", hello_text("version=\"1.0\" " + id + " spi=\" 300\""), -600, 0},
        {"spi trailing junk", hello_text("version=\"1.0\" " + id + " spi=\"300abc\""), -600, 0},
        {"spi above 31 bits", hello_text("version=\"1.0\" " + id + " spi=\"0x80000000\""), -600, 0},
        {"spi 00", hello_text("version=\"1.0\" " + id + " spi=\"00\""), -600, 0},
        {"no attributes", hello_text(""), -600, 0},
        {"version too long", hello_text("version=\"1.000000\" " + id), -600, 0},
        {"version of 7 that is no version", hello_text("version=\"1.00000\" " + id), -600, -98},
        {"version 1.01", hello_text("version=\"1.01\" " + id), -600, -98},
        {"session id 15 hex", hello_text("version=\"1.0\" sessionID=\"0123456789abcde\""), -600, 0},
        {"session id zero", hello_text("version=\"1.0\" sessionID=\"0000000000000000\""), -600, 0},
        {"session id not hex", hello_text("version=\"1.0\" sessionID=\"0123456789abcdeg\""), -600, 0},
        {"unknown attribute kept out", hello_text("version=\"1.0\" " + id + " x=\"y\""), 0, 0},
        {"signature in line feeds", hello_text("version=\"1.0\" " + id, "\n" + kSig + "\n"), 0, 0},
        {"signature split by a reference", hello_text("version=\"1.0\" " + id, split_sig), 0, 0},
        {"two signature values", hello_text("version=\"1.0\" " + id, kSig + " " + kSig), -600, 0},
        {"signature 63 digits", hello_text("version=\"1.0\" " + id, kSig.substr(1)), -600, 0},
        {"signature only blanks", hello_text("version=\"1.0\" " + id, "  \n "), -600, 0},
        {"unknown element skipped", hello_text("version=\"1.0\" " + id, kSig, "<X><SESSION/></X>"), 0, 0},
        {"second SIGNATURE", hello_text("version=\"1.0\" " + id, kSig, "<SIGNATURE>" + kSig + "</SIGNATURE>"), -600, -98},
        {"second SESSION", hello_text("version=\"1.0\" " + id, kSig, "<SESSION thumbprint=\"" + kThumb + "\" serverName=\"b\"/>"), -600, -98},
        {"second HELLO", hello_text() .substr(0, hello_text().size() - 8) + "<HELLO version=\"1.0\" " + id + "/></KAVRI>", -600, -98},
        {"ten hops", hello_text("version=\"1.0\" " + id, kSig, "", hops(10)), 0, 0},
        {"eleven hops", hello_text("version=\"1.0\" " + id, kSig, "", hops(11)), -600, -98},
        {"second MITM", hello_text("version=\"1.0\" " + id, kSig, "", hops(1) + hops(1)), -600, -98},
        {"hop spi 0 refused", hello_text("version=\"1.0\" " + id, kSig, "", "<MITM><HELLO version=\"1.0\" name=\"a\" spi=\"0\"/></MITM>"), -600, 0},
        {"hop without name", hello_text("version=\"1.0\" " + id, kSig, "", "<MITM><HELLO version=\"1.0\"/></MITM>"), -600, 0},
        {"wrapped HELLO", "<KAVRI><WRAP>" + hello_text().substr(7, hello_text().size() - 15) + "</WRAP></KAVRI>", -600, -98},
        {"no SESSION", "<KAVRI><HELLO version=\"1.0\" " + id + "><SIGNATURE>" + kSig + "</SIGNATURE></HELLO></KAVRI>", -600, 0},
        {"no SIGNATURE", "<KAVRI><HELLO version=\"1.0\" " + id + "><SESSION thumbprint=\"" + kThumb + "\" serverName=\"a\"/></HELLO></KAVRI>", -600, 0},
        {"thumbprint 63 digits", "<KAVRI><HELLO version=\"1.0\" " + id + "><SESSION thumbprint=\"" + kThumb.substr(1) + "\" serverName=\"a\"/><SIGNATURE>" + kSig + "</SIGNATURE></HELLO></KAVRI>", -600, 0},
        {"root KAVRIX", "<KAVRIX>" + hello_text().substr(7, hello_text().size() - 15) + "</KAVRIX>", -600, -99},
        {"not XML", "<KAVRI><X></KAVRI>", -600, -100},
        {"duplicate attribute", hello_text("version=\"1.0\" version=\"1.1\" " + id), -600, -100},
        {"DOCTYPE", "<!DOCTYPE KAVRI [<!ENTITY n \"gw.example\">]>" + hello_text(), -600, -100},
        {"entity without DOCTYPE", hello_text("version=\"1.0\" sessionID=\"0123456789abcdef\" x=\"&n;\""), -600, -100},
        {"no stanza", "just text", -600, -100},
        {"framed", std::string(golden::kHelloFull), 0, 0},
    };
    for (const auto& c : cases) {
        sVEXA_XML_HELLO rec;
        eVEXA_XML_TYPE type = VEXA_XML_TYPE_REJECT;
        EXPECT_EQ(parse_hello(c.text, &type, &rec), c.rc) << c.what << "\n" << kavri_test::all_log();
        EXPECT_EQ(type, c.type) << c.what;
    }
}

TEST_F(Parsers, HelloFieldValuesAndMessages)
{
    sVEXA_XML_HELLO rec;
    eVEXA_XML_TYPE type;
    ASSERT_EQ(parse_hello(hello_text("version=\"1.0\" sessionID=\"0123456789ABCDEF\" spi=\"0x100\""),
                          &type, &rec),
              0);
    EXPECT_EQ(rec.spi, 256u);
    EXPECT_EQ(hex(rec.session_id, 8), golden::kSessionIdHex);
    EXPECT_EQ(hex(rec.signature, 32), kSig);
    EXPECT_STREQ(rec.server_name, "gw.example");

    kavri_test::captured_log().clear();
    parse_hello("<KAVRIX/>", &type, &rec);
    EXPECT_TRUE(logged("Parsing for KAVRI_HELLO, expected \"KAVRI\" as root node, was \"KAVRIX\" "));
    parse_hello(hello_text("version=\"1.01\" sessionID=\"0123456789abcdef\""), &type, &rec);
    EXPECT_TRUE(logged("Error invalid version. Expected KAVRI_HELLO XML stanza, version was wrong: \"1.01\""));
    parse_hello(hello_text("version=\"1.0\" sessionID=\"0123456789abcdef\" spi=\"1:2\""), &type, &rec);
    EXPECT_TRUE(logged("Parsing for KAVRI_HELLO, expected attribs for version, session_id and "
                       "(optionally) spi, received \"version=\"1.0\" sessionID=\"0123456789abcdef\" spi=\"1_2\"\""))
        << kavri_test::all_log();
    parse_hello(hello_text("version=\"1.0\" sessionID=\"0123456789abcdef\"", kSig + " x"), &type, &rec);
    EXPECT_TRUE(logged("Parsing for a SHA-256 hash value, expected exactly one value, received too "
                       "much data: \"" + kSig + " x\""));
    EXPECT_TRUE(logged("Parsing KAVRI_HELLO for signature hash failed."));
    parse_hello(hello_text("version=\"1.0\" sessionID=\"0123456789abcdef\"", "zz"), &type, &rec);
    EXPECT_TRUE(logged("Parsing for a SHA-256 hash value,  unparseable input \"zz\""));
    parse_hello(hello_text("version=\"1.0\" sessionID=\"0123456789abcdef\"", kSig, "<Q><R/></Q>"),
                &type, &rec);
    EXPECT_TRUE(logged("Parsing for KAVRI_HELLO, received unexpected <KAVRI><HELLO>-level tag, \"Q\""));
    EXPECT_TRUE(logged("Parsing for KAVRI_HELLO, in Unknown territory, received unexpected tag, \"R\""));
    parse_hello("<KAVRI><MITM></MITM></KAVRI>", &type, &rec);
    EXPECT_TRUE(logged("Parsing for KAVRI_HELLO, reached the end of <KAVRI> without seeing <HELLO> tag."));
}

TEST_F(Parsers, LengthCountingTheTerminatorIsAccepted)
{
    const std::string text = hello_text();
    sVEXA_XML_HELLO rec;
    eVEXA_XML_TYPE type;
    EXPECT_EQ(vexa_xml_parse_hello(text.c_str(), text.size() + 1, &type, &rec), 0);
}

TEST_F(Parsers, VersionTable)
{
    const std::string req = golden::kRequestSignatureHex;
    const std::string neg = golden::kNegotiatedSignatureHex;
    const struct {
        const char* what;
        std::string text;
        int rc;
        int type;
    } cases[] = {
        {"plain", version_text(), 0, 1},
        {"spi 300", version_text(" spi=\"300\""), 0, 1},
        {"spi 0 refused", version_text(" spi=\"0\""), -600, 1},
        {"spi junk", version_text(" spi=\"300 \""), -600, 1},
        {"no request signature", version_text("", ""), -600, 1},
        {"no SIGNATURES", "<KAVRI><VERSION><NEGOTIATION requested=\"1.1\" version=\"1.0\"/></VERSION></KAVRI>", -600, 1},
        {"no VERSION", "<KAVRI></KAVRI>", -600, -98},
        {"negotiated 1.01", "<KAVRI><VERSION><NEGOTIATION requested=\"1.1\" version=\"1.01\"/><SIGNATURES><REQUESTED>" + req + "</REQUESTED><NEGOTIATED>" + neg + "</NEGOTIATED></SIGNATURES></VERSION></KAVRI>", -600, -98},
        {"no NEGOTIATION", "<KAVRI><VERSION><SIGNATURES><REQUESTED>" + req + "</REQUESTED><NEGOTIATED>" + neg + "</NEGOTIATED></SIGNATURES></VERSION></KAVRI>", -600, -98},
        {"second SIGNATURES", version_text("", req, neg, "<SIGNATURES/>"), -600, -98},
        {"second NEGOTIATION", version_text("", req, neg, "<NEGOTIATION requested=\"1.1\" version=\"1.1\"/>"), -600, -98},
        {"REQUESTED in blanks", version_text("", "\n  " + req + "\n", neg), 0, 1},
        {"wrong root", "<KAVRIX><VERSION/></KAVRIX>", -600, -99},
        {"no KAVRI at all", "<OTHER/>", -600, -100},
        {"DOCTYPE", "<!DOCTYPE KAVRI>" + version_text(), -600, -100},
        {"unknown parts kept out", version_text("", req, neg, "<EXTRA a=\"b\"><C/></EXTRA>"), 0, 1},
    };
    for (const auto& c : cases) {
        sVEXA_XML_VERSION rec;
        eVEXA_XML_TYPE type = VEXA_XML_TYPE_REJECT;
        EXPECT_EQ(vexa_xml_parse_version(c.text.c_str(), c.text.size(), &type, &rec), c.rc)
            << c.what << "\n" << kavri_test::all_log();
        EXPECT_EQ(type, c.type) << c.what;
    }
}

TEST_F(Parsers, VersionMessages)
{
    sVEXA_XML_VERSION rec;
    eVEXA_XML_TYPE type;
    const std::string not_xml = "<KAVRI><VERSION>" + std::string(100, 'x') + "</WRONG></KAVRI>";
    vexa_xml_parse_version(not_xml.c_str(), not_xml.size(), &type, &rec);
    EXPECT_EQ(type, VEXA_XML_TYPE_UNPARSEABLE);
    const std::string shown = "_KAVRI__VERSION_" + std::string(60, 'x') + "...";
    EXPECT_TRUE(logged("Error mismatched tag. Expected KAVRI_VERSION XML stanza, input buffer was "
                       "not XML: \"" + shown + "\" ..."))
        << kavri_test::all_log();
    const std::string no_sigs = version_text("", "", "");
    vexa_xml_parse_version(no_sigs.c_str(), no_sigs.size(), &type, &rec);
    EXPECT_TRUE(logged("Parsing for KAVRI_VERSION, reached the end of <SIGNATURES><REQUESTED> "
                       "without seeing a signature."));
    const std::string only_neg = "<KAVRI><VERSION><NEGOTIATION requested=\"1\" version=\"1.0\"/><SIGNATURES><NEGOTIATED>" +
                                 std::string(golden::kNegotiatedSignatureHex) + "</NEGOTIATED></SIGNATURES></VERSION></KAVRI>";
    vexa_xml_parse_version(only_neg.c_str(), only_neg.size(), &type, &rec);
    EXPECT_TRUE(logged("Parsing for KAVRI_VERSION, reached the end of <SIGNATURES> without seeing "
                       "both signatures."));
    const std::string none = "<KAVRI></KAVRI>";
    vexa_xml_parse_version(none.c_str(), none.size(), &type, &rec);
    EXPECT_TRUE(logged("Parsing for KAVRI_VERSION, reached the end of stanza incomplete. missing "
                       "request signature missing negotiated signature"));
}

TEST_F(Parsers, FailCodeTable)
{
    const struct {
        const char* attrs;
        int rc;
        uint32_t code;
    } cases[] = {
        {"code=\"1033\" reason=\"r\"", 0, 1033},
        {"code=\"1033\"", 0, 1033},  // reason optional
        {"code=\"4294967295\"", 0, 0xFFFFFFFFu},
        {"code=\"-1\"", 0, 0xFFFFFFFFu},
        {"code=\"-2147483648\"", 0, 0x80000000u},
        {"code=\"-2147483649\"", -600, 0},
        {"code=\"4294968329\"", -600, 0},  // would alias to 1033
        {"code=\" 1033\"", -600, 0},
        {"code=\"+1033\"", -600, 0},
        {"code=\"1033x\"", -600, 0},
        {"code=\"0x409\"", -600, 0},
        {"code=\"\"", -600, 0},
        {"code=\"0\"", -600, 0},
        {"code=\"-0\"", -600, 0},
        {"reason=\"no code\"", -600, 0},
    };
    for (const auto& c : cases) {
        const std::string text = std::string("<KAVRI><FAIL ") + c.attrs + "></FAIL></KAVRI>";
        sVEXA_XML_FAIL rec;
        eVEXA_XML_TYPE type;
        EXPECT_EQ(vexa_xml_parse_fail(text.c_str(), text.size(), &type, &rec), c.rc) << c.attrs;
        if (c.rc == 0) {
            EXPECT_EQ(rec.failure_code, c.code) << c.attrs;
            EXPECT_EQ(type, VEXA_XML_TYPE_FAIL);
        }
    }
    EXPECT_TRUE(logged("Trying to parse KAVRI_FAIL, given failure code was 0"));
    sVEXA_XML_FAIL rec;
    const std::string bare = "<KAVRI><FAIL code=\"7\"/></KAVRI>";
    ASSERT_EQ(vexa_xml_parse_fail(bare.c_str(), bare.size(), nullptr, &rec), 0);
    EXPECT_STREQ(rec.failure_reason, "");
    const std::string none = "<KAVRI><X/></KAVRI>";
    EXPECT_EQ(vexa_xml_parse_fail(none.c_str(), none.size(), nullptr, &rec), -600);
    EXPECT_TRUE(logged("Parsing for KAVRI_FAIL, reached the end of <KAVRI> without seeing <FAIL> tag."));
}
