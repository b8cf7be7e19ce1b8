#include "Config.h"
#include "Log.h"

#include "LogCapture.h"
#include "TempDir.h"

#include <boost/asio/ip/address.hpp>
#include <boost/log/core.hpp>
#include <boost/regex.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using boost::log::trivial::debug;
using boost::log::trivial::error;
using boost::log::trivial::info;
using boost::log::trivial::warning;
namespace ip = boost::asio::ip;

const char* const FILE_NAME = R"(VevareviDiravad_\d{4}_\d\d_\d\dT\d\d_\d\d_\d\dZ\d{3}\.log)";

// A log sink of its own store writing into a temporary directory.
class LogFile : public ::testing::Test {
protected:
    TempDir tmp;
    vexa::Config config;
    boost::shared_ptr<vexa::Config::sink_t> sink;
    vexa::logger_t lg;

    void open(const std::string& rotation)
    {
        config.set("LogPath", tmp.str());
        config.set("EnableLogRotation", rotation);
        sink = config.init_log_file(config.get_as_path("LogPath") +
                                    vexa::Config::DEFAULT_LOG_FILE_NAME_FORMAT);
    }
    void TearDown() override
    {
        if (sink)
            boost::log::core::get()->remove_sink(sink);
    }
    std::vector<std::filesystem::path> log_files()
    {
        sink->flush();
        return tmp.files("VevareviDiravad_");
    }
};

TEST_F(LogFile, FileIsNamedAtItsFirstRecord)
{
    open("1");
    EXPECT_TRUE(log_files().empty());  // opened lazily
    BOOST_LOG_SEV(lg, info) << "m";
    const auto files = log_files();
    ASSERT_EQ(1u, files.size());
    EXPECT_TRUE(boost::regex_match(files[0].filename().string(), boost::regex(FILE_NAME)))
        << files[0];
    EXPECT_TRUE(boost::regex_match(
        TempDir::read(files[0]),
        boost::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z 0{8}-0{4}-0{4}-0{4}-0{12}> info    : m\n)")))
        << TempDir::read(files[0]);
}

TEST_F(LogFile, NamesAndStampsAreUtc)
{
    const char* old_tz = std::getenv("TZ");
    const std::string saved = old_tz ? old_tz : "";
    ::setenv("TZ", "America/New_York", 1);
    ::tzset();
    open("0");
    const auto before = std::chrono::system_clock::now();
    BOOST_LOG_SEV(lg, info) << "m";
    const auto files = log_files();
    if (old_tz)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    ASSERT_EQ(1u, files.size());
    std::time_t t = std::chrono::system_clock::to_time_t(before);
    std::tm utc {};
    ::gmtime_r(&t, &utc);
    char hour[8];
    std::strftime(hour, sizeof hour, "T%H_", &utc);
    char line_hour[8];
    std::strftime(line_hour, sizeof line_hour, "T%H:", &utc);
    // (A run across an hour boundary is not worth guarding against.)
    EXPECT_NE(std::string::npos, files[0].filename().string().find(hour)) << files[0];
    EXPECT_NE(std::string::npos, TempDir::read(files[0]).find(line_hour));
}

TEST_F(LogFile, UnwritableDirectoryDoesNotThrow)
{
    config.set("EnableLogRotation", "1");
    sink = config.init_log_file("/proc/no-such-dir/VevareviDiravad_.log");
    EXPECT_NO_THROW(BOOST_LOG_SEV(lg, error) << "lost");
}

TEST_F(LogFile, RotationOnlyWhenEnabledExactly)
{
    const std::string line(200, 'x');
    for (const char* setting : {"0", "true", "", "1"}) {
        SCOPED_TRACE(std::string("EnableLogRotation=\"") + setting + "\"");
        TempDir dir;
        vexa::Config c;
        c.set("EnableLogRotation", setting);
        auto s = c.init_log_file(dir.slash() + vexa::Config::DEFAULT_LOG_FILE_NAME_FORMAT);
        // About 2.4 MiB; the millisecond in the name keeps the second file apart.
        for (int i = 0; i < 10500; ++i) {
            BOOST_LOG_SEV(lg, info) << line;
            if (i == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        s->flush();
        boost::log::core::get()->remove_sink(s);
        s.reset();
        const auto files = dir.files("VevareviDiravad_");
        const size_t expected = std::string(setting) == "1" ? 2 : 1;
        ASSERT_EQ(expected, files.size());
        for (const auto& f : files)
            EXPECT_TRUE(boost::regex_match(f.filename().string(), boost::regex(FILE_NAME))) << f;
        if (expected == 2) {
            EXPECT_LE(std::filesystem::file_size(files[0]), 2097152u);
        }
    }
}

// Layout of one line, against a capture in the same formatter.
TEST(LogLayout, SeveritiesArePadded)
{
    LogCapture cap;
    vexa::logger_t lg;
    BOOST_LOG_SEV(lg, warning) << "w";
    BOOST_LOG_SEV(lg, info) << "i";
    BOOST_LOG_SEV(lg, debug) << "d";
    BOOST_LOG_SEV(lg, boost::log::trivial::trace) << "t";
    BOOST_LOG_SEV(lg, boost::log::trivial::fatal) << "f";
    const auto lines = cap.lines();
    ASSERT_EQ(5u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("> warning : w"));
    EXPECT_NE(std::string::npos, lines[1].find("> info    : i"));
    EXPECT_NE(std::string::npos, lines[2].find("> debug   : d"));
    EXPECT_NE(std::string::npos, lines[3].find("> trace   : t"));
    EXPECT_NE(std::string::npos, lines[4].find("> fatal   : f"));
}

TEST(LogLayout, AttributesInFixedOrder)
{
    vexa::Config config;  // adds the UTC time stamp, as at start-up
    LogCapture cap;
    vexa::logger_t lg;
    const vexa::tcp_endpoint_t server(ip::make_address("10.0.0.5"), 4172);
    const vexa::tcp_endpoint_t client(ip::make_address("192.0.2.1"), 50000);
    const vexa::udp_endpoint_t userver(ip::make_address("::1"), 55000);
    const vexa::udp_endpoint_t uclient(ip::make_address("10.1.1.1"), 4172);
    // Added in another order than they print.
    BOOST_LOG_SEV(lg, debug) << VEXA_LOG_SESSION_ID("AAAAAAAAAAAA")
                             << boost::log::add_value(vexa::log_attr::UdpClientEndPoint, uclient)
                             << boost::log::add_value(vexa::log_attr::ClientEndPoint, client)
                             << VEXA_LOG_SESSION_LOG_ID("6f1c2a4e-1111-2222-3333-444455556666")
                             << boost::log::add_value(vexa::log_attr::UdpServerEndPoint, userver)
                             << boost::log::add_value(vexa::log_attr::ServerEndPoint, server)
                             << "msg";
    BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID("BBBBBBBBBBBB") << "only session";
    const auto lines = cap.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(boost::regex_match(
        lines[0],
        boost::regex(R"(\S+Z 6f1c2a4e-1111-2222-3333-444455556666> debug   : )"
                     R"(\[S: 10\.0\.0\.5:4172\] \[C: 192\.0\.2\.1:50000\] \[S: ::1:55000\] )"
                     R"(\[C: 10\.1\.1\.1:4172\] \[Sess: AAAAAAAAAAAA\] msg)")))
        << lines[0];
    EXPECT_NE(std::string::npos,
              lines[1].find(" 00000000-0000-0000-0000-000000000000> info    : [Sess: BBBBBBBBBBBB] "
                            "only session"))
        << lines[1];
}

TEST(LogLayout, EndpointText)
{
    EXPECT_EQ("::1:80", vexa::endpoint_text(vexa::tcp_endpoint_t(ip::make_address("::1"), 80)));
    EXPECT_EQ("127.0.0.1:0",
              vexa::endpoint_text(vexa::udp_endpoint_t(ip::make_address("127.0.0.1"), 0)));
}

}  // namespace
