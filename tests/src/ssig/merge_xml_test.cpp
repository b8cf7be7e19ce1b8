// Stanza merging: exact output bytes, refusals, and merged stanzas that
// parse and validate with the gateway's key.
#include "MergeXML.h"

#include "golden_values.h"
#include "log_capture.h"
#include "stanza_fixtures.h"
#include "vexa_xml_hello.h"
#include "vexa_xml_version.h"

#include <gtest/gtest.h>

#include <string>

using merge_xml::merge_hello;
using merge_xml::merge_version;

namespace {

const std::string kSid = golden::kSessionIdHex;
const std::string kOldThumb(64, 'a');
const std::string kOldSig(64, 'b');

std::string client_hello(const std::string& session_attrs, const std::string& tail)
{
    return "<KAVRI><HELLO version=\"1.0\" sessionID=\"" + kSid + "\" spi=\"0\"><SESSION " +
           session_attrs + "/><SIGNATURE>" + kOldSig + "</SIGNATURE></HELLO>" + tail + "</KAVRI>";
}

const std::string kHop1 = "<MITM><HELLO version=\"1.0\" name=\"hop1\" /></MITM>";
const std::string kTarget =
    client_hello("extra=\"e\" thumbprint=\"" + kOldThumb + "\" serverName=\"old.sni\"", kHop1);

// What the printer makes of the target with the gateway's fields spliced in.
std::string merged_body(const std::string& extra_hops = "")
{
    return "<KAVRI><HELLO version=\"1.0\" sessionID=\"" + kSid +
           "\" spi=\"0\"><SESSION extra=\"e\" serverName=\"gw.example\" thumbprint=\"" +
           golden::kDerThumbprintHex + "\"/><SIGNATURE>" + golden::kHelloSignatureHex +
           "</SIGNATURE></HELLO><MITM><HELLO version=\"1.0\" name=\"hop1\"/>" + extra_hops +
           "<HELLO version=\"1.0\" name=\"gw\"/></MITM></KAVRI>";
}

const std::string kPostPrefix = std::string(golden::kHelloFull).substr(0, 115);

class Merge : public kavri_test::LibraryTest {};

}  // namespace

TEST(FindStartingPoint, SplitsTheHeader)
{
    std::string prefix = "p", suffix = "s";
    EXPECT_EQ(merge_xml::find_starting_point(" \r\n\t<KAVRI/>", prefix, suffix), "<KAVRI/>");
    EXPECT_EQ(prefix, "");
    EXPECT_EQ(suffix, "");
    EXPECT_EQ(merge_xml::find_starting_point(golden::kHelloFull, prefix, suffix), golden::kHelloBody);
    EXPECT_EQ(prefix, kPostPrefix);
    EXPECT_EQ(suffix, "");
    EXPECT_EQ(merge_xml::find_starting_point("A\r\nContent-Length: 3\r\nX-A: b\r\nX-B: c\r\n\r\n<K/>",
                                             prefix, suffix),
              "<K/>");
    EXPECT_EQ(prefix, "A\r\n");
    EXPECT_EQ(suffix, "X-A: b\r\nX-B: c");
    std::string p2, s2;
    EXPECT_EQ(merge_xml::find_starting_point("A\r\nNo-Length: 3\r\n\r\n<K/>", p2, s2), "");
    EXPECT_EQ(merge_xml::find_starting_point("A\r\nContent-Length: 3\r\n<K/>", p2, s2), "");
    EXPECT_EQ(merge_xml::find_starting_point(" \r\n ", p2, s2), "");
}

TEST_F(Merge, HelloGoldenOutput)
{
    std::string out = "unchanged";
    ASSERT_EQ(merge_hello(kTarget, golden::kHelloFull, out), 1);
    const std::string body = merged_body();
    EXPECT_EQ(out, kPostPrefix + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);

    // The merged stanza carries the gateway's signed fields: it validates with the rtag.
    sVEXA_XML_HELLO rec;
    ASSERT_EQ(vexa_xml_parse_hello(out.c_str(), out.size(), nullptr, &rec), 0) << kavri_test::all_log();
    EXPECT_EQ(vexa_xml_validate_hello(&rec, golden::kRtag), 0);
    EXPECT_EQ(rec.mitm_hellos.count, 2);
    EXPECT_STREQ(rec.mitm_hellos.mitm[1].name, "gw");
}

TEST_F(Merge, HeaderlessSourceGivesTheStanzaAlone)
{
    std::string out;
    ASSERT_EQ(merge_hello(kTarget, golden::kHelloBody, out), 1);
    EXPECT_EQ(out, merged_body());
}

TEST_F(Merge, HeaderLinesAfterContentLengthAreKept)
{
    const std::string source = "POST /x HTTP/1.0\r\nContent-Length: 9\r\nX-A: b\r\n\r\n" +
                               std::string(golden::kHelloBody);
    std::string out;
    ASSERT_EQ(merge_hello(kTarget, source, out), 1);
    const std::string body = merged_body();
    EXPECT_EQ(out, "POST /x HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nX-A: b\r\n\r\n" + body);
}

TEST_F(Merge, TargetWithoutMitmGetsTheWholeSourceList)
{
    const std::string target = client_hello(
        "thumbprint=\"" + kOldThumb + "\" serverName=\"old\"", "<OTHER k=\"v\"><X/></OTHER>");
    std::string out;
    ASSERT_EQ(merge_hello(target, golden::kHelloBody, out), 1);
    // Appended to the root, so after the unknown element that follows HELLO.
    EXPECT_NE(out.find("</HELLO><OTHER k=\"v\"><X/></OTHER><MITM><HELLO version=\"1.0\" "
                       "name=\"gw\"/></MITM></KAVRI>"),
              std::string::npos)
        << out;
}

TEST_F(Merge, CommentsDeclarationsAndCdataInTheTargetDoNotStopIt)
{
    // Quotes and angle brackets inside these are not markup; the printer drops
    // comments and declarations, and keeps a CDATA section as it is.
    const struct {
        const char* what;
        std::string before_mitm;
        std::string after_mitm;
        std::string kept;
    } cases[] = {
        {"apostrophe in a comment", "<!-- it's the client's -->", "", ""},
        {"quote and bracket in a comment", "<!-- a \" > b -->", "", ""},
        {"declaration with quotes", "<?pi it's ?>", "", ""},
        {"quote in CDATA", "", "<X><![CDATA[ it's <a> ]]></X>", "<X><![CDATA[ it's <a> ]]></X>"},
    };
    for (const auto& c : cases) {
        const std::string target = "<?xml version='1.0'?>" +
                                   client_hello("extra=\"e\" thumbprint=\"" + kOldThumb +
                                                    "\" serverName=\"old.sni\"",
                                                c.before_mitm + kHop1 + c.after_mitm);
        std::string out;
        ASSERT_EQ(merge_hello(target, golden::kHelloBody, out), 1) << c.what;
        std::string expected = merged_body();
        expected.insert(expected.size() - 8, c.kept);
        EXPECT_EQ(out, expected) << c.what;
    }
}

TEST_F(Merge, EverySameNamedTargetAttributeIsReplaced)
{
    const std::string target = client_hello("serverName=\"a\" thumbprint=\"" + kOldThumb +
                                                "\" serverName=\"b\" thumbprint=\"x\"",
                                            kHop1);
    std::string out;
    ASSERT_EQ(merge_hello(target, golden::kHelloBody, out), 1);
    EXPECT_EQ(out, "<KAVRI><HELLO version=\"1.0\" sessionID=\"" + kSid +
                       "\" spi=\"0\"><SESSION serverName=\"gw.example\" thumbprint=\"" +
                       golden::kDerThumbprintHex + "\"/><SIGNATURE>" + golden::kHelloSignatureHex +
                       "</SIGNATURE></HELLO><MITM><HELLO version=\"1.0\" name=\"hop1\"/><HELLO "
                       "version=\"1.0\" name=\"gw\"/></MITM></KAVRI>");
}

TEST_F(Merge, Refusals)
{
    const std::string body = golden::kHelloBody;
    const std::string no_mitm_source = body.substr(0, body.find("<MITM>")) + "</KAVRI>";
    const std::string empty_mitm_source = body.substr(0, body.find("<MITM>")) + "<MITM></MITM></KAVRI>";
    const std::string no_name_source = [&] {
        std::string s = body;
        s.replace(s.find(" serverName=\"gw.example\""), 24, "");
        return s;
    }();
    std::string deep;
    for (int i = 0; i < 100; ++i)
        deep += "<d>";
    for (int i = 0; i < 100; ++i)
        deep += "</d>";
    const struct {
        const char* what;
        std::string target;
        std::string source;
    } cases[] = {
        {"malformed target", "<KAVRI><HELLO></WRONG></KAVRI>", body},
        {"target not XML", "garbage", body},
        {"empty source", kTarget, ""},
        {"source header without length", kTarget, "POST / HTTP/1.0\r\n\r\n" + body},
        {"source without MITM", kTarget, no_mitm_source},
        {"source MITM without hop", kTarget, empty_mitm_source},
        {"source without serverName", kTarget, no_name_source},
        {"target without SESSION", "<KAVRI><HELLO><SIGNATURE>x</SIGNATURE></HELLO></KAVRI>", body},
        {"target with two HELLO", "<KAVRI><HELLO/>" + kTarget.substr(7), body},
        {"target with two MITM", client_hello("serverName=\"a\" thumbprint=\"b\"", kHop1 + kHop1), body},
        {"DOCTYPE in target", "<!DOCTYPE KAVRI [<!ENTITY x \"y\">]>" + kTarget, body},
        {"NUL inside target", kTarget.substr(0, 20) + std::string(1, '\0') + kTarget.substr(20), body},
        {"deep nesting", client_hello("serverName=\"a\" thumbprint=\"b\"", deep), body},
        {"deep nesting between quotes in comments",
         client_hello("serverName=\"a\" thumbprint=\"b\"", "<!-- ' -->" + deep + "<!-- ' -->"),
         body},
    };
    for (const auto& c : cases) {
        std::string out = "unchanged";
        EXPECT_EQ(merge_hello(c.target, c.source, out), 0) << c.what;
        EXPECT_EQ(out, "unchanged") << c.what;
    }
    // A target SIGNATURE with no text at all.
    std::string target = kTarget;
    target.replace(target.find(kOldSig), kOldSig.size(), "");
    std::string out = "unchanged";
    EXPECT_EQ(merge_hello(target, body, out), 0);
}

TEST_F(Merge, OversizeIsRefusedNeverCut)
{
    auto target_with_pad = [](size_t pad) {
        return client_hello("thumbprint=\"a\" serverName=\"b\" pad=\"" + std::string(pad, 'p') + "\"",
                            kHop1);
    };
    std::string out;
    ASSERT_EQ(merge_hello(target_with_pad(0), golden::kHelloBody, out), 1);
    const size_t base = out.size();

    // Headerless: the printed stanza alone may reach 4094 characters.
    ASSERT_EQ(merge_hello(target_with_pad(4094 - base), golden::kHelloBody, out), 1);
    EXPECT_EQ(out.size(), 4094u);
    EXPECT_EQ(merge_hello(target_with_pad(4095 - base), golden::kHelloBody, out), 0);

    // With a header, the rebuilt Content-Length line counts too: a stanza of
    // 3970 passes the prefix-and-suffix estimate but the whole text would be
    // 4109 characters, more than a 4096-byte buffer holds.
    std::string framed;
    ASSERT_EQ(merge_hello(target_with_pad(3970 - base), golden::kHelloFull, framed), 0);
    ASSERT_EQ(merge_hello(target_with_pad(3950 - base), golden::kHelloFull, framed), 1);
    EXPECT_LE(framed.size(), merge_xml::kMaxMergedLength);
    EXPECT_EQ(framed.size(), 115 + 16 + 4 + 4 + 3950u);
}

// A MITM element of n hops named h0.., as a client's HELLO carries them.
std::string mitm_of(int n, const std::string& first = "h")
{
    std::string m = "<MITM>";
    for (int i = 0; i < n; ++i)
        m += "<HELLO version=\"1.0\" name=\"" + first + std::to_string(i) + "\" spi=\"" +
             std::to_string(300 + i) + "\"/>";
    return m + "</MITM>";
}

size_t hops_in(const std::string& text)
{
    size_t n = 0;
    const size_t mitm = text.find("<MITM>");
    for (size_t p = text.find("<HELLO ", mitm); mitm != std::string::npos && p != std::string::npos;
         p = text.find("<HELLO ", p + 1))
        ++n;
    return n;
}

TEST_F(Merge, WithoutTheGatewaysHopTheClientsHopsGoOnUnchanged)
{
    // Ten client hops: the gateway could not add itself, so its writer's
    // list is the client's own ten and nothing is appended.
    const std::string target =
        client_hello("thumbprint=\"" + kOldThumb + "\" serverName=\"old\"", mitm_of(10));
    std::string source = golden::kHelloBody;
    source.replace(source.find("<MITM>"), std::string::npos, mitm_of(10) + "</KAVRI>");
    std::string out;
    ASSERT_EQ(merge_hello(target, source, out, false), 1);
    EXPECT_EQ(hops_in(out), 10u);
    EXPECT_NE(out.find(mitm_of(10)), std::string::npos) << out;
    EXPECT_NE(out.find("serverName=\"gw.example\""), std::string::npos);

    // Asked to append, the same pair would make eleven: refused.
    EXPECT_EQ(merge_hello(target, source, out, true), 0);
}

TEST_F(Merge, MoreThanTenHopsAreRefused)
{
    const struct {
        const char* what;
        int target_hops;
        int source_hops;
        bool add;
        int expected;
    } cases[] = {
        {"nine and the gateway", 9, 10, true, 1},
        {"ten and the gateway", 10, 11, true, 0},
        {"no target list, ten in the source", 0, 10, true, 1},
        {"no target list, eleven in the source", 0, 11, true, 0},
        {"eleven kept as they came", 11, 11, false, 0},
    };
    for (const auto& c : cases) {
        const std::string target = client_hello("thumbprint=\"" + kOldThumb + "\" serverName=\"old\"",
                                                c.target_hops ? mitm_of(c.target_hops) : "");
        std::string source = golden::kHelloBody;
        source.replace(source.find("<MITM>"), std::string::npos, mitm_of(c.source_hops, "s") + "</KAVRI>");
        std::string out = "unchanged";
        EXPECT_EQ(merge_hello(target, source, out, c.add), c.expected) << c.what;
        if (c.expected == 1)
            EXPECT_LE(hops_in(out), 10u) << c.what;
        else
            EXPECT_EQ(out, "unchanged") << c.what;
    }
}

TEST_F(Merge, VersionGoldenAndValidatesWithTheSourceKey)
{
    // The server's VERSION, signed with the ctag, with parts the library does not know.
    sVEXA_XML_VERSION server = kavri_test::golden_version();
    server.spi = 0;
    char body[4096];
    ASSERT_EQ(vexa_xml_create_version(&server, golden::kCtag, nullptr, body), 0);
    std::string target = body;
    target.replace(target.find("<REQUESTED>") + 11, 64, "\n  " + std::string(64, 'c') + "\n");
    target.insert(target.find("</VERSION>"), "<EXTRA a=\"1\">t</EXTRA>");

    // The gateway's own VERSION, signed with the rtag.
    sVEXA_XML_VERSION own = kavri_test::golden_version();
    own.spi = 0;
    char full[4096];
    ASSERT_EQ(vexa_xml_create_version(&own, golden::kRtag, full, nullptr), 0);

    std::string out;
    ASSERT_EQ(merge_version(target, full, out), 1);
    const std::string header = std::string(full).substr(0, 78);
    const std::string x = "<KAVRI><VERSION><NEGOTIATION requested=\"1.1\" version=\"1.0\"><MITM><HELLO "
                          "version=\"1.0\" name=\"gw\" spi=\"4096\"/></MITM></NEGOTIATION><SIGNATURES>"
                          "<REQUESTED>" + kavri_test::hex(own.request_signature, 32) +
                          "</REQUESTED><NEGOTIATED>" + kavri_test::hex(own.negotiated_signature, 32) +
                          "</NEGOTIATED></SIGNATURES><EXTRA a=\"1\">t</EXTRA></VERSION></KAVRI>";
    EXPECT_EQ(out, header + "Content-Length: " + std::to_string(x.size()) + "\r\n\r\n" + x);

    sVEXA_XML_VERSION rec;
    ASSERT_EQ(vexa_xml_parse_version(out.c_str(), out.size(), nullptr, &rec), 0) << kavri_test::all_log();
    EXPECT_EQ(vexa_xml_validate_version(&rec, golden::kRtag), 0);
    EXPECT_EQ(vexa_xml_validate_version(&rec, golden::kCtag), -606);

    std::string unchanged = "unchanged";
    std::string no_text = target;
    no_text.replace(no_text.find("<NEGOTIATED>") + 12, 64, "");
    EXPECT_EQ(merge_version(no_text, full, unchanged), 0);
    EXPECT_EQ(merge_version("<KAVRI><VERSION/></KAVRI>", full, unchanged), 0);
    EXPECT_EQ(merge_version(target, "<KAVRI><VERSION><SIGNATURES/></VERSION></KAVRI>", unchanged), 0);
    EXPECT_EQ(unchanged, "unchanged");
}
