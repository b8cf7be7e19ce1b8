// The README's quick start and control channel examples, taken from the
// README itself and run against the real gateway on ephemeral loopback
// ports: the commands it tells an operator to type must give the replies it
// shows. Blocks are found by the "<!-- readme-test: NAME -->" line before
// them; the README's ports (50060, and 4433 for a server) are replaced by
// the test's.
#include "ControlMessage.h"
#include "GatewayProcess.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kavri_test::GatewayProcess;
using namespace std::chrono_literals;

const std::string SOURCE_DIR = KAVRI_SOURCE_DIR;

std::string read_text(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string without_cr(std::string s)
{
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to)
{
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// The marked fenced blocks of the README, in document order: (name, text).
std::vector<std::pair<std::string, std::string>> readme_blocks()
{
    std::istringstream lines(read_text(SOURCE_DIR + "/README.md"));
    const std::string open = "<!-- readme-test: ", close = " -->";
    std::vector<std::pair<std::string, std::string>> blocks;
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(open, 0) != 0 || line.size() < open.size() + close.size() ||
            line.compare(line.size() - close.size(), close.size(), close) != 0)
            continue;
        const std::string name = line.substr(open.size(), line.size() - open.size() - close.size());
        std::string fence;
        std::getline(lines, fence);
        EXPECT_EQ(0u, fence.rfind("```", 0)) << "no code block after the marker " << name;
        std::string text;
        while (std::getline(lines, line) && line.rfind("```", 0) != 0)
            text += line + "\n";
        blocks.emplace_back(name, text);
    }
    return blocks;
}

// The one block of that name.
std::string readme_block(const std::string& name)
{
    std::vector<std::string> found;
    for (const auto& b : readme_blocks())
        if (b.first == name)
            found.push_back(b.second);
    EXPECT_EQ(1u, found.size()) << "README blocks named " << name;
    return found.empty() ? std::string() : found.front();
}

// conf/demo.conf's settings with the test's ports (later lines win) and no
// LogPath, so the log stays in the test's directory.
std::vector<std::string> demo_config()
{
    std::vector<std::string> config;
    std::istringstream lines(read_text(SOURCE_DIR + "/conf/demo.conf"));
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty() && line[0] != '#' && line.rfind("LogPath", 0) != 0)
            config.push_back(line);
    for (auto& l : GatewayProcess::loopback_config())
        config.push_back(std::move(l));
    return config;
}

struct ShellResult {
    std::string out;
    int status = -1;  // exit status, or -1 when it was stopped by the test
};

// Runs script with bash in cwd, input on its standard input, until it ends,
// done(output so far) holds or timeout passes; then its process group goes.
ShellResult run_shell(const std::string& script, const fs::path& cwd, const std::string& input = "",
                      std::chrono::milliseconds timeout = 30s,
                      const std::function<bool(const std::string&)>& done = nullptr)
{
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    const std::string dir = cwd.string();
    const std::string err_path = (cwd / "shell-stderr.txt").string();
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (err >= 0)
            ::dup2(err, 2);
        for (int fd : {in[0], in[1], out[0], out[1]})
            ::close(fd);
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        ::execl("/bin/bash", "bash", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::setpgid(child, child);
    ::close(in[0]);
    ::close(out[1]);
    if (!input.empty() && ::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        ADD_FAILURE() << "could not write the input";
    ::close(in[1]);

    ShellResult r;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool ended = false;
    while (!(done && done(r.out))) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buf[4096];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) {
            ended = true;
            break;
        }
        r.out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    if (ended && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
    } else {
        ::kill(-child, SIGTERM);
        ::waitpid(child, &status, 0);
    }
    ::kill(-child, SIGKILL);  // whatever it left behind
    return r;
}

std::string shell_stderr(const fs::path& cwd)
{
    return read_text(cwd / "shell-stderr.txt");
}

TEST(Readme, MakeRunPrintsTheLogAndThePortsItShows)
{
    const std::string makefile = read_text(SOURCE_DIR + "/Makefile");
    EXPECT_NE(std::string::npos, makefile.find("@./scripts/show-endpoints.sh conf/demo.conf\n"));
    const ShellResult r = run_shell("./scripts/show-endpoints.sh conf/demo.conf", SOURCE_DIR);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(readme_block("make-run-output"), r.out);
}

TEST(Readme, QuickStartOverPlainTcp)
{
    GatewayProcess::Options o;
    o.config = demo_config();
    GatewayProcess gw(o);
    ASSERT_TRUE(gw.wait_listening(gw.control_port())) << gw.log() << gw.output_text();

    const std::string script =
        replace_all(readme_block("plain-commands"), "50060", std::to_string(gw.control_port()));
    ASSERT_NE(std::string::npos, script.find(std::to_string(gw.control_port())));
    const ShellResult r = run_shell(script, gw.dir());
    EXPECT_EQ(0, r.status) << shell_stderr(gw.dir());
    EXPECT_EQ(readme_block("plain-replies"), r.out) << gw.log();
}

TEST(Readme, QuickStartOverTls)
{
    // The README's commands run from a copy of the repository's layout: the
    // demo configuration (with the test's ports) under conf/.
    TempDir work;
    fs::create_directories(work.path() / "conf");
    {
        std::ofstream demo(work.path() / "conf/demo.conf");
        for (const auto& l : demo_config())
            demo << l << "\n";
    }
    for (const char* step : {"tls-certificates", "tls-config"}) {
        const ShellResult r = run_shell(readme_block(step), work.path());
        ASSERT_EQ(0, r.status) << step << ": " << shell_stderr(work.path());
    }
    const std::string certs = (work.path() / "build/demo/control-tls/").string();
    const ShellResult check = run_shell("openssl verify -CAfile ca.pem gateway.pem broker.pem", certs);
    EXPECT_EQ(0, check.status) << check.out;

    GatewayProcess::Options o;
    std::istringstream tls_conf(read_text(work.path() / "build/demo/tls.conf"));
    for (std::string line; std::getline(tls_conf, line);)
        o.config.push_back(line);
    o.cwd = work.path();  // the certificate directory is relative
    GatewayProcess gw(o);
    ASSERT_TRUE(gw.wait_for_log("TLS enabled on XMLTCP control channel.")) << gw.log() << gw.output_text();
    ASSERT_TRUE(gw.wait_listening(gw.control_port())) << gw.log();

    const std::string expected = readme_block("plain-replies");
    const std::string client =
        replace_all(readme_block("tls-client"), "50060", std::to_string(gw.control_port()));
    // s_client stays connected after its input ends; it is stopped once the
    // replies are in.
    const ShellResult r = run_shell(client, work.path(), readme_block("tls-input"), 30s,
                                    [&](const std::string& out) { return without_cr(out).size() >= expected.size(); });
    EXPECT_EQ(expected, without_cr(r.out)) << shell_stderr(work.path()) << gw.log();
}

// The notification examples are what the gateway writes for their values.
TEST(Readme, NotificationExamplesAreTheGatewaysOwnLayout)
{
    namespace msg = vexa::control_message;
    const std::string state = msg::state_changed_body("conn-1", "AAECAwQFBgcA", "INTERRUPTED");
    EXPECT_EQ(without_cr(msg::header(8, nullptr, state.size()) + state), readme_block("notification-state-changed"));
    const std::string closed = msg::closed_body("conn-1", "ConnectionTimeout");
    EXPECT_EQ(without_cr(msg::header(9, nullptr, closed.size()) + closed), readme_block("notification-closed"));
}

// A raw broker connection for the transcript.
class Broker {
public:
    explicit Broker(unsigned short port) : fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Broker() { ::close(fd); }
    bool is_connected() const { return connected; }
    bool send(const std::string& data) { return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size()); }

    // One message (header line and LENGTH bytes), or "" on timeout or end.
    std::string message(std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::size_t end;
        while ((end = buffered.find('\n')) == std::string::npos)
            if (!fill(deadline))
                return "";
        const std::string header = buffered.substr(0, end + 1);
        const std::size_t length = std::strtoul(header.c_str() + header.find("LENGTH=") + 7, nullptr, 10);
        while (buffered.size() < end + 1 + length)
            if (!fill(deadline))
                return "";
        std::string m = buffered.substr(0, end + 1 + length);
        buffered.erase(0, m.size());
        return m;
    }
    // Whether the gateway closes the connection with nothing more to say.
    bool closed_quietly(std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (fill(deadline)) {
        }
        return at_end && buffered.empty();
    }

private:
    bool fill(std::chrono::steady_clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            at_end = true;
            return false;
        }
        buffered.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    int fd;
    bool connected = false;
    bool at_end = false;
    std::string buffered;
};

// The control channel section's examples are one broker session: each
// request is sent as shown, and a reply follows exactly where the README
// shows one (replies come in order, so a reply to a request shown without
// one would arrive in place of the next).
TEST(Readme, ControlChannelExamplesAreOneBrokerSession)
{
    // The server of the example "add-connection": it listens and says
    // nothing, so the gateway's server leg waits in its TLS handshake.
    const unsigned short server_port = kavri_test::free_port(SOCK_STREAM);
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(server_port);
    ASSERT_EQ(0, ::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, ::listen(server, 8));

    GatewayProcess::Options o;
    o.config = demo_config();
    GatewayProcess gw(o);
    ASSERT_TRUE(gw.wait_listening(gw.control_port())) << gw.log() << gw.output_text();
    Broker broker(gw.control_port());
    ASSERT_TRUE(broker.is_connected());

    const auto blocks = readme_blocks();
    std::size_t requests = 0, replies = 0;
    std::string last_command;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const auto& [name, text] = blocks[i];
        if (name == "transcript-reply") {
            ADD_FAILURE() << "a reply without its request: " << text;
            continue;
        }
        if (name != "transcript-request")
            continue;
        ++requests;
        // Header line and a one-line document, its LENGTH right.
        const std::size_t eol = text.find('\n');
        const std::string header = text.substr(0, eol);
        const std::string document = text.substr(eol + 1, text.size() - eol - 2);
        SCOPED_TRACE(header);
        ASSERT_EQ(std::string::npos, document.find('\n'));
        EXPECT_EQ(std::to_string(document.size()), header.substr(header.find("LENGTH=") + 7));
        last_command = document;
        ASSERT_TRUE(broker.send(header + "\r\n" +
                                replace_all(document, "<tcp-port>4433</tcp-port>",
                                            "<tcp-port>" + std::to_string(server_port) + "</tcp-port>") +
                                "\r\n"));
        if (i + 1 < blocks.size() && blocks[i + 1].first == "transcript-reply") {
            ++replies;
            const std::string reply = broker.message();
            ASSERT_FALSE(reply.empty()) << gw.log();
            EXPECT_EQ(blocks[i + 1].second, without_cr(reply));
            ++i;
        }
    }
    EXPECT_EQ(12u, requests);
    EXPECT_EQ(8u, replies);
    // The last example is "shutdown": no reply, and the connection ends.
    EXPECT_EQ("<kavri-sg><shutdown/></kavri-sg>", last_command);
    EXPECT_TRUE(broker.closed_quietly()) << gw.log();
    EXPECT_TRUE(gw.running());
    ::close(server);
}

}  // namespace
