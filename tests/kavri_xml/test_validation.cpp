// Validation against session tags, version texts and negotiation.
#include "golden_values.h"
#include "log_capture.h"
#include "stanza_fixtures.h"
#include "vexa_xml_hello.h"
#include "vexa_xml_util.h"
#include "vexa_xml_version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using kavri_test::golden_hello;
using kavri_test::golden_version;
using kavri_test::logged;

namespace {

class Validation : public kavri_test::LibraryTest {
protected:
    // The golden HELLO as the client sends it: signed with the rtag, parsed back.
    sVEXA_XML_HELLO parsed_hello()
    {
        sVEXA_XML_HELLO h = golden_hello();
        char full[4096];
        EXPECT_EQ(vexa_xml_create_hello(&h, golden::kRtag, full, nullptr), 0);
        sVEXA_XML_HELLO p;
        EXPECT_EQ(vexa_xml_parse_hello(full, std::strlen(full), nullptr, &p), 0);
        return p;
    }
};

}  // namespace

TEST_F(Validation, GoldenHelloValidatesWithTheRtagOnly)
{
    const sVEXA_XML_HELLO h = parsed_hello();
    EXPECT_EQ(vexa_xml_validate_hello(&h, golden::kRtag), 0) << kavri_test::all_log();
    EXPECT_EQ(vexa_xml_validate_hello(&h, golden::kCtag), -605);
    EXPECT_TRUE(logged("(vexa_xml_validate_hello): signature from xml does not match calculated "
                       "signature"));
}

TEST_F(Validation, HelloTableByFailureCode)
{
    const std::string rtag = golden::kRtag;
    const struct {
        const char* what;
        void (*spoil)(sVEXA_XML_HELLO&);
        std::string tag;
        int rc;
        const char* message;
    } cases[] = {
        {"version 0.9", [](sVEXA_XML_HELLO& h) { std::strcpy(h.version, "0.9"); }, rtag, -603,
         "(vexa_xml_validate_hello): version is invalid, expected >= \"1.0\", got \"0.9\""},
        {"version 2.0 passes", [](sVEXA_XML_HELLO& h) { std::strcpy(h.version, "2.0"); }, rtag, 0,
         nullptr},
        {"tag of 103", [](sVEXA_XML_HELLO& h) { h.session_id[0] ^= 1; }, rtag.substr(0, 103), -600,
         "(vexa_xml_validate_hello): failed to parse the context tag"},
        {"tag not SCS", [](sVEXA_XML_HELLO&) {}, "XCS" + rtag.substr(3), -600, nullptr},
        {"tag F2 not Base64", [](sVEXA_XML_HELLO&) {}, rtag.substr(0, 60) + "*" + rtag.substr(61),
         -600, nullptr},
        {"session id", [](sVEXA_XML_HELLO& h) { h.session_id[7] ^= 1; }, rtag, -607,
         "(vexa_xml_validate_hello): session_id does not match expected value"},
        {"signature bit", [](sVEXA_XML_HELLO& h) { h.signature[31] ^= 0x80; }, rtag, -605, nullptr},
        {"server name", [](sVEXA_XML_HELLO& h) { h.server_name[0] = 'G'; }, rtag, -605, nullptr},
        {"thumbprint halves swapped, signed again",
         [](sVEXA_XML_HELLO& h) {
             uint8_t t[32];
             std::memcpy(t, h.thumbprint_hash + 16, 16);
             std::memcpy(t + 16, h.thumbprint_hash, 16);
             std::memcpy(h.thumbprint_hash, t, 32);
             vexa_xml_create_hello(&h, golden::kRtag, nullptr, nullptr);
         },
         rtag, -608,
         "(vexa_xml_validate_hello): thumbprint hash from xml does not match calculated "
         "thumbprint hash"},
    };
    for (const auto& c : cases) {
        sVEXA_XML_HELLO h = parsed_hello();
        c.spoil(h);
        if (std::string(c.what) == "version 2.0 passes")
            vexa_xml_create_hello(&h, golden::kRtag, nullptr, nullptr);
        kavri_test::captured_log().clear();
        EXPECT_EQ(vexa_xml_validate_hello(&h, c.tag.c_str()), c.rc) << c.what;
        if (c.message != nullptr) {
            EXPECT_TRUE(logged(c.message)) << c.what << "\n" << kavri_test::all_log();
        }
    }
}

TEST_F(Validation, HelloLogsEveryHopFromTwoOn)
{
    sVEXA_XML_HELLO h = golden_hello();
    kavri_test::add_hop(h.mitm_hellos, "1.0", "hop/two");
    vexa_xml_create_hello(&h, golden::kRtag, nullptr, nullptr);
    ASSERT_EQ(vexa_xml_validate_hello(&h, golden::kRtag), 0);
    EXPECT_TRUE(logged("(vexa_xml_validate_hello): MITM#1 gw"));
    EXPECT_TRUE(logged("(vexa_xml_validate_hello): MITM#2 hop_two"));
}

TEST_F(Validation, HelloByCertificateData)
{
    sVEXA_XML_HELLO h = golden_hello();
    const auto der = kavri_test::unhex(golden::kDerHex);
    EXPECT_EQ(vexa_xml_validate_hello_by_cert_data(&h, der.data(), 5), -603) << "empty version";
    std::strcpy(h.version, "1.0");
    EXPECT_EQ(vexa_xml_validate_hello_by_cert_data(&h, der.data(), 5), 0);
    EXPECT_EQ(vexa_xml_validate_hello_by_cert_data(&h, der.data(), 4), -608);
    EXPECT_EQ(vexa_xml_validate_hello_by_cert_data(&h, nullptr, 5), -608);
    EXPECT_EQ(vexa_xml_validate_hello_by_cert_data(&h, der.data(), -1), -608);
}

TEST_F(Validation, VersionTableByFailureCode)
{
    const struct {
        const char* what;
        void (*spoil)(sVEXA_XML_VERSION&);
        int rc;
        const char* message;
    } cases[] = {
        {"untouched", [](sVEXA_XML_VERSION&) {}, 0, nullptr},
        {"negotiated 1.1", [](sVEXA_XML_VERSION& v) { std::strcpy(v.version, "1.1"); }, -605, nullptr},
        {"negotiated 1.2", [](sVEXA_XML_VERSION& v) { std::strcpy(v.version, "1.2"); }, -603,
         "(vexa_xml_validate_version): version is invalid, expected version \"1.0\" or \"1.1\", "
         "got \"1.2\""},
        {"hop name", [](sVEXA_XML_VERSION& v) { v.mitm_hellos.mitm[0].name[0] = 'G'; }, -606,
         "(vexa_xml_validate_version): request signature from xml does not match calculated "
         "signature"},
        {"requested version", [](sVEXA_XML_VERSION& v) { std::strcpy(v.requested_version, "1.0"); },
         -606, nullptr},
        {"negotiated signature bit", [](sVEXA_XML_VERSION& v) { v.negotiated_signature[0] ^= 1; },
         -605,
         "(vexa_xml_validate_version): negotiated signature from xml does not match calculated "
         "signature"},
        {"spi is not signed", [](sVEXA_XML_VERSION& v) { v.spi = 999; }, 0, nullptr},
    };
    for (const auto& c : cases) {
        sVEXA_XML_VERSION v = golden_version();
        ASSERT_EQ(vexa_xml_create_version(&v, golden::kCtag, nullptr, nullptr), 0);
        c.spoil(v);
        kavri_test::captured_log().clear();
        EXPECT_EQ(vexa_xml_validate_version(&v, golden::kCtag), c.rc) << c.what;
        if (c.message != nullptr) {
            EXPECT_TRUE(logged(c.message)) << c.what << "\n" << kavri_test::all_log();
        }
    }
    // Signed again after the change, 1.1 passes.
    sVEXA_XML_VERSION v = golden_version();
    std::strcpy(v.version, "1.1");
    vexa_xml_create_version(&v, golden::kCtag, nullptr, nullptr);
    EXPECT_EQ(vexa_xml_validate_version(&v, golden::kCtag), 0);
    EXPECT_EQ(vexa_xml_validate_version(&v, golden::kRtag), -606);
}

TEST(NegotiatedVersion, Check)
{
    const struct {
        const char* version;
        int rc;
        const char* out;
    } cases[] = {{"1.0", 0, "1.0"}, {"1.1", 0, "1.1"}, {"1.2", -604, ""},
                 {"1.10", -604, ""}, {"1.01", -612, ""}, {"", -612, ""}};
    for (const auto& c : cases) {
        sVEXA_XML_VERSION v = golden_version();
        std::strcpy(v.version, c.version);
        char out[8] = "";
        EXPECT_EQ(vexa_xml_validate_negotiated_version(&v, out), c.rc) << c.version;
        EXPECT_STREQ(out, c.out) << c.version;
    }
    EXPECT_EQ(vexa_xml_validate_negotiated_version(nullptr, nullptr), -612);
}

TEST(KnownVersion, Table)
{
    const struct {
        const char* text;
        bool known;
        unsigned code;
    } cases[] = {
        {"1.0", true, 0x10000},       {"1.1", true, 0x10001},       {"1.2", true, 0x99999999},
        {"1.10", true, 0x99999999},   {"2.0", true, 0x99999999},    {"10.0", true, 0x99999999},
        {"1.01", false, 0},           {"01.2", false, 0},           {"1.2.3", false, 0},
        {"1.", false, 0},             {".1", false, 0},             {"1", false, 0},
        {"a.b", false, 0},            {"", false, 0},               {"0.9", false, 0},
        {"65536.0", false, 0},        {"65537.1", false, 0},        {"1.0 ", false, 0},
        {"-1.2", false, 0},
    };
    for (const auto& c : cases) {
        unsigned code = 12345;
        EXPECT_EQ(xml_get_known_version(c.text, &code), c.known) << c.text;
        EXPECT_EQ(code, c.code) << c.text;
    }
    EXPECT_FALSE(xml_get_known_version(nullptr, nullptr));
}

TEST_F(Validation, CheckVersionMessage)
{
    EXPECT_EQ(xml_util_check_version("1.0"), 0);
    EXPECT_EQ(xml_util_check_version("x/y"), -501);
    EXPECT_TRUE(logged("Expecting a version, \"1.0\", \"1.1\", or greater than or equal to \"1.1\". "
                       "Got x_y"));
}

TEST(HelloNegotiation, Table)
{
    const struct {
        const char* own;
        const char* hops[3];
        int rc;
        const char* out;
    } cases[] = {
        {"1.1", {"1.1", "1.1", nullptr}, 0, "1.0"},
        {"1.0", {nullptr}, 0, "1.0"},
        {"2.0", {"1.2", nullptr}, 0, "1.0"},
        {"1.1", {"1.01", nullptr}, -612, ""},
        {"x", {nullptr}, -612, ""},
    };
    for (const auto& c : cases) {
        sVEXA_XML_HELLO h = golden_hello();
        h.mitm_hellos.count = 0;
        std::strcpy(h.version, c.own);
        for (const char* hop : c.hops)
            if (hop != nullptr)
                kavri_test::add_hop(h.mitm_hellos, hop, "n");
        char out[4] = "";
        EXPECT_EQ(vexa_xml_negotiate_hello_version(&h, out), c.rc) << c.own;
        EXPECT_STREQ(out, c.out) << c.own;
    }
    EXPECT_EQ(vexa_xml_negotiate_hello_version(nullptr, nullptr), -612);
}
