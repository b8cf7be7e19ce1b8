// Stanza writers and signatures against golden texts built by the generator.
#include "golden_values.h"
#include "log_capture.h"
#include "stanza_fixtures.h"
#include "vexa_xml_fail.h"
#include "vexa_xml_hello.h"
#include "vexa_xml_util.h"
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

class Writers : public kavri_test::LibraryTest {
protected:
    char full[4096];
    char body[4096];
};

}  // namespace

TEST_F(Writers, HelloMatchesGolden)
{
    sVEXA_XML_HELLO h = golden_hello();
    ASSERT_EQ(vexa_xml_create_hello(&h, golden::kRtag, full, body), 0) << kavri_test::all_log();
    EXPECT_EQ(hex(h.signature, 32), golden::kHelloSignatureHex);
    EXPECT_STREQ(h.version, "1.0");
    EXPECT_STREQ(full, golden::kHelloFull);
    EXPECT_STREQ(body, golden::kHelloBody);
}

TEST_F(Writers, VersionMatchesGolden)
{
    sVEXA_XML_VERSION v = golden_version();
    ASSERT_EQ(xml_intern_create_version_at(&v, golden::kCtag, kavri_test::kGoldenTime, full, body),
              0)
        << kavri_test::all_log();
    EXPECT_EQ(hex(v.request_signature, 32), golden::kRequestSignatureHex);
    EXPECT_EQ(hex(v.negotiated_signature, 32), golden::kNegotiatedSignatureHex);
    EXPECT_STREQ(full, golden::kVersionFull);
    EXPECT_STREQ(body, golden::kVersionBody);

    v.spi = 0;
    ASSERT_EQ(vexa_xml_create_version(&v, nullptr, nullptr, body), 0);
    EXPECT_EQ(std::string(body).rfind("<KAVRI><VERSION><NEGOTIATION", 0), 0u) << body;
}

TEST_F(Writers, FailMatchesGoldenInBothForms)
{
    const sVEXA_XML_FAIL f = golden_fail();
    ASSERT_EQ(xml_intern_create_fail_at(&f, 0, kavri_test::kGoldenTime, full, body), 0);
    EXPECT_STREQ(full, golden::kFailPostFull);
    EXPECT_STREQ(body, golden::kFailBody);
    ASSERT_EQ(xml_intern_create_fail_at(&f, 1, kavri_test::kGoldenTime, full, nullptr), 0);
    EXPECT_STREQ(full, golden::kFailReplyFull);

    sVEXA_XML_FAIL big = golden_fail();
    big.failure_code = 0xFFFFFFFFu;  // printed signed, as the peers expect
    ASSERT_EQ(vexa_xml_create_fail(&big, 0, nullptr, body), 0);
    EXPECT_STREQ(body, "<KAVRI><FAIL code=\"-1\" reason=\"try again\"></FAIL></KAVRI>");
}

TEST_F(Writers, HelloWithEmptyVersionAndNoSpi)
{
    sVEXA_XML_HELLO h = golden_hello();
    h.mitm_hellos.count = 0;
    ASSERT_EQ(vexa_xml_create_hello(&h, golden::kRtag, nullptr, body), 0);
    EXPECT_NE(std::strstr(body, "<HELLO version=\"1.0\" sessionID=\"0123456789abcdef\" spi=\"0\">"),
              nullptr)
        << body;
    EXPECT_EQ(std::strstr(body, "<MITM>"), nullptr) << "no hop list without hops";
}

TEST_F(Writers, HelloWithoutOutputsOnlySigns)
{
    sVEXA_XML_HELLO h;
    std::memset(&h, 0, sizeof h);  // invalid in every field
    EXPECT_EQ(vexa_xml_create_hello(&h, golden::kRtag, nullptr, nullptr), 0);
    EXPECT_FALSE(xml_util_hash_is_0(h.signature));
    EXPECT_STREQ(h.version, "1.0");

    // The VERSION writer checks even then.
    sVEXA_XML_VERSION v;
    std::memset(&v, 0, sizeof v);
    EXPECT_EQ(vexa_xml_create_version(&v, nullptr, nullptr, nullptr), -601);
    EXPECT_TRUE(logged("(vexa_xml_create_version) -- input version_info did not have valid "
                       "requested_version (length = 0)"));
}

TEST_F(Writers, HelloChecksInRecordOrder)
{
    const struct {
        void (*spoil)(sVEXA_XML_HELLO&);
        const char* message;
    } cases[] = {
        {[](sVEXA_XML_HELLO& h) { std::memcpy(h.version, "12345678", 8); },
         "(vexa_xml_create_hello) -- input hello_info did not have valid version (length = 8)"},
        {[](sVEXA_XML_HELLO& h) { std::memset(h.session_id, 0, 8); },
         "(vexa_xml_create_hello) -- input hello_info did not have valid session_id"},
        {[](sVEXA_XML_HELLO& h) { std::memset(h.thumbprint_hash, 0, 32); },
         "(vexa_xml_create_hello) -- input hello_info did not have valid thumbprint_hash"},
        {[](sVEXA_XML_HELLO& h) { h.server_name[0] = 0; },
         "(vexa_xml_create_hello) -- input hello_info did not have valid server_name (length = 0)"},
        {[](sVEXA_XML_HELLO& h) { std::memset(h.server_name, 'a', 80); },
         "(vexa_xml_create_hello) -- input hello_info did not have valid server_name (length = 80)"},
        {[](sVEXA_XML_HELLO& h) { std::memset(h.signature, 0, 32); },
         "(vexa_xml_create_hello) -- input hello_info did not have valid signature"},
        {[](sVEXA_XML_HELLO& h) { h.spi = 255; },
         "(vexa_xml_create_hello) -- input hello_info did not have valid non-zero SPI preference "
         "= 255 (valid range is [256..2147483647])"},
        {[](sVEXA_XML_HELLO& h) { h.mitm_hellos.mitm[0].spi = 0x80000000u; },
         "(xml_create_mitm_hellos) -- input hello_info did not have valid non-zero mitm[0] SPI "
         "preference = 2147483648 (valid range is [256..2147483647])"},
        {[](sVEXA_XML_HELLO& h) { h.mitm_hellos.mitm[0].version[0] = 0; },
         "(xml_create_mitm_hellos) -- input hello_info did not have valid mitm[0] version (length "
         "= 0)"},
        {[](sVEXA_XML_HELLO& h) { std::memset(h.mitm_hellos.mitm[0].name, 'n', 80); },
         "(xml_create_mitm_hellos) -- input hello_info did not have valid mitm[0] name (length = "
         "80)"},
    };
    for (const auto& c : cases) {
        sVEXA_XML_HELLO h = golden_hello();
        vexa_xml_create_hello(&h, golden::kRtag, nullptr, nullptr);  // sign first
        c.spoil(h);
        kavri_test::captured_log().clear();
        std::strcpy(full, "untouched");
        EXPECT_EQ(vexa_xml_create_hello(&h, nullptr, full, body), -601) << c.message;
        EXPECT_TRUE(logged(c.message)) << kavri_test::all_log();
        EXPECT_STREQ(full, "untouched");
    }
}

TEST_F(Writers, VersionAndFailChecks)
{
    const struct {
        void (*spoil)(sVEXA_XML_VERSION&);
        const char* message;
    } cases[] = {
        {[](sVEXA_XML_VERSION& v) { std::memcpy(v.version, "12345678", 8); },
         "(vexa_xml_create_version) -- input version_info did not have valid version (length = 8)"},
        {[](sVEXA_XML_VERSION& v) { std::memset(v.request_signature, 0, 32); },
         "(vexa_xml_create_version) -- input version_info did not have valid requeste_signature"},
        {[](sVEXA_XML_VERSION& v) { std::memset(v.negotiated_signature, 0, 32); },
         "(vexa_xml_create_version) -- input version_info did not have valid negotiated_signature"},
        {[](sVEXA_XML_VERSION& v) { v.spi = 0x80000000u; },
         "(vexa_xml_create_version) -- input version_info did not have valid non-zero SPI "
         "preference = 2147483648 (valid range is [256..2147483647])"},
        {[](sVEXA_XML_VERSION& v) { v.mitm_hellos.mitm[0].spi = 255; },
         "(xml_create_mitm_hellos) -- input hello_info did not have valid non-zero mitm[0] SPI "
         "preference = 255 (valid range is [256..2147483647])"},
    };
    for (const auto& c : cases) {
        sVEXA_XML_VERSION v = golden_version();
        vexa_xml_create_version(&v, golden::kCtag, nullptr, nullptr);
        c.spoil(v);
        kavri_test::captured_log().clear();
        EXPECT_EQ(vexa_xml_create_version(&v, nullptr, full, body), -601) << c.message;
        EXPECT_TRUE(logged(c.message)) << kavri_test::all_log();
    }

    sVEXA_XML_FAIL f = golden_fail();
    f.failure_code = 0;
    EXPECT_EQ(vexa_xml_create_fail(&f, 0, full, body), -601);
    EXPECT_TRUE(
        logged("(vexa_xml_create_fail) -- input fail_info did not have a non-zero failure_code"));
    f = golden_fail();
    f.failure_reason[0] = 0;
    EXPECT_EQ(vexa_xml_create_fail(&f, 0, full, body), -601);
    EXPECT_TRUE(logged("(vexa_xml_create_fail) -- input fail_info did not have valid "
                       "failure_reason (length = 0)"));
    EXPECT_EQ(vexa_xml_create_fail(nullptr, 0, full, body), -601);
    EXPECT_EQ(vexa_xml_create_hello(nullptr, nullptr, full, body), -601);
    EXPECT_EQ(vexa_xml_create_version(nullptr, nullptr, full, body), -601);
}

TEST_F(Writers, MoreThanTenHopsIsRefusedEverywhere)
{
    sVEXA_XML_HELLO h = golden_hello();
    h.mitm_hellos.count = 11;  // the hop array holds ten
    vexa_xml_create_hello(&h, golden::kRtag, nullptr, nullptr);
    EXPECT_EQ(vexa_xml_create_hello(&h, nullptr, full, body), -601);

    sVEXA_XML_VERSION v = golden_version();
    v.mitm_hellos.count = 255;
    EXPECT_EQ(vexa_xml_create_version(&v, golden::kCtag, full, body), -601);
    EXPECT_EQ(vexa_xml_validate_version(&v, golden::kCtag), -605);

    sVEXA_XML_FAIL f = golden_fail();
    f.mitm_hellos.count = 11;
    EXPECT_EQ(vexa_xml_create_fail(&f, 0, full, body), -601);
}

TEST_F(Writers, AttributeValuesAreEscaped)
{
    sVEXA_XML_FAIL f = golden_fail();
    std::strcpy(f.failure_reason, "a&b<c>d\"e\tf");
    kavri_test::add_hop(f.mitm_hellos, "1.0", "x\" spi=\"300");
    ASSERT_EQ(vexa_xml_create_fail(&f, 0, nullptr, body), 0);
    EXPECT_STREQ(body,
                 "<KAVRI><FAIL code=\"1033\" reason=\"a&amp;b&lt;c&gt;d&quot;e&#9;f\"><MITM>"
                 "<HELLO version=\"1.0\" name=\"x&quot; spi=&quot;300\" /></MITM></FAIL></KAVRI>");
}

TEST_F(Writers, LongestEscapedBodyIsRefusedNotCut)
{
    sVEXA_XML_FAIL f = golden_fail();
    std::memset(f.failure_reason, '&', 79);
    for (int i = 0; i < 10; ++i) {
        kavri_test::add_hop(f.mitm_hellos, "1.0", "n");
        std::memset(f.mitm_hellos.mitm[i].name, '"', 79);
    }
    std::strcpy(full, "untouched");
    EXPECT_EQ(vexa_xml_create_fail(&f, 0, full, body), -601);
    EXPECT_STREQ(full, "untouched");
}

// A SHA-256 callout that keeps a transcript of what it is fed.
namespace {
std::string g_transcript;
int recording_update(SHA256_CTX* ctx, const void* data, size_t len)
{
    g_transcript.append(static_cast<const char*>(data), len);
    return SHA256_Update(ctx, data, len);
}
int recording_init(SHA256_CTX* ctx)
{
    g_transcript += '|';
    return SHA256_Init(ctx);
}
}  // namespace

TEST(SignatureTranscript, FieldsGoInWithoutSeparatorsOrEscaping)
{
    const sVEXA_XML_CALLOUTS c{recording_init, recording_update, SHA256_Final, kavri_test::capture_log};
    vexa_xml_init(&c);
    sVEXA_XML_HELLO h = golden_hello();
    std::strcpy(h.server_name, "a&b");
    g_transcript.clear();
    vexa_xml_create_hello(&h, "KEY", nullptr, nullptr);
    const auto tp = kavri_test::unhex(golden::kDerThumbprintHex);
    EXPECT_EQ(g_transcript, "|KEY" + std::string(tp.begin(), tp.end()) + "a&b");

    sVEXA_XML_VERSION v = golden_version();
    kavri_test::add_hop(v.mitm_hellos, "2.0", "h\"2");
    g_transcript.clear();
    vexa_xml_create_version(&v, "KEY", nullptr, nullptr);
    EXPECT_EQ(g_transcript, "|KEY1.1gw1.0h\"22.0|KEY1.11.0gw1.0h\"22.0");
    vexa_xml_teardown();
}

TEST(Uninitialised, SigningFailsWithoutAborting)
{
    vexa_xml_teardown();
    kavri_test::captured_log().clear();
    sVEXA_XML_HELLO h = golden_hello();
    testing::internal::CaptureStdout();
    EXPECT_EQ(vexa_xml_create_hello(&h, golden::kRtag, nullptr, nullptr), -601);
    sVEXA_XML_VERSION v = golden_version();
    EXPECT_EQ(vexa_xml_create_version(&v, golden::kCtag, nullptr, nullptr), -601);
    EXPECT_EQ(vexa_xml_validate_version(&v, golden::kCtag), -605);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("g_is_initialized"), std::string::npos) << out;
    // Unkeyed writing works uninitialised.
    char body[4096];
    std::memset(h.signature, 1, 32);
    EXPECT_EQ(vexa_xml_create_hello(&h, nullptr, nullptr, body), 0);
}
