#include "SSIG.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace vexa::ssig;

TEST(SSIGXmlCmd, LabelsFromTheSecondAngleBracket)
{
    const struct {
        const char* text;
        const char* label;
    } cases[] = {
        {"POST / HTTP/1.1\r\nContent-Length:   20\r\n\r\n<KAVRI><HELLO v=\"1\"/>", "KAVRI_HELLO"},
        {"<KAVRI><VERSION/></KAVRI>", "KAVRI_VERSION"},
        {"<KAVRI><FAIL/>", "KAVRI_FAIL"},
        {"HTTP 200\r\n\r\n<KAVRI><REJECTED/>", "KAVRI_REJECTED"},
        {"<KAVRI><REJECT/>", "KAVRI_REJECT"},
        {"<KAVRI><RENEW/>", "KAVRI_RENEW"},
        {"<KAVRI><HELL/>", "UNKNOWN_XML"},
        {"<KAVRI>", "UNKNOWN_XML"},
        {"<?xml version=\"1.0\"?><KAVRI><HELLO/>", "UNKNOWN_XML"},
        {"", "UNKNOWN_XML"},
        {nullptr, "UNKNOWN_XML"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(get_ssig_xml_cmd(c.text), c.label) << (c.text ? c.text : "null");
}

TEST(SSIGSanitize, MasksTheFirstElementText)
{
    const struct {
        const char* xml;
        const char* masked;
    } cases[] = {
        {"<A><SIGNATURE>c2lnbg==</SIGNATURE></A>", "<A><SIGNATURE>***</SIGNATURE></A>"},
        {"<A><SIGNATURE>abc", "<A><SIGNATURE>***"},
        {"<A>no signature</A>", "<A>no signature</A>"},
        {"<SIGNATURE>1</SIGNATURE><SIGNATURE>2</SIGNATURE>",
         "<SIGNATURE>***</SIGNATURE><SIGNATURE>2</SIGNATURE>"},
        {"</SIGNATURE><SIGNATURE>x", "</SIGNATURE><SIGNATURE>***"},
        {"<SIGNATURE></SIGNATURE>", "<SIGNATURE>***</SIGNATURE>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sanitize_xml(c.xml, "<SIGNATURE>", "</SIGNATURE>"), c.masked) << c.xml;

    // The legs mask two elements one after the other.
    const std::string v = "<V><REQUESTED>r</REQUESTED><NEGOTIATED>n</NEGOTIATED></V>";
    EXPECT_EQ(sanitize_xml(sanitize_xml(v, "<REQUESTED>", "</REQUESTED>"), "<NEGOTIATED>",
                           "</NEGOTIATED>"),
              "<V><REQUESTED>***</REQUESTED><NEGOTIATED>***</NEGOTIATED></V>");
    EXPECT_EQ(sanitize_xml("<A>", nullptr, nullptr), "<A>");
    EXPECT_EQ(sanitize_xml("<A><B>x", "<B>", nullptr), "<A><B>***");
}

sVEXA_XML_MITM_HELLO hop(int i)
{
    sVEXA_XML_MITM_HELLO h;
    std::memset(&h, 0, sizeof h);
    std::snprintf(h.version, sizeof h.version, "1.%d", i);
    std::snprintf(h.name, sizeof h.name, "hop-%d", i);
    h.spi = 256 + i;
    return h;
}

TEST(SSIGFail, KeepsTenHopsAndSeventyNineCharacters)
{
    MitmInfoVector hops;
    for (int i = 0; i < 12; ++i)
        hops.push_back(hop(i));
    // An unterminated field is cut to its size less one.
    std::memset(hops[1].version, '9', sizeof hops[1].version);
    std::memset(hops[2].name, 'n', sizeof hops[2].name);
    const std::string reason(87, 'r');

    const sVEXA_XML_FAIL f = populate_fail_xml(1035, reason, hops);
    EXPECT_EQ(f.failure_code, 1035u);
    EXPECT_EQ(std::string(f.failure_reason), std::string(79, 'r'));
    ASSERT_EQ(f.mitm_hellos.count, 10);
    for (int i = 0; i < 10; ++i) {
        if (i == 1)
            EXPECT_STREQ(f.mitm_hellos.mitm[i].version, "9999999");
        else
            EXPECT_STREQ(f.mitm_hellos.mitm[i].version, hops[i].version);
        if (i == 2)
            EXPECT_EQ(std::string(f.mitm_hellos.mitm[i].name), std::string(79, 'n'));
        else
            EXPECT_STREQ(f.mitm_hellos.mitm[i].name, hops[i].name);
        EXPECT_EQ(f.mitm_hellos.mitm[i].spi, hops[i].spi);
    }
}

TEST(SSIGFail, PointerFormAndEmptyInputs)
{
    const sVEXA_XML_MITM_HELLO hops[3] = {hop(0), hop(1), hop(2)};
    sVEXA_XML_FAIL f = populate_fail_xml(1037, "short", 2, hops);
    EXPECT_STREQ(f.failure_reason, "short");
    EXPECT_EQ(f.mitm_hellos.count, 2);
    EXPECT_STREQ(f.mitm_hellos.mitm[1].name, "hop-1");
    EXPECT_EQ(f.mitm_hellos.mitm[2].spi, 0u);  // the record is zeroed beyond the hops

    f = populate_fail_xml(1, "", 5, nullptr);
    EXPECT_STREQ(f.failure_reason, "");
    EXPECT_EQ(f.mitm_hellos.count, 0);
    EXPECT_EQ(populate_fail_xml(1, "x", MitmInfoVector{}).mitm_hellos.count, 0);
}

}  // namespace
