// Runs the real gateway binary in a temporary directory with a configuration
// of the test's, and reads what it writes (log files, standard output and
// standard error, each to a file of its own). The
// process is killed and the directory removed when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kavri_test {

// A free port on 127.0.0.1 for the given socket type (SOCK_STREAM or SOCK_DGRAM),
// picked at random below the ephemeral range so nothing else takes it meanwhile.
unsigned short free_port(int type);
// True when some socket listens on TCP port of 127.0.0.1 or of any address,
// as /proc/net/tcp shows it (no connection is made).
bool is_listening(unsigned short port);

class GatewayProcess {
public:
    struct Options {
        // Configuration lines ("Key=Value"); LogPath is added unless given.
        std::vector<std::string> config;
        // Pass the configuration file's path as the argument (else none).
        bool pass_config = true;
        // Environment additions; TMPDIR defaults to the temporary directory.
        std::map<std::string, std::string> env;
        // Open-file limits of the child, when set (soft, hard).
        std::optional<std::pair<uint64_t, uint64_t>> nofile;
        // The argument instead of the written configuration file's path.
        std::optional<std::string> argument;
        // The child's working directory (else the temporary directory, which
        // keeps the log unless LogPath is given).
        std::filesystem::path cwd;
    };

    // Lines that give every port a free loopback port and the log a temp dir.
    static std::vector<std::string> loopback_config();

    explicit GatewayProcess(Options options);
    ~GatewayProcess();
    GatewayProcess(const GatewayProcess&) = delete;
    GatewayProcess& operator=(const GatewayProcess&) = delete;

    const std::filesystem::path& dir() const { return tmp; }
    pid_t pid() const { return child; }

    // The value of a configuration key as written (a later line wins), or "".
    std::string setting(const std::string& key) const;
    // A port setting as a number (0 when absent or not a number).
    unsigned short port(const std::string& key) const;
    unsigned short external_tcp_port() const { return port("ExternalTCPPort"); }
    unsigned short control_port() const { return port("TCPControlPort"); }
    unsigned short external_udp_port() const { return port("ExternalUDPPort"); }
    unsigned short internal_udp_port() const { return port("InternalUDPPort"); }
    // Waits until the TCP port listens; false on timeout or once the
    // process has ended.
    bool wait_listening(unsigned short port,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // User and system CPU time of the process so far, all threads.
    std::chrono::milliseconds cpu_time() const;
    // Descriptors the process holds open now (/proc/<pid>/fd).
    std::size_t open_descriptors() const;

    // Concatenated text of every log file, oldest first.
    std::string log() const;
    std::string stdout_text() const;
    std::string stderr_text() const;
    // Standard output, then standard error.
    std::string output_text() const;
    // Waits until the log holds text; false on timeout.
    bool wait_for_log(const std::string& text,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits for the process to end; its exit status, or nothing on timeout
    // or when it ended by a signal (then signal() tells which).
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool running();
    int signal() const { return term_signal; }
    void kill_now();

private:
    std::vector<std::string> config;
    std::filesystem::path tmp;
    pid_t child = -1;
    bool reaped = false;
    int exit_status = -1;
    int term_signal = 0;
};

}  // namespace kavri_test
