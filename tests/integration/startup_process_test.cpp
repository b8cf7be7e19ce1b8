// Start-up of the real binary: configuration file, defaults, open-file limit,
// banners and cipher list, as an operator sees them in the log and on stdout.
#include "GatewayProcess.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>

#include <filesystem>

namespace {

using kavri_test::GatewayProcess;
using namespace std::chrono_literals;

GatewayProcess::Options options(std::vector<std::string> extra)
{
    GatewayProcess::Options o;
    o.config = GatewayProcess::loopback_config();
    for (auto& l : extra)
        o.config.push_back(std::move(l));
    return o;
}

uint64_t hard_nofile()
{
    rlimit lim {};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    return lim.rlim_max;
}

TEST(Startup, LogsBannersAndEntersTheService)
{
    GatewayProcess gw(options({"LogLevel=0"}));
    ASSERT_TRUE(gw.wait_for_log("Entering ServiceMain")) << gw.log() << gw.stdout_text();
    const std::string log = gw.log();
    for (const char* line :
         {"> info    : VevareviDiravad starting...\n", "> info    : Built from revision: 984 Built: ",
          "> info    : 64 bit build\n", "> info    : Security Gateway build-id: 1.14.1.0\n",
          "> info    : Minimum required OpenSSL version: 1.0.2a\n",
          "> info    : Running with: OpenSSL 3.", "> trace   : File descriptor hard limit: ",
          "> info    : Using ciphers providing maximum compatibility.\n",
          "> debug   : Entering ServiceMain\n"})
        EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
    // Each file is renamed after the moment it was opened.
    bool named = false;
    for (const auto& e : std::filesystem::directory_iterator(gw.dir()))
        named = named || (e.path().filename().string().rfind("VevareviDiravad_2", 0) == 0);
    EXPECT_TRUE(named);
    EXPECT_FALSE(std::filesystem::exists(gw.dir() / "VevareviDiravad_.log"));
}

TEST(Startup, MissingConfigFileUsesDefaults)
{
    GatewayProcess::Options o;
    o.config = {"LogPath=/never/used"};
    o.pass_config = false;  // reads the system-wide file
    if (std::filesystem::exists("/etc/VevareviDiravad.conf"))
        GTEST_SKIP() << "this machine has a system-wide configuration file";
    // Defaults bind the well-known ports, which need not be free here; the
    // start-up up to the service does not depend on them.
    GatewayProcess gw(o);
    ASSERT_TRUE(gw.wait_for_log("VevareviDiravad starting...")) << gw.stdout_text();
    EXPECT_EQ(0u, gw.stdout_text().find("\nFailed to read the /etc/VevareviDiravad.conf!!! Using "
                                        "the default config settings!!!\n\n"))
        << gw.stdout_text();
    // LogPath defaults to TMPDIR, which is the test's directory.
    EXPECT_TRUE(gw.wait_for_log("Ciphers available for TLS connections: "));
}

TEST(Startup, DirectoryAsConfigPathIsReportedLikeAnUnreadableFile)
{
    GatewayProcess::Options o;
    o.config = {"LogPath=/never/used"};
    o.argument = ".";  // the gateway's working directory
    // Defaults bind the well-known ports, which need not be free here.
    GatewayProcess gw(o);
    ASSERT_TRUE(gw.wait_for_log("VevareviDiravad starting...")) << gw.stdout_text();
    EXPECT_EQ(0u, gw.stdout_text().find("\nFailed to read the .!!! Using the default config settings!!!\n\n"))
        << gw.stdout_text();
}

// Lines whose setting the gateway never uses are logged with their line, once
// the log exists; everything else in the file works as before.
TEST(Startup, UnusedLinesOfTheFileAreWarnedAboutWithTheirLine)
{
    auto o = options({});
    const std::vector<std::string> lines = {
        "TCPControlPrt=50061",           // a typo
        "  LogLevel=0",                  // indented: ignored
        "\tMaxConnections 7",            // likewise
        "SSLCipherList=NULL-MD5",        // never read from the file
        "# TCPControlPrt=1",             // a comment
        "TCPControlPrt=50062",           // the same key again: one warning
        "LogLevel=1",                    // known
        "FilterSessionOptions=abcd",     // known, without a default
        "ConnectionServerExternalRoutablePort=5",
    };
    const std::size_t first = o.config.size() + 1;  // line number of lines[0]
    o.config.insert(o.config.end(), lines.begin(), lines.end());
    GatewayProcess gw(o);
    ASSERT_TRUE(gw.wait_for_log("Ciphers available for TLS connections: ")) << gw.log();
    const std::string log = gw.log();
    const std::string file = (gw.dir() / "gateway.conf").string();
    auto line = [&](std::size_t i) { return "Configuration file " + file + ", line " + std::to_string(first + i) + ": "; };
    const std::vector<std::string> expected = {
        line(0) + "unknown key TCPControlPrt; the line is ignored\n",
        line(1) + "LogLevel does not start in the first column; the line is ignored\n",
        line(2) + "MaxConnections does not start in the first column; the line is ignored\n",
        line(3) + "SSLCipherList is never read from the file; the line is ignored\n",
    };
    std::size_t at = 0;
    for (const auto& w : expected) {
        const std::size_t found = log.find("> warning : " + w);
        EXPECT_NE(std::string::npos, found) << w << "\n" << log;
        EXPECT_GE(found, at) << "in file order: " << w;
        at = found == std::string::npos ? at : found;
    }
    EXPECT_EQ(4u, [&] {
        std::size_t n = 0;
        for (std::size_t p = log.find("> warning : Configuration file "); p != std::string::npos;
             p = log.find("> warning : Configuration file ", p + 1))
            ++n;
        return n;
    }()) << log;
    // After the start banner: the log did not exist before it.
    EXPECT_LT(log.find("VevareviDiravad starting..."), log.find(expected[0]));
    // The ignored lines changed nothing: level 1 from the file, no trace.
    EXPECT_EQ(std::string::npos, log.find("> trace   : ")) << log;
}

TEST(Startup, CipherListInTheFileIsIgnored)
{
    GatewayProcess gw(options({"SSLCipherList=NULL-MD5", "SSLPFSCipherList=NULL-SHA"}));
    ASSERT_TRUE(gw.wait_for_log("Ciphers available for TLS connections: "));
    EXPECT_NE(std::string::npos,
              gw.log().find("Ciphers available for TLS connections: "
                            "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384:TLS_ECDHE_RSA_WITH_AES_128_GCM_"
                            "SHA256:"))
        << gw.log();
    EXPECT_EQ(std::string::npos, gw.log().find("NULL-MD5"));
}

TEST(Startup, HighLogLevelHidesBanners)
{
    GatewayProcess gw(options({"LogLevel=4"}));
    // The process writes nothing below error; give it time to get past start-up.
    gw.wait_exit(1500ms);
    EXPECT_EQ(std::string::npos, gw.log().find("VevareviDiravad starting..."));
    EXPECT_EQ(std::string::npos, gw.log().find("Built from revision"));
}

struct LimitCase {
    const char* name;
    uint64_t soft;
    uint64_t hard;
    std::vector<std::string> present;
    std::vector<std::string> absent;
};

class OpenFileLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(OpenFileLimit, FitsMaxConnections)
{
    const LimitCase& c = GetParam();
    if (c.hard > hard_nofile() && ::geteuid() != 0)
        GTEST_SKIP() << "cannot raise the hard limit to " << c.hard;
    auto o = options({"LogLevel=0", "MaxConnections=5000"});
    o.nofile = std::make_pair(c.soft, c.hard);
    GatewayProcess gw(o);
    ASSERT_TRUE(gw.wait_for_log("Ciphers available for TLS connections: "))
        << gw.log() << gw.stdout_text();
    const std::string log = gw.log();
    for (const auto& p : c.present)
        EXPECT_NE(std::string::npos, log.find(p)) << p << "\n" << log;
    for (const auto& a : c.absent)
        EXPECT_EQ(std::string::npos, log.find(a)) << a << "\n" << log;
}

INSTANTIATE_TEST_SUITE_P(
    Startup, OpenFileLimit,
    ::testing::Values(
        LimitCase{"soft_raised_but_short",
                  1024,
                  4096,
                  {"debug   : File descriptor soft limit 1024 does not meet the minimum requirement "
                   "of 10600\n",
                   "trace   : Setting file descriptor soft limit to 4096\n",
                   "debug   : File descriptor soft limit has been set to 4096\n",
                   "warning : The current file descriptor soft limit of 4096 is inadequate. "
                   "Reducing the maximum number of allowed connections from 5000 to 1902\n"},
                  {}},
        LimitCase{"equal_limits",
                  1024,
                  1024,
                  {"debug   : File descriptor hard limit 1024 does not meet the minimum requirement "
                   "of 10600\n",
                   "warning : The current file descriptor hard limit of 1024 is inadequate. "
                   "Reducing the maximum number of allowed connections from 5000 to 440\n"},
                  {"Setting file descriptor soft limit"}},
        LimitCase{"soft_raised_enough",
                  1024,
                  20000,
                  {"trace   : Setting file descriptor soft limit to 10600\n",
                   "debug   : File descriptor soft limit has been set to 10600\n"},
                  {"inadequate"}},
        LimitCase{"already_enough", 20000, 20000, {"hard limit: 20000, soft limit: 20000\n"},
                  {"does not meet", "inadequate"}}),
    [](const ::testing::TestParamInfo<LimitCase>& i) { return std::string(i.param.name); });

TEST(Startup, HardLimitTooLowExitsWithOne)
{
    auto o = options({});
    o.nofile = std::make_pair(uint64_t(299), uint64_t(299));
    GatewayProcess gw(o);
    EXPECT_EQ(1, gw.wait_exit().value_or(-1));
    EXPECT_NE(std::string::npos,
              gw.log().find("> error   : File descriptor hard limit (299) is too low; exiting.\n"))
        << gw.log();
    EXPECT_EQ(std::string::npos, gw.log().find("Entering ServiceMain"));
}

}  // namespace
