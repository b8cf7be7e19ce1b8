// Soak driver (not run by make bench): N sessions set up through the real
// binary, media flowing both ways on every one for M minutes; each minute
// prints the gateway's RSS, its open descriptors and the datagrams sent and
// received. Flat means RSS within 5 % and open fds equal between minute 2
// and the end. The signalling idle limit is set past the run, so the legs
// stay up and the descriptor count must not move.
//
//   session_soak [--sessions 500] [--minutes 10] [--threads 4] [--rate 10] [--payload 200]
// rate: datagrams per second per session and direction.
#include "GatewayProcess.h"
#include "ProcessProbe.h"
#include "SessionDriver.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace session_bench;
using clock_type = std::chrono::steady_clock;

int main(int argc, char** argv)
{
    unsigned sessions = 500, minutes = 10, threads = 4;
    double rate = 10;
    std::size_t payload = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--sessions")
            sessions = static_cast<unsigned>(std::max(1, std::atoi(argv[i + 1])));
        else if (a == "--minutes")
            minutes = static_cast<unsigned>(std::max(1, std::atoi(argv[i + 1])));
        else if (a == "--threads")
            threads = static_cast<unsigned>(std::max(1, std::atoi(argv[i + 1])));
        else if (a == "--rate")
            rate = std::max(0.1, std::atof(argv[i + 1]));
        else if (a == "--payload")
            payload = static_cast<std::size_t>(std::max(4, std::atoi(argv[i + 1])));
    }
    raise_fd_limit();
    std::printf("== soak: %u sessions, %u minutes, %.1f datagrams/s per session and direction, %zu-byte payload ==\n",
                sessions, minutes, rate, payload);
    std::printf("machine: %s\n", machine().c_str());

    const auto identity = TestIdentity::self_signed("server.bench.kavri.test", 2048);
    GatewayProcess::Options go;
    go.config = GatewayProcess::loopback_config();
    for (const char* line : {"SSLCertKsgSni=gw.bench.kavri.test", "TCPControlMaxConnections=64",
                             "UdpMaxNoActivitySeconds=60", "UdpSocketRxBufSize=4096", "UdpSocketTxBufSize=2048"})
        go.config.push_back(line);
    go.config.push_back("SsigMaxNoActivitySeconds=" + std::to_string(minutes * 60 + 600));
    go.config.push_back("MaxConnections=" + std::to_string(sessions + 100));
    GatewayProcess gw(go);
    if (!gw.wait_listening(gw.external_tcp_port()) || !gw.wait_listening(gw.control_port())) {
        std::printf("the gateway did not start\n%s\n", gw.log().c_str());
        return 1;
    }
    const GatewayPorts ports{gw.control_port(), gw.external_tcp_port(), gw.external_udp_port(),
                             gw.internal_udp_port()};
    std::vector<std::unique_ptr<SessionDriver>> drivers;
    std::vector<std::vector<BenchSession>> held(threads);
    std::atomic<unsigned> failures{0};
    {
        std::vector<std::thread> workers;
        for (unsigned t = 0; t < threads; ++t) {
            drivers.push_back(std::make_unique<SessionDriver>(ports, identity, t));
            if (!drivers.back()->connect_broker()) {
                std::printf("broker %u could not connect\n", t);
                return 1;
            }
        }
        for (unsigned t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                const unsigned mine = sessions / threads + (t < sessions % threads ? 1 : 0);
                held[t].resize(mine);
                for (auto& s : held[t]) {
                    std::string error;
                    if (!drivers[t]->open(s, error) && failures++ == 0)
                        std::printf("session failed: %s\n", error.c_str());
                }
            });
        for (auto& w : workers)
            w.join();
    }
    std::printf("sessions established: %u of %u\n", sessions - failures.load(), sessions);

    // One media thread per driver: every session of the driver sends one
    // datagram each way per round, rounds paced to the rate.
    std::atomic<bool> running{true};
    std::atomic<uint64_t> sent{0}, received{0};
    std::vector<std::thread> media;
    for (unsigned t = 0; t < threads; ++t)
        media.emplace_back([&, t] {
            const auto round =
                std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(1.0 / rate));
            auto next = clock_type::now();
            while (running) {
                for (auto& s : held[t]) {
                    drivers[t]->send_media(s, payload);
                    sent += 2;
                }
                received += drivers[t]->drain_media();
                next += round;
                while (clock_type::now() < next && running) {
                    received += drivers[t]->drain_media();
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });

    std::printf("%6s %12s %8s %12s %12s\n", "minute", "RSS KiB", "fds", "sent", "received");
    uint64_t rss_at_2 = 0, last_sent = 0, last_received = 0;
    std::size_t fds_at_2 = 0;
    uint64_t rss_end = 0;
    std::size_t fds_end = 0;
    const auto start = clock_type::now();
    for (unsigned m = 1; m <= minutes; ++m) {
        std::this_thread::sleep_until(start + std::chrono::minutes(m));
        const uint64_t rss = rss_kib(gw.pid());
        const std::size_t fds = open_fds(gw.pid());
        const uint64_t s = sent.load(), r = received.load();
        std::printf("%6u %12llu %8zu %12llu %12llu\n", m, static_cast<unsigned long long>(rss), fds,
                    static_cast<unsigned long long>(s - last_sent), static_cast<unsigned long long>(r - last_received));
        std::fflush(stdout);
        last_sent = s;
        last_received = r;
        if (m == 2) {
            rss_at_2 = rss;
            fds_at_2 = fds;
        }
        rss_end = rss;
        fds_end = fds;
    }
    running = false;
    for (auto& th : media)
        th.join();

    if (minutes >= 2) {
        const double drift = rss_at_2 ? 100.0 * (static_cast<double>(rss_end) - static_cast<double>(rss_at_2)) /
                                            static_cast<double>(rss_at_2)
                                      : 0;
        const bool flat = std::fabs(drift) <= 5.0 && fds_end == fds_at_2;
        std::printf("minute 2 -> end: RSS %+.2f %%, fds %zu -> %zu: %s\n", drift, fds_at_2, fds_end,
                    flat ? "flat" : "NOT flat");
    }
    for (unsigned t = 0; t < threads; ++t)
        for (auto& s : held[t])
            drivers[t]->close(s);
    return 0;
}
