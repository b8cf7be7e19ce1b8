#include "CipherList.h"

#include "LogCapture.h"
#include "Startup.h"

#include <gtest/gtest.h>

namespace {

const char* const DEFAULT_OPENSSL =
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-SHA384:"
    "ECDHE-RSA-AES128-SHA256:AES256-GCM-SHA384:AES128-GCM-SHA256:AES256-SHA256:AES128-SHA256:"
    "AES256-SHA:AES128-SHA";

class CipherList : public ::testing::Test {
protected:
    vexa::Config config;
    vexa::logger_t lg;
    void SetUp() override { vexa::register_defaults(config); }
};

TEST_F(CipherList, DefaultsTranslateInOrder)
{
    LogCapture cap;
    vexa::settle_cipher_list(config, lg);
    EXPECT_EQ(DEFAULT_OPENSSL, config.get("SSLCipherList"));
    EXPECT_TRUE(cap.contains("info    : Using ciphers providing maximum compatibility."));
    EXPECT_TRUE(cap.contains("info    : Ciphers available for TLS connections: " +
                             vexa::default_cipher_list() + "\n"))
        << cap.text();
}

TEST_F(CipherList, PfsTypeIsCaseSensitive)
{
    config.set("SSLCipherListType", "pfs");
    LogCapture cap;
    vexa::settle_cipher_list(config, lg);
    EXPECT_EQ(DEFAULT_OPENSSL, config.get("SSLCipherList"));
    EXPECT_TRUE(
        cap.contains("warning : Unknown cipher list type: pfs; using MaximumCompatibility."));
}

TEST_F(CipherList, PfsList)
{
    config.set("SSLCipherListType", "PFS");
    LogCapture cap;
    vexa::settle_cipher_list(config, lg);
    EXPECT_EQ(
        "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-SHA384:"
        "ECDHE-RSA-AES128-SHA256",
        config.get("SSLCipherList"));
    EXPECT_TRUE(cap.contains("info    : Using ciphers supporting PFS only."));
}

TEST_F(CipherList, EverythingBlacklisted)
{
    config.set("SSLCipherListType", "PFS");
    config.set("SSLCipherBlackList", vexa::default_pfs_cipher_list());
    LogCapture cap;
    vexa::settle_cipher_list(config, lg);
    EXPECT_EQ("", config.get("SSLCipherList"));
    EXPECT_TRUE(
        cap.contains("error   : No TLS ciphers are enabled; all connections will be rejected."));
    EXPECT_FALSE(cap.contains("Ciphers available"));
}

TEST_F(CipherList, BlacklistTable)
{
    struct {
        const char* list;
        const char* blacklist;
        const char* result;
        const char* available;
    } cases[] = {
        // The default (empty) blacklist holds one empty name: empty entries go.
        {"A::B:", "", "A:B", "A:B"},
        {"A::B:", "X", "A::B:", "A::B:"},
        // Names compare as configured, so an OpenSSL name blacklists nothing.
        {"TLS_RSA_WITH_AES_128_CBC_SHA:AES256-SHA", "AES128-SHA", "AES128-SHA:AES256-SHA",
         "TLS_RSA_WITH_AES_128_CBC_SHA:AES256-SHA"},
        {"TLS_RSA_WITH_AES_128_CBC_SHA:TLS_DHE_RSA_WITH_AES_128_GCM_SHA256",
         "TLS_RSA_WITH_AES_128_CBC_SHA", "DHE-RSA-AES128-GCM-SHA256",
         "TLS_DHE_RSA_WITH_AES_128_GCM_SHA256"},
        // A trailing carriage return keeps the suite.
        {"TLS_RSA_WITH_AES_128_CBC_SHA", "TLS_RSA_WITH_AES_128_CBC_SHA\r", "AES128-SHA",
         "TLS_RSA_WITH_AES_128_CBC_SHA"},
    };
    for (const auto& c : cases) {
        vexa::Config cfg;
        vexa::register_defaults(cfg);
        cfg.set("SSLCipherList", c.list);
        cfg.set("SSLCipherBlackList", c.blacklist);
        LogCapture cap;
        vexa::settle_cipher_list(cfg, lg);
        EXPECT_EQ(c.result, cfg.get("SSLCipherList")) << c.list << " / " << c.blacklist;
        EXPECT_TRUE(cap.contains(std::string("Ciphers available for TLS connections: ") +
                                 c.available + "\n"))
            << cap.text();
    }
}

TEST(CipherNames, Table)
{
    EXPECT_EQ("DHE-RSA-AES128-SHA256", vexa::openssl_cipher_name("TLS_DHE_RSA_WITH_AES_128_CBC_SHA256"));
    EXPECT_EQ("", vexa::openssl_cipher_name("AES128-SHA"));
}

}  // namespace
