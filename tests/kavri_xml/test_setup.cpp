// Set-up, type names, sanitising, hex texts and logging of the stanza library.
#include "log_capture.h"
#include "vexa_xml.h"
#include "vexa_xml_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using kavri_test::captured_log;
using kavri_test::LibraryTest;
using kavri_test::logged;

TEST(StanzaTypeDesc, EveryCodeHasItsText)
{
    const struct {
        int type;
        const char* text;
    } cases[] = {
        {0, "KAVRI_HELLO"},       {1, "KAVRI_VERSION"},  {2, "KAVRI_REJECT"},
        {3, "KAVRI_FAIL"},        {4, "KAVRI_REJECTED"}, {-98, "unknown KAVRI XML"},
        {-99, "unknown XML"},     {-100, "unparseable"},
        // Values outside the table are answered, not indexed.
        {5, "unknown XML"},       {-1, "unknown XML"},   {-101, "unknown XML"},
        {1 << 30, "unknown XML"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(vexa_xml_get_stanza_type_desc(static_cast<eVEXA_XML_TYPE>(c.type)), c.text)
            << c.type;
}

TEST(Sanitize, ReplacesOnlyColonSlashAndAngleBrackets)
{
    char text[] = "a:b/c<d>e";
    vexa_xml_sanitize(text);
    EXPECT_STREQ(text, "a_b_c_d_e");

    std::string all;
    for (int c = 1; c < 256; ++c)
        all += static_cast<char>(c);
    std::string expected = all;
    for (char& c : expected)
        if (c == ':' || c == '/' || c == '<' || c == '>')
            c = '_';
    vexa_xml_sanitize(all.data());
    EXPECT_EQ(all, expected);
    vexa_xml_sanitize(nullptr);  // harmless
}

TEST(ApiVersion, IsOnePointZero)
{
    EXPECT_STREQ(vexa_xml_get_api_version(), "1.0");
}

TEST(Setup, InitLogsTheBuildAndTeardownClearsEverything)
{
    captured_log().clear();
    const sVEXA_XML_CALLOUTS callouts = kavri_test::openssl_callouts();
    EXPECT_EQ(vexa_xml_init(&callouts), 0);
    EXPECT_TRUE(vexa_xml_is_initialized());
    ASSERT_EQ(captured_log().size(), 1u);
    EXPECT_EQ(captured_log()[0].first, 2);
    EXPECT_EQ(captured_log()[0].second,
              "(vexa_xml_init) -- Software Build ID: kavri-sg-release 1.14.1.984");

    vexa_xml_teardown();
    EXPECT_FALSE(vexa_xml_is_initialized());
    // The log callout is gone too: messages now go to standard output.
    captured_log().clear();
    testing::internal::CaptureStdout();
    vexa_xml_intern_log_message(1, "after teardown");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "after teardown\n");
    EXPECT_TRUE(captured_log().empty());

    xml_util_sha256 h;
    EXPECT_FALSE(xml_util_sha256_begin(&h, "probe"));
}

TEST(Setup, WithoutLogCalloutMessagesGoToStandardOutput)
{
    const sVEXA_XML_CALLOUTS callouts = kavri_test::openssl_callouts(nullptr);
    testing::internal::CaptureStdout();
    vexa_xml_init(&callouts);
    uint8_t id[8];
    xml_util_session_id_from_hex("123", id);
    const std::string out = testing::internal::GetCapturedStdout();
    vexa_xml_teardown();
    EXPECT_EQ(out,
              "(vexa_xml_init) -- Software Build ID: kavri-sg-release 1.14.1.984\n"
              "Hex sessionID string was wrong length, expected 16, received 3, value = \"123\"\n");
}

TEST(SetupDeathTest, MissingCalloutsAbortWithTheirCheckText)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(vexa_xml_init(nullptr), "fn_ptrs != \\(\\(void \\*\\)0\\)");
    sVEXA_XML_CALLOUTS c = kavri_test::openssl_callouts();
    c.SHA256_Init = nullptr;
    EXPECT_DEATH(vexa_xml_init(&c), "fn_ptrs->SHA256_Init != \\(\\(void \\*\\)0\\)");
    c = kavri_test::openssl_callouts();
    c.SHA256_Update = nullptr;
    EXPECT_DEATH(vexa_xml_init(&c), "fn_ptrs->SHA256_Update != \\(\\(void \\*\\)0\\)");
    c = kavri_test::openssl_callouts();
    c.SHA256_Final = nullptr;
    EXPECT_DEATH(vexa_xml_init(&c), "fn_ptrs->SHA256_Final != \\(\\(void \\*\\)0\\)");
}

class Hex : public LibraryTest {};

TEST_F(Hex, WritesLowerCaseAndReadsEitherCase)
{
    const uint8_t id[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    char text[17];
    xml_util_session_id_to_hex(id, text);
    EXPECT_STREQ(text, "0123456789abcdef");
    uint8_t back[8] = {};
    EXPECT_EQ(xml_util_session_id_from_hex("0123456789ABCDEF", back), 0);
    EXPECT_EQ(std::memcmp(back, id, 8), 0);

    uint8_t hash[32];
    for (int i = 0; i < 32; ++i)
        hash[i] = static_cast<uint8_t>(i * 37 + 5);
    char hex[65];
    xml_util_sha256_hash_to_hex(hash, hex);
    EXPECT_EQ(std::strlen(hex), 64u);
    for (const char* p = hex; *p; ++p)
        EXPECT_TRUE((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')) << hex;
    uint8_t hash_back[32] = {};
    EXPECT_EQ(xml_util_sha256_hash_from_hex(hex, hash_back), 0);
    EXPECT_EQ(std::memcmp(hash_back, hash, 32), 0);

    uint8_t v16[16], v32[32];
    EXPECT_EQ(xml_util_128bit_from_hex("00112233445566778899aAbBcCdDeEfF", v16), 0);
    char t16[33];
    xml_util_128bit_to_hex(v16, t16);
    EXPECT_STREQ(t16, "00112233445566778899aabbccddeeff");
    EXPECT_EQ(xml_util_256bit_from_hex(hex, v32), 0);
    EXPECT_EQ(std::memcmp(v32, hash, 32), 0);
}

TEST_F(Hex, WrongLengthIsRefusedWithItsMessage)
{
    uint8_t hash[32];
    const std::string digits63(63, 'a');
    EXPECT_EQ(xml_util_sha256_hash_from_hex(digits63.c_str(), hash), -501);
    EXPECT_TRUE(logged("Hex SHA-256 string was wrong length, expected 64, received 63, value = \"" +
                       digits63 + "\""))
        << kavri_test::all_log();
    uint8_t v16[16];
    EXPECT_EQ(xml_util_128bit_from_hex("abc", v16), -501);
    EXPECT_TRUE(logged(
        "Hex string (128 bits) was wrong length, expected 32, received 3, value = \"abc\""));
    EXPECT_EQ(xml_util_sha256_hash_from_hex(nullptr, hash), -501);
}

TEST_F(Hex, EveryCharacterMustBeAHexDigit)
{
    // The sixth pair is not hex: five pairs parsed.
    std::string text(64, '0');
    text[10] = 'z';
    text[11] = 'z';
    uint8_t hash[32];
    std::memset(hash, 0x77, sizeof hash);
    EXPECT_EQ(xml_util_sha256_hash_from_hex(text.c_str(), hash), -501);
    EXPECT_TRUE(logged("Hex SHA-256 string was not valid length, expected 32 parses, "
                       "performed 5, value = \"" + text + "\""))
        << kavri_test::all_log();
    EXPECT_EQ(hash[0], 0x77) << "output untouched on failure";

    // Forms that a two-digit scanf conversion would take.
    for (const char* pair : {" f", "+f", "-1", "0x", "f ", "fg", "\tf"}) {
        std::string id = std::string(pair) + "00112233445566";
        uint8_t out[8];
        EXPECT_EQ(xml_util_session_id_from_hex(id.c_str(), out), -501) << pair;
    }
}

TEST_F(Hex, QuotedValueIsSanitisedAndBounded)
{
    uint8_t id[8];
    EXPECT_EQ(xml_util_session_id_from_hex("<a>:/b", id), -501);
    EXPECT_TRUE(logged(
        "Hex sessionID string was wrong length, expected 16, received 6, value = \"_a___b\""));
    const std::string huge(10000, 'x');
    captured_log().clear();
    EXPECT_EQ(xml_util_session_id_from_hex(huge.c_str(), id), -501);
    ASSERT_EQ(captured_log().size(), 1u);
    EXPECT_LT(captured_log()[0].second.size(), 400u);
}

TEST(ZeroTests, TrueOnlyWhenEveryByteIsZero)
{
    uint8_t buf[40] = {};
    EXPECT_TRUE(xml_util_hash_is_0(buf));
    EXPECT_TRUE(xml_util_session_id_is_0(buf));
    EXPECT_TRUE(xml_util_data_is_0(buf, 0));
    buf[31] = 1;
    EXPECT_FALSE(xml_util_hash_is_0(buf));
    EXPECT_TRUE(xml_util_session_id_is_0(buf));
    buf[7] = 1;
    EXPECT_FALSE(xml_util_session_id_is_0(buf));
    EXPECT_TRUE(xml_util_data_is_0(buf + 32, 8));
    EXPECT_FALSE(xml_util_data_is_0(buf, 40));
}
