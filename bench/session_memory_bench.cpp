// Memory per established idle session: N sessions set up (both TLS legs,
// the negotiation, both tunnels, a first datagram each way) and left idle,
// with idle limits long enough not to fire during the measurement;
// (gateway RSS with all N established - RSS before the first) / N.
// Goal: <= 60 KiB. Then memory per accepted connection that sends nothing:
// C plain TCP connections to the signalling port, held open while the
// sessions stay; (RSS with all C accepted - RSS before them) / C.
// Goal: <= 30 KiB.
//
//   bench_session_memory [--sessions 1000] [--connects 300] [--threads 4] [--hold SECONDS]
// --hold pauses before the first session and after the last, printing the
// gateway's pid, so a heap profiler can attach to it; --gateway-env KEY=VALUE
// (repeatable) adds to the gateway's environment only, e.g. a profiler's
// LD_PRELOAD.
#include "GatewayProcess.h"
#include "ProcessProbe.h"
#include "SessionDriver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace session_bench;

namespace {

// A blocking TCP connection to 127.0.0.1:port that never sends; -1 on failure.
int connect_tcp(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned sessions = 1000, connects = 300, threads = 4, hold = 0;
    std::map<std::string, std::string> gateway_env;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--sessions")
            sessions = static_cast<unsigned>(std::max(1, std::atoi(argv[i + 1])));
        else if (a == "--connects")
            connects = static_cast<unsigned>(std::max(0, std::atoi(argv[i + 1])));
        else if (a == "--threads")
            threads = static_cast<unsigned>(std::max(1, std::atoi(argv[i + 1])));
        else if (a == "--gateway-env") {
            const std::string kv = argv[i + 1];
            gateway_env[kv.substr(0, kv.find('='))] = kv.find('=') == std::string::npos ? "" : kv.substr(kv.find('=') + 1);
        } else if (a == "--hold")
            hold = static_cast<unsigned>(std::max(0, std::atoi(argv[i + 1])));
    }
    raise_fd_limit();
    std::printf("== gateway memory per established idle session ==\n");
    std::printf("machine: %s\n", machine().c_str());

    const auto identity = TestIdentity::self_signed("server.bench.kavri.test", 2048);
    GatewayProcess::Options go;
    go.config = GatewayProcess::loopback_config();
    go.env = gateway_env;
    for (const char* line : {"SSLCertKsgSni=gw.bench.kavri.test", "TCPControlMaxConnections=64",
                             "SsigMaxNoActivitySeconds=3600", "UdpMaxNoActivitySeconds=3600"})
        go.config.push_back(line);
    go.config.push_back("MaxConnections=" + std::to_string(sessions + connects + 100));
    GatewayProcess gw(go);
    if (!gw.wait_listening(gw.external_tcp_port()) || !gw.wait_listening(gw.control_port())) {
        std::printf("the gateway did not start\n%s\n", gw.log().c_str());
        return 1;
    }
    const GatewayPorts ports{gw.control_port(), gw.external_tcp_port(), gw.external_udp_port(),
                             gw.internal_udp_port()};
    std::vector<std::unique_ptr<SessionDriver>> drivers;
    for (unsigned t = 0; t < threads; ++t) {
        drivers.push_back(std::make_unique<SessionDriver>(ports, identity, t));
        if (!drivers.back()->connect_broker()) {
            std::printf("broker %u could not connect\n", t);
            return 1;
        }
    }

    if (hold) {
        std::printf("gateway pid %d; holding %u s\n", static_cast<int>(gw.pid()), hold);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(hold));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const uint64_t before = rss_kib(gw.pid());
    const std::size_t fds_before = open_fds(gw.pid());

    std::vector<std::vector<BenchSession>> held(threads);
    std::atomic<unsigned> failures{0};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            const unsigned mine = sessions / threads + (t < sessions % threads ? 1 : 0);
            for (unsigned i = 0; i < mine; ++i) {
                held[t].emplace_back();
                std::string error;
                if (!drivers[t]->open(held[t].back(), error)) {
                    if (failures++ == 0)
                        std::printf("session failed: %s\n", error.c_str());
                }
            }
        });
    for (auto& w : workers)
        w.join();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const uint64_t after = rss_kib(gw.pid());
    const unsigned established = sessions - failures.load();

    std::printf("sessions established: %u of %u\n", established, sessions);
    std::printf("gateway RSS: before %llu KiB, with all established %llu KiB; fds %zu -> %zu\n",
                static_cast<unsigned long long>(before), static_cast<unsigned long long>(after), fds_before,
                open_fds(gw.pid()));
    if (established == 0)
        return 1;
    const double per = static_cast<double>(after - std::min(after, before)) / established;
    std::printf("per session: %.1f KiB (goal <= 60 KiB: %s)\n", per, per <= 60.0 ? "met" : "NOT met");

    if (connects) {
        const uint64_t silent_before = rss_kib(gw.pid());
        const std::size_t silent_fds_before = open_fds(gw.pid());
        std::vector<int> silent;
        for (unsigned i = 0; i < connects; ++i) {
            const int fd = connect_tcp(ports.signalling);
            if (fd >= 0)
                silent.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const uint64_t silent_after = rss_kib(gw.pid());
        const std::size_t silent_fds_after = open_fds(gw.pid());
        std::printf("silent connections: %zu of %u connected, gateway fds %zu -> %zu; RSS %llu -> %llu KiB\n",
                    silent.size(), connects, silent_fds_before, silent_fds_after,
                    static_cast<unsigned long long>(silent_before), static_cast<unsigned long long>(silent_after));
        if (!silent.empty()) {
            const double per_silent = static_cast<double>(silent_after - std::min(silent_after, silent_before)) /
                                      static_cast<double>(silent.size());
            std::printf("per silent connection: %.1f KiB (goal <= 30 KiB: %s)\n", per_silent,
                        per_silent <= 30.0 ? "met" : "NOT met");
        }
        if (hold) {
            std::printf("silent connections held; holding %u s\n", hold);
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::seconds(hold));
        }
        for (const int fd : silent)
            ::close(fd);
    }
    if (hold) {
        std::printf("all established; holding %u s\n", hold);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(hold));
    }
    for (unsigned t = 0; t < threads; ++t)
        for (auto& s : held[t])
            drivers[t]->close(s);
    return 0;
}
