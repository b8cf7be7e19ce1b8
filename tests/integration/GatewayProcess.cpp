#include "GatewayProcess.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kavri_test {

namespace {

// Binds 127.0.0.1:port (0: any) for a moment; the port bound, or 0.
unsigned short try_bind(int type, unsigned short port)
{
    const int fd = ::socket(AF_INET, type, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    socklen_t len = sizeof addr;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    ::close(fd);
    return ok ? ntohs(addr.sin_port) : 0;
}

// The lowest port the kernel hands out for outgoing connections.
unsigned ephemeral_low()
{
    std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned low = 0, high = 0;
    return (in >> low >> high) ? low : 32768;
}

}  // namespace

unsigned short free_port(int type)
{
    // Below the ephemeral range: the tests' own outgoing connections, and
    // other tests' port-0 binds, never take a port picked here before the
    // gateway binds it.
    static std::mutex mutex;
    static std::mt19937 pick(std::random_device{}());
    const unsigned low = ephemeral_low();
    if (low > 12000) {
        std::lock_guard<std::mutex> lock(mutex);
        std::uniform_int_distribution<unsigned> in_range(low - 10000, low - 1);
        for (int attempt = 0; attempt < 200; ++attempt)
            if (const unsigned short port = try_bind(type, static_cast<unsigned short>(in_range(pick))))
                return port;
    }
    if (const unsigned short port = try_bind(type, 0))
        return port;
    throw std::runtime_error("free_port failed");
}

bool is_listening(unsigned short port)
{
    char local[32];
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // column titles
        while (std::getline(in, line)) {
            // "  sl  local_address rem_address   st ..."; state 0A is LISTEN.
            unsigned slot = 0, state = 0;
            char remote[64];
            if (std::sscanf(line.c_str(), " %u: %31s %63s %x", &slot, local, remote, &state) != 4 ||
                state != 0x0A)
                continue;
            const std::string addr = local;
            const std::size_t colon = addr.rfind(':');
            if (colon == std::string::npos ||
                std::strtoul(addr.c_str() + colon + 1, nullptr, 16) != port)
                continue;
            const std::string host = addr.substr(0, colon);
            if (host == "0100007F" || host.find_first_not_of('0') == std::string::npos ||
                host == "0000000000000000FFFF00000100007F")
                return true;
        }
    }
    return false;
}

std::vector<std::string> GatewayProcess::loopback_config()
{
    return {
        "ExternalBindIP=127.0.0.1",
        "InternalBindIP=127.0.0.1",
        "TCPControlBindIP=127.0.0.1",
        "ExternalUDPPort=" + std::to_string(free_port(SOCK_DGRAM)),
        "InternalUDPPort=" + std::to_string(free_port(SOCK_DGRAM)),
        "ExternalTCPPort=" + std::to_string(free_port(SOCK_STREAM)),
        "TCPControlPort=" + std::to_string(free_port(SOCK_STREAM)),
        "SSLCertMinKeyLength=2048",
        "SSLCertPath=./certs/",
    };
}

namespace {

std::string read_file(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

GatewayProcess::GatewayProcess(Options options) : config(options.config)
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "kavri-gw-XXXXXX").string();
    if (!::mkdtemp(&tmpl[0]))
        throw std::runtime_error("mkdtemp failed");
    tmp = tmpl;

    bool has_log_path = false;
    for (const auto& l : options.config)
        has_log_path = has_log_path || l.rfind("LogPath", 0) == 0;
    const std::string conf = (tmp / "gateway.conf").string();
    {
        std::ofstream out(conf);
        for (const auto& l : options.config)
            out << l << "\n";
        if (!has_log_path)
            out << "LogPath=" << tmp.string() << "\n";
    }
    if (!options.env.count("TMPDIR"))
        options.env["TMPDIR"] = tmp.string();

    // Everything the child needs is prepared here: after fork only
    // async-signal-safe calls are made.
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!options.env.count(entry.substr(0, entry.find('='))))
            env_strings.push_back(entry);
    }
    for (const auto& kv : options.env)
        env_strings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& e : env_strings)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);

    const std::string binary = VEVAREVIDIRAVAD_BINARY;
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    if (options.argument)
        argv.push_back(const_cast<char*>(options.argument->c_str()));
    else if (options.pass_config)
        argv.push_back(const_cast<char*>(conf.c_str()));
    argv.push_back(nullptr);
    rlimit lim {};
    if (options.nofile) {
        lim.rlim_cur = options.nofile->first;
        lim.rlim_max = options.nofile->second;
    }
    const std::string out_path = (tmp / "stdout.txt").string();
    const std::string err_path = (tmp / "stderr.txt").string();
    const std::string dir = options.cwd.empty() ? tmp.string() : options.cwd.string();

    child = ::fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0 && err >= 0) {
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::close(out);
            ::close(err);
        }
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        if (options.nofile && ::setrlimit(RLIMIT_NOFILE, &lim) != 0)
            ::_exit(125);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
}

GatewayProcess::~GatewayProcess()
{
    kill_now();
    std::error_code ec;
    std::filesystem::remove_all(tmp, ec);
}

std::string GatewayProcess::log() const
{
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(tmp, ec))
        if (e.path().filename().string().rfind("VevareviDiravad_", 0) == 0)
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::string text;
    for (const auto& f : files)
        text += read_file(f);
    return text;
}

std::string GatewayProcess::setting(const std::string& key) const
{
    std::string value;
    for (const auto& l : config)
        if (l.rfind(key + "=", 0) == 0)
            value = l.substr(key.size() + 1);
    return value;
}

unsigned short GatewayProcess::port(const std::string& key) const
{
    const std::string v = setting(key);
    const unsigned long n = std::strtoul(v.c_str(), nullptr, 10);
    return n <= 65535 ? static_cast<unsigned short>(n) : 0;
}

bool GatewayProcess::wait_listening(unsigned short port, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (is_listening(port))
            return true;
        if (!running() || std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::chrono::milliseconds GatewayProcess::cpu_time() const
{
    // Fields 14 and 15 of /proc/<pid>/stat, after the parenthesised name.
    const std::string stat = read_file("/proc/" + std::to_string(child) + "/stat");
    const std::size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return std::chrono::milliseconds(0);
    std::istringstream fields(stat.substr(end + 2));
    std::string skip;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i < 14; ++i)
        fields >> skip;
    fields >> utime >> stime;
    const long hz = ::sysconf(_SC_CLK_TCK);
    return std::chrono::milliseconds((utime + stime) * 1000 / static_cast<unsigned long long>(hz));
}

std::size_t GatewayProcess::open_descriptors() const
{
    std::size_t n = 0;
    if (DIR* d = ::opendir(("/proc/" + std::to_string(child) + "/fd").c_str())) {
        while (const dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

std::string GatewayProcess::stdout_text() const
{
    return read_file(tmp / "stdout.txt");
}

std::string GatewayProcess::stderr_text() const
{
    return read_file(tmp / "stderr.txt");
}

std::string GatewayProcess::output_text() const
{
    return stdout_text() + stderr_text();
}

bool GatewayProcess::wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (log().find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool GatewayProcess::running()
{
    if (reaped)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(child, &status, WNOHANG);
    if (r == child) {
        reaped = true;
        if (WIFEXITED(status))
            exit_status = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            term_signal = WTERMSIG(status);
        return false;
    }
    return r == 0;
}

std::optional<int> GatewayProcess::wait_exit(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (exit_status < 0)
        return std::nullopt;
    return exit_status;
}

void GatewayProcess::kill_now()
{
    if (child > 0 && running()) {
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        reaped = true;
        term_signal = SIGKILL;
    }
}

}  // namespace kavri_test
