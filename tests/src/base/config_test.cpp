#include "Config.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <list>
#include <set>

namespace {

struct LineCase {
    const char* line;
    bool matches;
    const char* key;
    const char* value;
};

class ConfigLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ConfigLine, Parses)
{
    const LineCase& c = GetParam();
    std::string key, value;
    ASSERT_EQ(c.matches, vexa::Config::parse_line(c.line, key, value)) << c.line;
    if (c.matches) {
        EXPECT_EQ(c.key, key);
        EXPECT_EQ(c.value, value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Config, ConfigLine,
    ::testing::Values(LineCase{"LogLevel=3", true, "LogLevel", "3"},
                      LineCase{"LogLevel 3", true, "LogLevel", "3"},
                      LineCase{"LogLevel = 3", true, "LogLevel", "3"},
                      LineCase{"LogLevel\t=\t3", true, "LogLevel", "3"},
                      LineCase{"LogLevel = 3  ", true, "LogLevel", "3  "},
                      LineCase{"LogLevel=3\r", true, "LogLevel", "3\r"},
                      LineCase{"\xef\xbb\xbfLogLevel=3", true, "LogLevel", "3"},
                      LineCase{"abc", true, "ab", "c"},
                      LineCase{"Key=", true, "Key", "="},
                      LineCase{"Key  =  ", true, "Key", " "},
                      LineCase{"Key = v # c", true, "Key", "v # c"},
                      LineCase{"Log-Level=3", true, "Log", "-Level=3"},
                      LineCase{"Key:val", true, "Key", ":val"},
                      LineCase{"Path=/a=b", true, "Path", "/a=b"},
                      LineCase{"  LogLevel=3", false, "", ""},
                      LineCase{"#LogLevel=3", false, "", ""},
                      LineCase{"", false, "", ""},
                      LineCase{"x", false, "", ""},
                      LineCase{"=3", false, "", ""}));

TEST(Config, MissingFileMessageOnStdout)
{
    vexa::Config c;
    testing::internal::CaptureStdout();
    c.open("/nonexistent/dir/x.conf");
    EXPECT_EQ(
        "\nFailed to read the /nonexistent/dir/x.conf!!! Using the default config settings!!!\n\n",
        testing::internal::GetCapturedStdout());
    EXPECT_EQ("", c.get("LogLevel"));
}

TEST(Config, Precedence)
{
    TempDir tmp;
    const std::string path = tmp.write(
        "c.conf", "LogLevel=3\nLogLevel=4\nLogPath = /var/log\nSSLCipherList=X\nSSLPFSCipherList=Y\n"
                  "  Indented=1\nCRLF=1\r\n");
    vexa::Config c;
    c.open(path);

    // The last line of a key wins; the file beats the default.
    c.set_default("LogLevel", "2");
    EXPECT_EQ("4", c.get("LogLevel"));
    // A run-time value beats the file, also for a key already read.
    c.set("LogLevel", "1");
    EXPECT_EQ("1", c.get("LogLevel"));
    c.set_default("LogLevel", "2");
    EXPECT_EQ("1", c.get("LogLevel"));

    // Default only where nothing else is set.
    c.set_default("MaxConnections", "5000");
    EXPECT_EQ("5000", c.get("MaxConnections"));
    c.set_default("MaxConnections", "10");
    EXPECT_EQ("5000", c.get("MaxConnections"));

    // The two cipher lists never come from the file.
    EXPECT_EQ("", c.get("SSLCipherList"));
    c.set_default("SSLCipherList", "DEFAULT");
    EXPECT_EQ("DEFAULT", c.get("SSLCipherList"));
    c.set_default("SSLPFSCipherList", "PFSDEFAULT");
    EXPECT_EQ("PFSDEFAULT", c.get("SSLPFSCipherList"));

    EXPECT_EQ("", c.get("Indented"));
    EXPECT_EQ("1\r", c.get("CRLF"));
    EXPECT_EQ("", c.get("Unknown"));
    EXPECT_EQ("/var/log", c.get("LogPath"));
}

TEST(Config, GetAsPath)
{
    vexa::Config c;
    EXPECT_EQ("./", c.get_as_path("Dir"));
    c.set("Dir", "/var/log");
    EXPECT_EQ("/var/log/", c.get_as_path("Dir"));
    c.set("Dir", "/var/log/");
    EXPECT_EQ("/var/log/", c.get_as_path("Dir"));
}

TEST(Config, GetAsList)
{
    vexa::Config c;
    std::list<std::string> l{"stale"};
    c.set("L", "A::B");
    c.get_as_list("L", l, ":");
    EXPECT_EQ((std::list<std::string>{"A", "", "B"}), l);
    c.set("L", "");
    c.get_as_list("L", l, ":");
    EXPECT_EQ((std::list<std::string>{""}), l);
    c.set("L", "b,a;b");
    c.get_as_list("L", l, ",;");
    EXPECT_EQ((std::list<std::string>{"b", "a", "b"}), l);

    std::set<std::string> s;
    c.get_as_list("L", s, ",;");
    EXPECT_EQ((std::set<std::string>{"a", "b"}), s);
}

class ConfigPersistent : public ::testing::Test {
protected:
    TempDir tmp;
    vexa::Config c;
    std::string target;
    void SetUp() override
    {
        target = (tmp.path() / "VevareviDiravad.conf").string();
        c.set_persistent_path(target);
    }
};

TEST_F(ConfigPersistent, ReplacesMatchingLinesAndKeepsTheRest)
{
    tmp.write("VevareviDiravad.conf", "# comment\nLogLevel=3\nLogPath /x\nLogLevel 4\n");
    ::chmod(target.c_str(), 0640);
    c.set_persistent("LogLevel", "1");
    EXPECT_EQ("# comment\nLogLevel = 1\nLogPath /x\nLogLevel = 1\n", TempDir::read(target));
    EXPECT_EQ("1", c.get("LogLevel"));
    struct stat st {};
    ASSERT_EQ(0, ::stat(target.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    // No temporary file is left behind.
    EXPECT_EQ(1u, tmp.files().size());
}

TEST_F(ConfigPersistent, AppendsANewKeyAndCreatesAMissingFile)
{
    c.set_persistent("LogPath", "/var/log");
    EXPECT_EQ("LogPath = /var/log\n", TempDir::read(target));
    c.set_persistent("LogLevel", "0");
    EXPECT_EQ("LogPath = /var/log\nLogLevel = 0\n", TempDir::read(target));
}

TEST_F(ConfigPersistent, UnreadableFileIsLeftAlone)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads any file";
    tmp.write("VevareviDiravad.conf", "LogLevel=3\nOther=1\n");
    ::chmod(target.c_str(), 0);
    c.set_persistent("LogLevel", "1");
    ::chmod(target.c_str(), 0600);
    EXPECT_EQ("LogLevel=3\nOther=1\n", TempDir::read(target));
    EXPECT_EQ("1", c.get("LogLevel"));  // the run-time value is still set
}

TEST_F(ConfigPersistent, UnwritableDirectoryChangesNothing)
{
    const std::string dir = (tmp.path() / "missing-dir").string();
    c.set_persistent_path(dir + "/VevareviDiravad.conf");
    c.set_persistent("LogLevel", "5");
    EXPECT_EQ("5", c.get("LogLevel"));
    EXPECT_FALSE(std::filesystem::exists(dir));
}

}  // namespace
