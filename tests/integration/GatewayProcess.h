// Runs the real gateway binary in a temporary directory with a configuration
// of the test's, and reads what it writes (log files, standard output). The
// process is killed and the directory removed when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kavri_test {

// A free port on 127.0.0.1 for the given socket type (SOCK_STREAM or SOCK_DGRAM).
unsigned short free_port(int type);

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
    };

    // Lines that give every port a free loopback port and the log a temp dir.
    static std::vector<std::string> loopback_config();

    explicit GatewayProcess(Options options);
    ~GatewayProcess();
    GatewayProcess(const GatewayProcess&) = delete;
    GatewayProcess& operator=(const GatewayProcess&) = delete;

    const std::filesystem::path& dir() const { return tmp; }
    pid_t pid() const { return child; }

    // Concatenated text of every log file, oldest first.
    std::string log() const;
    std::string stdout_text() const;
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
    std::filesystem::path tmp;
    pid_t child = -1;
    bool reaped = false;
    int exit_status = -1;
    int term_signal = 0;
};

}  // namespace kavri_test
