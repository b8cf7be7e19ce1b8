#include "Config.h"

#include "LogCapture.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <sstream>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

// Records every fsync this test binary makes while armed, with the contents
// the watched file had at that moment, and can make fsync of regular files
// fail: the order of flushes and renames is otherwise invisible to a test.
namespace fsync_probe {

struct Call {
    std::string path;
    bool directory;
    std::string watched_contents;
};

std::mutex mutex;
bool armed = false;
int fail_errno = 0;
std::string watched;
std::vector<Call> calls;

void arm(const std::string& watched_file, int fail_with = 0)
{
    std::lock_guard<std::mutex> lock(mutex);
    armed = true;
    fail_errno = fail_with;
    watched = watched_file;
    calls.clear();
}

std::vector<Call> disarm()
{
    std::lock_guard<std::mutex> lock(mutex);
    armed = false;
    fail_errno = 0;
    return std::move(calls);
}

}  // namespace fsync_probe

extern "C" int fsync(int fd)
{
    using fsync_t = int (*)(int);
    static const fsync_t next = reinterpret_cast<fsync_t>(::dlsym(RTLD_NEXT, "fsync"));
    {
        std::lock_guard<std::mutex> lock(fsync_probe::mutex);
        if (fsync_probe::armed) {
            char buf[4096];
            const std::string link = "/proc/self/fd/" + std::to_string(fd);
            const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
            struct stat st {};
            ::fstat(fd, &st);
            fsync_probe::calls.push_back({std::string(buf, n > 0 ? static_cast<size_t>(n) : 0),
                                          S_ISDIR(st.st_mode),
                                          TempDir::read(fsync_probe::watched)});
            if (fsync_probe::fail_errno && S_ISREG(st.st_mode)) {
                errno = fsync_probe::fail_errno;
                return -1;
            }
        }
    }
    return next(fd);
}

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

TEST(Config, UnreadablePathMessageOnStdout)
{
    TempDir tmp;
    // A directory opens like a file and reads as empty: reported all the same.
    for (const std::string& path : {std::string("/nonexistent/dir/x.conf"), tmp.str(), tmp.slash()}) {
        vexa::Config c;
        testing::internal::CaptureStdout();
        c.open(path);
        EXPECT_EQ("\nFailed to read the " + path + "!!! Using the default config settings!!!\n\n",
                  testing::internal::GetCapturedStdout());
        EXPECT_EQ("", c.get("LogLevel"));
        EXPECT_TRUE(c.file_keys().empty());
    }
}

TEST(Config, FileKeysNameEveryKeyLineWithItsNumber)
{
    TempDir tmp;
    vexa::Config c;
    c.open(tmp.write("c.conf", "# comment\nLogLevel=3\n  Indented=1\n\n\tTabbed 2\n  # indented comment\n"
                               "   \nLogLevel 4\n\xef\xbb\xbf" "Bom=1\n"));
    const std::vector<vexa::Config::FileKey> keys = c.file_keys();
    ASSERT_EQ(5u, keys.size());
    const std::vector<std::tuple<std::size_t, std::string, bool>> expected = {
        {2, "LogLevel", false}, {3, "Indented", true}, {5, "Tabbed", true}, {8, "LogLevel", false}, {9, "Bom", false}};
    for (std::size_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(expected[i], std::make_tuple(keys[i].line, keys[i].key, keys[i].indented)) << i;
    // Indented lines stay ignored.
    EXPECT_EQ("", c.get("Indented"));
    EXPECT_EQ("", c.get("Tabbed"));
    EXPECT_EQ("4", c.get("LogLevel"));
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

// Runs body in a child process that exits 0 when body returns normally.
pid_t fork_child(const std::function<void()>& body)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            body();
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    return pid;
}

// Waits for the children, killing those still running at the deadline;
// returns how many exited with status 0.
int wait_children(std::vector<pid_t> left)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int succeeded = 0;
    while (!left.empty()) {
        for (auto it = left.begin(); it != left.end();) {
            int status = 0;
            const pid_t r = ::waitpid(*it, &status, WNOHANG);
            if (r == 0) {
                ++it;
                continue;
            }
            if (r == *it && WIFEXITED(status) && WEXITSTATUS(status) == 0)
                ++succeeded;
            it = left.erase(it);
        }
        if (!left.empty() && std::chrono::steady_clock::now() > deadline) {
            for (pid_t pid : left) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return succeeded;
}

constexpr int kWriters = 4;
constexpr int kKeysEach = 25;

void write_keys(vexa::Config& store, int writer)
{
    for (int k = 0; k < kKeysEach; ++k)
        store.set_persistent("W" + std::to_string(writer) + "K" + std::to_string(k),
                             std::to_string(writer * 1000 + k));
}

// Every key of every writer is in the file, once, with its value.
void expect_every_key(const std::string& path)
{
    std::map<std::string, std::string> seen;
    std::istringstream in(TempDir::read(path));
    int lines = 0;
    for (std::string line, key, value; std::getline(in, line); ++lines)
        if (vexa::Config::parse_line(line, key, value))
            seen[key] = value;
    EXPECT_EQ(kWriters * kKeysEach, lines);
    int missing = 0;
    for (int w = 0; w < kWriters; ++w)
        for (int k = 0; k < kKeysEach; ++k) {
            const auto it = seen.find("W" + std::to_string(w) + "K" + std::to_string(k));
            if (it == seen.end() || it->second != std::to_string(w * 1000 + k))
                ++missing;
        }
    EXPECT_EQ(0, missing) << "updates lost";
}

TEST_F(ConfigPersistent, ConcurrentThreadsLoseNoUpdate)
{
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w)
        threads.emplace_back([this, w] { write_keys(c, w); });
    for (auto& t : threads)
        t.join();
    expect_every_key(target);
    EXPECT_EQ(1u, tmp.files().size());
}

TEST_F(ConfigPersistent, ConcurrentProcessesLoseNoUpdate)
{
    // The children start together when the parent closes the pipe.
    int gate[2];
    ASSERT_EQ(0, ::pipe(gate));
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = fork_child([&, w] {
            ::close(gate[1]);
            char byte;
            while (::read(gate[0], &byte, 1) < 0 && errno == EINTR) {
            }
            write_keys(c, w);
        });
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    EXPECT_EQ(kWriters, wait_children(children));
    expect_every_key(target);
    EXPECT_EQ(1u, tmp.files().size());
}

TEST_F(ConfigPersistent, FlushesTheFileBeforeTheRenameAndTheDirectoryAfter)
{
    tmp.write("VevareviDiravad.conf", "LogLevel=3\n");
    const std::string dir = std::filesystem::canonical(tmp.path()).string();
    const std::string real_target = dir + "/VevareviDiravad.conf";
    fsync_probe::arm(target);
    c.set_persistent("LogLevel", "1");
    const auto calls = fsync_probe::disarm();
    ASSERT_EQ("LogLevel = 1\n", TempDir::read(target));

    int file_sync = -1, dir_sync = -1;
    for (size_t i = 0; i < calls.size(); ++i) {
        const auto& call = calls[i];
        if (!call.directory && call.path != real_target &&
            std::filesystem::path(call.path).parent_path() == dir &&
            call.watched_contents == "LogLevel=3\n" && file_sync < 0)
            file_sync = static_cast<int>(i);
        if (call.directory && call.path == dir && call.watched_contents == "LogLevel = 1\n")
            dir_sync = static_cast<int>(i);
    }
    EXPECT_GE(file_sync, 0) << "the new contents are not flushed before the rename";
    EXPECT_GE(dir_sync, 0) << "the directory is not flushed after the rename";
    EXPECT_LT(file_sync, dir_sync);
}

TEST_F(ConfigPersistent, WritesThroughASymbolicLink)
{
    std::filesystem::create_directory(tmp.path() / "real");
    const std::string real = tmp.write("real/VevareviDiravad.conf", "LogLevel=3\nOther=1\n");
    std::filesystem::create_symlink("real/VevareviDiravad.conf", target);
    c.set_persistent("LogLevel", "1");

    ASSERT_TRUE(std::filesystem::is_symlink(target));
    EXPECT_EQ("real/VevareviDiravad.conf", std::filesystem::read_symlink(target).string());
    EXPECT_EQ("LogLevel = 1\nOther=1\n", TempDir::read(real));
    // The link and the directory; the directory holds only the updated file.
    EXPECT_EQ(2u, tmp.files().size());
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(tmp.path() / "real"),
                               std::filesystem::directory_iterator()));
}

TEST_F(ConfigPersistent, KeepsOwnerGroupAndMode)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give the file to another owner";
    tmp.write("VevareviDiravad.conf", "LogLevel=3\n");
    ASSERT_EQ(0, ::chown(target.c_str(), 4242, 4343));
    ASSERT_EQ(0, ::chmod(target.c_str(), 0640));
    c.set_persistent("LogLevel", "1");

    EXPECT_EQ("LogLevel = 1\n", TempDir::read(target));
    struct stat st {};
    ASSERT_EQ(0, ::stat(target.c_str(), &st));
    EXPECT_EQ(4242u, st.st_uid);
    EXPECT_EQ(4343u, st.st_gid);
    EXPECT_EQ(0640u, st.st_mode & 07777);
}

TEST_F(ConfigPersistent, RefusesLineBreaksAndNulInKeysAndValues)
{
    const struct {
        std::string key;
        std::string value;
    } cases[] = {
        {"LogLevel", "1\nLogPath=/evil"},
        {"LogLevel", "1\r\nLogPath=/evil"},
        {"LogLevel", "1\r"},
        {"LogLevel", std::string("1\0LogPath=/evil", 15)},
        {"LogLevel\nLogPath", "/evil"},
        {"Log\rLevel", "1"},
        {std::string("Log\0Level", 9), "1"},
    };
    tmp.write("VevareviDiravad.conf", "LogLevel=3\n");
    for (const auto& tc : cases) {
        SCOPED_TRACE(::testing::PrintToString(tc.key) + " " + ::testing::PrintToString(tc.value));
        LogCapture cap;
        c.set_persistent(tc.key, tc.value);
        EXPECT_EQ("LogLevel=3\n", TempDir::read(target));
        EXPECT_EQ(1u, tmp.files().size());
        EXPECT_EQ("", c.get(tc.key));
        EXPECT_EQ(1u, cap.count("error   : set_persistent: ")) << cap.text();
        EXPECT_FALSE(cap.contains("/evil")) << "the refused text reached the log";
    }
}

// A failure after the temporary file exists leaves the old file as it was
// and removes the temporary file.
TEST_F(ConfigPersistent, FailureLeavesTheFileAndNoTemporaryBehind)
{
    const struct {
        const char* name;
        const char* target;
        std::function<void(vexa::Config&, const std::string&)> call;
    } cases[] = {
        {"a path component is a file", "VevareviDiravad.conf/x.conf",
         [](vexa::Config& store, const std::string&) { store.set_persistent("LogLevel", "1"); }},
        {"the temporary file cannot be flushed", "VevareviDiravad.conf",
         [](vexa::Config& store, const std::string& path) {
             fsync_probe::arm(path, EIO);
             store.set_persistent("LogLevel", "1");
             fsync_probe::disarm();
         }},
        {"the temporary file cannot be written", "VevareviDiravad.conf",
         [](vexa::Config& store, const std::string&) {
             // A file size limit makes the write fail part way, as a full
             // disk would; in a child, so the limit stays there.
             const pid_t pid = fork_child([&store] {
                 ::signal(SIGXFSZ, SIG_IGN);
                 const rlimit small{4, 4};
                 ::setrlimit(RLIMIT_FSIZE, &small);
                 store.set_persistent("LogLevel", "1");
             });
             ASSERT_GT(pid, 0);
             EXPECT_EQ(1, wait_children({pid}));
         }},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        TempDir dir;
        const std::string conf = dir.write("VevareviDiravad.conf", "LogLevel=3\n");
        vexa::Config store;
        const std::string path = (dir.path() / tc.target).string();
        store.set_persistent_path(path);
        tc.call(store, path);
        EXPECT_EQ("LogLevel=3\n", TempDir::read(conf));
        EXPECT_EQ(std::vector<std::filesystem::path>{conf}, dir.files());
    }
}

}  // namespace
