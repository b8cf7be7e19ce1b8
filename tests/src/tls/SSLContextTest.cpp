#include "SSLContext.h"

#include "Config.h"
#include "LogCapture.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <string>
#include <vector>

namespace {

using boost::asio::ssl::context;
using boost::log::trivial::warning;

// The suites a TLS 1.2 connection can use (TLS 1.3 suites are listed apart
// from the cipher list and unreachable under the version cap).
std::vector<std::string> cipher_names(context& ctx)
{
    std::vector<std::string> names;
    STACK_OF(SSL_CIPHER)* list = SSL_CTX_get_ciphers(ctx.native_handle());
    for (int i = 0; list && i < sk_SSL_CIPHER_num(list); ++i) {
        const SSL_CIPHER* c = sk_SSL_CIPHER_value(list, i);
        if (std::string(SSL_CIPHER_get_version(c)) != "TLSv1.3")
            names.emplace_back(SSL_CIPHER_get_name(c));
    }
    return names;
}

class SSLContextOptions : public ::testing::Test {
protected:
    void SetUp() override
    {
        vexa::Config::get_instance()->set("SSLCipherList",
                                          "ECDHE-RSA-AES128-GCM-SHA256:AES256-SHA");
    }
    LogCapture log;
    vexa::logger_t lg;
};

struct OptionCase {
    bool server;
    uint64_t expected_added;  // options the call must add, and no others
};

TEST_F(SSLContextOptions, SetsExactlyTheSymbolicOptionsAndNothingElse)
{
    const uint64_t common =
        SSL_OP_ALL | SSL_OP_LEGACY_SERVER_CONNECT | SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3;
    const OptionCase cases[] = {
        {true, common | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_SINGLE_DH_USE},
        {false, common},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server ? "server" : "client");
        context ctx(context::sslv23);
        SSL_CTX* native = ctx.native_handle();
        const uint64_t before = SSL_CTX_get_options(native);
        const int verify_before = SSL_CTX_get_verify_mode(native);
        const long min_before = SSL_CTX_get_min_proto_version(native);
        if (c.server)
            vexa::set_server_ssl_context_options("T", lg, ctx);
        else
            vexa::set_client_ssl_context_options("T", lg, ctx);

        EXPECT_EQ(SSL_CTX_get_options(native), before | c.expected_added);
        EXPECT_EQ(SSL_CTX_get_options(native) & SSL_OP_CIPHER_SERVER_PREFERENCE,
                  c.server ? SSL_OP_CIPHER_SERVER_PREFERENCE : 0u);
        // The 1.0.x numeric masks would have set these in OpenSSL 3.0.
        EXPECT_EQ(SSL_CTX_get_options(native) &
                      (SSL_OP_ALLOW_CLIENT_RENEGOTIATION | SSL_OP_NO_ANTI_REPLAY |
                       SSL_OP_ENABLE_KTLS | SSL_OP_IGNORE_UNEXPECTED_EOF),
                  0u);
        EXPECT_EQ(SSL_CTX_get_security_level(native), 1);
        EXPECT_EQ(SSL_CTX_get_max_proto_version(native), TLS1_2_VERSION);
        EXPECT_EQ(SSL_CTX_get_min_proto_version(native), min_before);
        EXPECT_EQ(SSL_CTX_get_verify_mode(native), verify_before);
        EXPECT_EQ(SSL_CTX_get0_certificate(native), nullptr);
        EXPECT_EQ(cipher_names(ctx),
                  (std::vector<std::string>{"ECDHE-RSA-AES128-GCM-SHA256", "AES256-SHA"}));
    }
    EXPECT_TRUE(log.lines().empty()) << log.text();
}

struct CipherCase {
    const char* list;
    std::size_t warnings;  // cipher-list warnings per context
};

TEST_F(SSLContextOptions, RejectedCipherListsLogOneWarningPerQueuedErrorAndGoOn)
{
    const CipherCase cases[] = {
        {"BOGUS", 1},
        {"", 1},
        {"ECDHE-RSA-AES128-GCM-SHA256:BOGUS", 0},  // partly valid: accepted silently
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        vexa::Config::get_instance()->set("SSLCipherList", c.list);
        log.clear();
        context server(context::sslv23), client(context::sslv23);
        vexa::set_server_ssl_context_options("SrvPrefix", lg, server);
        vexa::set_client_ssl_context_options("CliPrefix", lg, client);

        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 2 * c.warnings) << log.text();
        if (c.warnings) {
            EXPECT_TRUE(log.has(warning,
                                "SrvPrefix: Failed to set client-facing cipher list - no cipher match"))
                << log.text();
            EXPECT_TRUE(log.has(warning,
                                "CliPrefix: Failed to set server-facing cipher list - no cipher match"))
                << log.text();
        }
        // Curve selection still ran and found nothing to report; options stay.
        EXPECT_EQ(log.count_messages("automatic curve selection"), 0u);
        EXPECT_NE(SSL_CTX_get_options(server.native_handle()) & SSL_OP_CIPHER_SERVER_PREFERENCE, 0u);
        EXPECT_EQ(ERR_peek_error(), 0u);
    }
}

TEST(SSLErrorReason, FallsBackToTheNumericCodeWithoutReasonText)
{
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
    EXPECT_EQ(vexa::ssl_error_reason(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_NO_CIPHER_MATCH)),
              "no cipher match");
    const unsigned long unknown = ERR_PACK(ERR_LIB_USER, 0, 4001);
    ASSERT_EQ(ERR_reason_error_string(unknown), nullptr);
    EXPECT_EQ(vexa::ssl_error_reason(unknown), std::to_string(unknown));
}

}  // namespace
