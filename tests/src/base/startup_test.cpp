#include "Startup.h"

#include "LogCapture.h"
#include "TempDir.h"

#include <boost/log/core.hpp>
#include <boost/log/sources/logger.hpp>
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <vector>

namespace {

// Every key with its default, in registration order.
const std::pair<const char*, const char*> DEFAULTS[] = {
    {"TCPControlPort", "50060"},
    {"TCPControlBindIP", "127.0.0.1"},
    {"TCPControlMaxConnections", "10"},
    {"TCPControlSendStateChangedNotifications", "0"},
    {"TCPControlCertKsgSni", "xmltcp-control-default-sni"},
    {"SSLCertType", "0"},
    {"SSLCipherList",
     "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384:TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256:"
     "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384:TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256:"
     "TLS_RSA_WITH_AES_256_GCM_SHA384:TLS_RSA_WITH_AES_128_GCM_SHA256:"
     "TLS_RSA_WITH_AES_256_CBC_SHA256:TLS_RSA_WITH_AES_128_CBC_SHA256:TLS_RSA_WITH_AES_256_CBC_SHA:"
     "TLS_RSA_WITH_AES_128_CBC_SHA"},
    {"SSLPFSCipherList",
     "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384:TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256:"
     "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384:TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256"},
    {"SSLCipherListType", "MaximumCompatibility"},
    {"SSLCipherBlackList", ""},
    {"SSLCertPath", "./certs/"},
    {"SSLLinuxExtCertPhrase", ""},
    {"SSLLinuxExtCert", "BRCertificate.pem"},
    {"SSLLinuxExtPriv", "BRCertificateKey.pem"},
    {"SSLLinuxExtCA", "BRCertificateCA.pem"},
    {"TCPControlCertPath", "./certs/"},
    {"SSLCertMinKeyLength", "1024"},
    {"SSLCertSubstring", ""},
    {"SSLCertKsgSni", "kavri-default-sni"},
    {"SSLDHParamFile", "dh3072.pem"},
    {"SSLRefuseClientOnSniMismatch", "0"},
    {"SSLRefuseServerOnSniMismatch", "0"},
    {"DefaultServerSni", "kavri-default-sni"},
    {"DefaultSgSni", "kavri-default-sg-sni"},
    {"LogLevel", "2"},
    {"ExternalBindIP", "0.0.0.0"},
    {"ExternalRoutableIP", "127.0.0.1"},
    {"ExternalUDPPort", "4172"},
    {"ExternalRoutableUDPPort", "0"},
    {"InternalUDPPort", "55000"},
    {"ExternalTCPPort", "4172"},
    {"InternalBindIP", "0.0.0.0"},
    {"DisableAES128GCM", "0"},
    {"UdpSocketRxBufSize", "384"},
    {"UdpSocketTxBufSize", "192"},
    {"EnableRoamingIP", "1"},
    {"EnableLogRotation", "1"},
    {"MaxConnections", "5000"},
    {"SsigMaxNoActivitySeconds", "180"},
    {"UdpMaxNoActivitySeconds", "180"},
    {"MinOpenSSLVersion", "1.0.2a"},
    {"EnableResumeWithoutStag", "0"},
};

// Sets or clears TMPDIR for one scope.
class TmpdirScope {
public:
    explicit TmpdirScope(const char* value)
    {
        const char* old = std::getenv("TMPDIR");
        had = old != nullptr;
        if (had)
            saved = old;
        if (value)
            ::setenv("TMPDIR", value, 1);
        else
            ::unsetenv("TMPDIR");
    }
    ~TmpdirScope()
    {
        if (had)
            ::setenv("TMPDIR", saved.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

private:
    bool had = false;
    std::string saved;
};

TEST(Defaults, EveryKey)
{
    TmpdirScope env(nullptr);
    vexa::Config c;
    vexa::register_defaults(c);
    EXPECT_EQ(42u, sizeof DEFAULTS / sizeof DEFAULTS[0]);
    for (const auto& d : DEFAULTS)
        EXPECT_EQ(d.second, c.get(d.first)) << d.first;
    EXPECT_EQ("/tmp", c.get("LogPath"));
    for (const char* none : {"FilterSessionOptions", "TCPControlLinuxExtCert",
                             "TCPControlLinuxExtPriv", "TCPControlLinuxExtCA",
                             "TCPControlLinuxExtCertPhrase"})
        EXPECT_EQ("", c.get(none)) << none;
}

TEST(Defaults, LogPathFollowsTmpdirEvenWhenEmpty)
{
    {
        TmpdirScope env("/var/tmp/x");
        vexa::Config c;
        vexa::register_defaults(c);
        EXPECT_EQ("/var/tmp/x", c.get("LogPath"));
    }
    {
        TmpdirScope env("");
        vexa::Config c;
        vexa::register_defaults(c);
        EXPECT_EQ("", c.get("LogPath"));
        EXPECT_EQ("./", c.get_as_path("LogPath"));
    }
}

TEST(Defaults, FileWinsExceptForTheCipherLists)
{
    TempDir tmp;
    vexa::Config c;
    c.open(tmp.write("c.conf",
                     "SSLCertPath=/opt/certs/\nSSLCipherList=NULL-MD5\nMaxConnections=7\n"));
    vexa::register_defaults(c);
    EXPECT_EQ("/opt/certs/", c.get("TCPControlCertPath"));
    EXPECT_EQ("7", c.get("MaxConnections"));
    EXPECT_EQ(DEFAULTS[6].second, c.get("SSLCipherList"));
}

TEST(Defaults, KnownSettingsAreTheDefaultsAndTheKeysWithout)
{
    const std::set<std::string>& known = vexa::known_settings();
    EXPECT_EQ(50u, known.size());
    for (const auto& d : DEFAULTS)
        EXPECT_EQ(1u, known.count(d.first)) << d.first;
    for (const char* key : {"LogPath", "FilterSessionOptions", "TCPControlLinuxExtCert", "TCPControlLinuxExtPriv",
                            "TCPControlLinuxExtCA", "TCPControlLinuxExtCertPhrase",
                            "ConnectionServerExternalRoutableIP", "ConnectionServerExternalRoutablePort"})
        EXPECT_EQ(1u, known.count(key)) << key;
}

struct WarningCase {
    const char* name;
    const char* file;
    std::vector<std::string> warnings;  // after "Configuration file <path>, "
};

class ConfigWarnings : public ::testing::TestWithParam<WarningCase> {};

TEST_P(ConfigWarnings, NameTheLineOfEveryUnusedSetting)
{
    TempDir tmp;
    vexa::Config c;
    const std::string path = tmp.write("c.conf", GetParam().file);
    c.open(path);
    std::vector<std::string> expected;
    for (const auto& w : GetParam().warnings)
        expected.push_back("Configuration file " + path + ", " + w);
    EXPECT_EQ(expected, vexa::config_file_warnings(c, path));
}

INSTANTIATE_TEST_SUITE_P(
    Startup, ConfigWarnings,
    ::testing::Values(
        WarningCase{"known_keys_and_comments", "LogLevel=1\n# Typo=1\n\nFilterSessionOptions abcd\n#  LogLevel=2\n", {}},
        WarningCase{"typo_once_per_key",
                    "TCPControlPrt=1\nLogLevel=2\nTCPControlPrt=2\nlogLevel=3\n",
                    {"line 1: unknown key TCPControlPrt; the line is ignored",
                     "line 4: unknown key logLevel; the line is ignored"}},
        WarningCase{"indented_each_line",
                    " LogLevel=1\n\tBogus 2\n LogLevel=3\n   \n",
                    {"line 1: LogLevel does not start in the first column; the line is ignored",
                     "line 2: Bogus does not start in the first column; the line is ignored",
                     "line 3: LogLevel does not start in the first column; the line is ignored"}},
        WarningCase{"cipher_lists",
                    "SSLCipherList=NULL-MD5\nSSLPFSCipherList=x\nSSLCipherList=y\nSSLCipherListType=PFS\n",
                    {"line 1: SSLCipherList is never read from the file; the line is ignored",
                     "line 2: SSLPFSCipherList is never read from the file; the line is ignored"}},
        WarningCase{"one_word_line", "abc\n", {"line 1: unknown key ab; the line is ignored"}}),
    [](const ::testing::TestParamInfo<WarningCase>& i) { return std::string(i.param.name); });

TEST(FileDescriptors, RequiredCount)
{
    struct {
        const char* max_connections;
        uint64_t required;
    } cases[] = {{"5000", 10600},
                 {"0", 100},
                 {"abc", 100},
                 {"", 100},
                 {"-1", 97},
                 {"-1000", 0},
                 {"9223372036854775807", std::numeric_limits<uint64_t>::max()}};
    for (const auto& c : cases) {
        vexa::Config cfg;
        cfg.set("MaxConnections", c.max_connections);
        EXPECT_EQ(c.required, vexa::get_num_required_file_descriptors(cfg)) << c.max_connections;
    }
}

TEST(FileDescriptors, AdjustLowersMaxConnections)
{
    struct {
        uint64_t limit;
        const char* kind;
        const char* result;
    } cases[] = {{4096, "soft", "1902"}, {1024, "hard", "440"}, {100, "hard", "0"},
                 {99, "soft", "0"}};
    for (const auto& c : cases) {
        vexa::Config cfg;
        cfg.set("MaxConnections", "5000");
        vexa::logger_t lg;
        LogCapture cap;
        vexa::adjust_for_inadequate_file_descriptors(cfg, lg, c.limit, c.kind);
        EXPECT_EQ(c.result, cfg.get("MaxConnections"));
        EXPECT_TRUE(cap.contains(std::string("warning : The current file descriptor ") + c.kind +
                                 " limit of " + std::to_string(c.limit) +
                                 " is inadequate. Reducing the maximum number of allowed "
                                 "connections from 5000 to " +
                                 c.result + "\n"))
            << cap.text();
    }
}

TEST(ConstraintHandler, LogsTheMessageAlone)
{
    LogCapture cap;
    vexa::safe_api_error_handler("kavri_memcpy_s: dest is NULL", nullptr, 400);
    EXPECT_TRUE(cap.contains("error   : kavri_memcpy_s: dest is NULL\n")) << cap.text();
}

TEST(LogFilter, LevelIsTheLowestSeverityThatPasses)
{
    using namespace boost::log::trivial;
    const severity_level all[] = {trace, debug, info, warning, error, fatal};
    struct {
        const char* log_level;
        int lowest;  // 6: nothing passes
    } cases[] = {{"0", 0},     {"2", 2},           {"5", 5},           {"", 0},
                 {"abc", 0},   {"-1", 0},          {"-4294967296", 0}, {"6", 6},
                 {"7", 6},     {"4294967296", 6},  {"4294967297", 6},  {"99999999999999999999", 6}};
    for (const auto& c : cases) {
        vexa::set_log_filter(c.log_level);
        LogCapture cap;
        vexa::logger_t lg;
        for (severity_level sev : all)
            BOOST_LOG_SEV(lg, sev) << "level " << static_cast<int>(sev);
        // A record without a severity never passes.
        boost::log::sources::logger plain;
        BOOST_LOG(plain) << "no severity";
        std::string expected;
        for (int sev = c.lowest; sev < 6; ++sev)
            expected += "level " + std::to_string(sev) + ",";
        std::string passed;
        for (const auto& line : cap.lines())
            passed += line.substr(line.find(": ") + 2) + ",";
        EXPECT_EQ(expected, passed) << "LogLevel=" << c.log_level;
        // The cheap test before a record is opened agrees with the filter.
        for (severity_level sev : all)
            EXPECT_EQ(static_cast<int>(sev) >= c.lowest, vexa::log_enabled(sev))
                << "LogLevel=" << c.log_level << " severity " << static_cast<int>(sev);
    }
    vexa::reset_log_filter();
    for (severity_level sev : all)
        EXPECT_TRUE(vexa::log_enabled(sev));
}

}  // namespace
