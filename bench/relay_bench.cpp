// The relay in-process on loopback: forwarded datagrams per second and loss
// at full speed for 1 to 10000 tunnels and several payload sizes, one-way
// latency at fixed rates, and the same load through a bare recvfrom/sendto
// forwarder (no look-up, no tag check) as the system-call limit. The cost
// section ("bench_relay cost" runs it alone; "bench_relay cost 50000" only at
// that rate, 0 for full speed) sets the relay beside the bare forwarder run
// by run: forwarded datagrams per second, CPU time, futex calls and context
// switches of the forwarding threads per datagram, and median latency, as
// the median of three rounds.
#include "Config.h"
#include "Startup.h"
#include "UDPServer.h"
#include "relay_load.h"
#include "thread_usage.h"

#include <boost/asio/io_service.hpp>
#include <boost/log/trivial.hpp>
#include <boost/make_shared.hpp>

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <tuple>

using namespace relay_load;

namespace {

const uint64_t FULL_SPEED_COUNT = 200000;
const size_t POOL = 8192;

Keys keys_for(uint32_t i)
{
    Keys k;
    k.key.resize(16);
    for (size_t b = 0; b < 16; ++b)
        k.key[b] = static_cast<unsigned char>(i * 13 + b);
    k.salt = 0x1000 + i;
    k.spi = 0x80000000u + i;
    return k;
}

// Datagram j belongs to tunnel j % tunnels and carries sequence j.
std::vector<bytes> datagrams_for(uint32_t tunnels, size_t payload, size_t count, bool clear)
{
    std::vector<bytes> out;
    out.reserve(count);
    for (size_t j = 0; j < count; ++j)
        out.push_back(seal(keys_for(static_cast<uint32_t>(j % tunnels)), static_cast<uint32_t>(j), payload, clear));
    return out;
}

struct Relay {
    boost::asio::io_service loop;
    boost::shared_ptr<vexa::UDPServer> server;
    Relay(uint32_t tunnels, uint16_t target_port, bool clear)
    {
        server = boost::make_shared<vexa::UDPServer>(loop, "127.0.0.1", "0", "127.0.0.1", "0");
        server->start();
        const boost::asio::ip::udp::endpoint target(boost::asio::ip::make_address("127.0.0.1"), target_port);
        for (uint32_t i = 0; i < tunnels; ++i) {
            const Keys k = keys_for(i);
            const std::string id = std::to_string(i);
            server->setup_client_to_server_tunnel(target, htonl(k.spi), k.salt, std::vector<char>(k.key.begin(), k.key.end()),
                                                  clear ? 1 : 0, 0, "rtag" + id, "conn" + id, "sid" + id, "log" + id,
                                                  boost::function<void(eSESSION_STATE)>(),
                                                  boost::function<void(const std::string&)>());
        }
    }
    ~Relay() { server->stop(); }
};

// One thread: recvfrom, sendto to the fixed target.
class BareForwarder {
public:
    BareForwarder(uint16_t target_port) : in(open_socket("127.0.0.1", 0, 100)), target(make_addr("127.0.0.1", target_port))
    {
        worker = std::thread([this] {
            pthread_setname_np(pthread_self(), "bare-fwd");
            char buf[2048];
            while (running.load()) {
                const ssize_t n = recv(in, buf, sizeof buf, 0);
                if (n >= 36)
                    sendto(in, buf, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
            }
        });
    }
    ~BareForwarder()
    {
        running.store(false);
        worker.join();
        close(in);
    }
    uint16_t port() const { return local_port(in); }

private:
    int in;
    sockaddr_in target;
    std::atomic<bool> running{true};
    std::thread worker;
};

void print(const char* what, uint32_t tunnels, size_t payload, const Result& r)
{
    std::printf("%-26s tunnels=%-6u payload=%-5zu sent=%-7llu recv=%-7llu fwd/s=%9.0f loss=%6.2f%%", what, tunnels,
                payload, static_cast<unsigned long long>(r.sent), static_cast<unsigned long long>(r.received), r.rate(),
                100.0 * r.loss());
    if (r.p50_us > 0)
        std::printf(" p50=%.1fus p99=%.1fus p99.9=%.1fus", r.p50_us, r.p99_us, r.p999_us);
    std::printf("\n");
    std::fflush(stdout);
}

// One run's figures for one forwarder; cpu_us, futex and switches per
// datagram forwarded (futex -1: not countable here).
struct Figures {
    double rate = 0, loss = 0, cpu_us = 0, futex = -1, switches = 0, p50_us = 0;
};

Figures measure(const ThreadUsage& usage, const std::vector<bytes>& d, int source, const sockaddr_in& to, int sink,
                uint64_t count, double rate)
{
    const ThreadUsage::Totals before = usage.read();
    const Result r = run(d, false, source, to, sink, count, rate);
    const ThreadUsage::Totals after = usage.read();
    Figures f;
    f.rate = r.rate();
    f.loss = r.loss();
    f.p50_us = r.p50_us;
    if (r.received > 0) {
        f.cpu_us = (after.cpu_seconds - before.cpu_seconds) * 1e6 / r.received;
        if (before.futex_calls >= 0 && after.futex_calls >= 0)
            f.futex = double(after.futex_calls - before.futex_calls) / r.received;
        f.switches = double(after.context_switches - before.context_switches) / r.received;
    }
    return f;
}

Figures median(std::vector<Figures> runs)
{
    auto mid = [&runs](double Figures::*field) {
        std::vector<double> v;
        for (const Figures& f : runs)
            v.push_back(f.*field);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    Figures m;
    m.rate = mid(&Figures::rate);
    m.loss = mid(&Figures::loss);
    m.cpu_us = mid(&Figures::cpu_us);
    m.futex = mid(&Figures::futex);
    m.switches = mid(&Figures::switches);
    m.p50_us = mid(&Figures::p50_us);
    return m;
}

// The relay (client to server) and the bare forwarder, one after the other
// under the same load, at 200 and 1200 bytes, 1 and 10000 tunnels, full
// speed and 20k and 50k datagrams per second (one second each).
void cost_section(int source, int sink, uint16_t sink_port, const std::vector<double>& only_rates)
{
    const int ROUNDS = 3;
    const uint64_t SATURATION_COUNT = 200000;
    const std::vector<double> RATES = only_rates.empty() ? std::vector<double>{0, 20000, 50000} : only_rates;
    const uint32_t TUNNELS[] = {1, 10000};
    const size_t PAYLOADS[] = {200, 1200};
    using key = std::tuple<uint32_t, size_t, double>;
    std::map<key, std::vector<Figures>> bare_runs, relay_runs;
    std::map<std::pair<uint32_t, size_t>, std::vector<bytes>> sets;
    for (uint32_t tunnels : TUNNELS)
        for (size_t payload : PAYLOADS)
            sets[{tunnels, payload}] = datagrams_for(tunnels, payload, 50000, false);

    for (int round = 0; round < ROUNDS; ++round) {
        for (uint32_t tunnels : TUNNELS) {
            Relay relay(tunnels, sink_port, false);
            const ThreadUsage relay_threads("udp-", 4);
            const sockaddr_in relay_at = make_addr("127.0.0.1", relay.server->get_external_port());
            for (size_t payload : PAYLOADS) {
                const std::vector<bytes>& d = sets[{tunnels, payload}];
                for (double rate : RATES) {
                    const uint64_t count = rate > 0 ? static_cast<uint64_t>(rate) : SATURATION_COUNT;
                    {
                        BareForwarder bare(sink_port);
                        const ThreadUsage bare_thread("bare-fwd", 1);
                        bare_runs[key(tunnels, payload, rate)].push_back(
                            measure(bare_thread, d, source, make_addr("127.0.0.1", bare.port()), sink, count, rate));
                    }
                    relay_runs[key(tunnels, payload, rate)].push_back(
                        measure(relay_threads, d, source, relay_at, sink, count, rate));
                }
            }
        }
        std::printf("cost round %d of %d done\n", round + 1, ROUNDS);
        std::fflush(stdout);
    }

    std::printf("== relay beside the bare forwarder, medians of %d (CPU, futex calls and context switches per "
                "forwarded datagram) ==\n",
                ROUNDS);
    std::printf("%-7s %-7s %-6s | %-43s | %-43s | %s\n", "tunnels", "payload", "rate",
                "bare: fwd/s  cpu-us  futex  cswch  p50-us", "relay: fwd/s  cpu-us  futex  cswch  p50-us",
                "relay/bare: fwd/s  cpu  p50 added");
    for (uint32_t tunnels : TUNNELS)
        for (size_t payload : PAYLOADS)
            for (double rate : RATES) {
                const Figures b = median(bare_runs[key(tunnels, payload, rate)]);
                const Figures r = median(relay_runs[key(tunnels, payload, rate)]);
                char rate_text[16];
                std::snprintf(rate_text, sizeof rate_text, rate > 0 ? "%.0fk" : "sat", rate / 1000);
                std::printf("%-7u %-7zu %-6s | %9.0f %7.2f %6.3f %6.3f %7.1f %4s | %9.0f %7.2f %6.3f %6.3f %7.1f %4s | "
                            "%5.2f %5.2f",
                            tunnels, payload, rate_text, b.rate, b.cpu_us, b.futex, b.switches, b.p50_us, "", r.rate,
                            r.cpu_us, r.futex, r.switches, r.p50_us, "", b.rate > 0 ? r.rate / b.rate : 0,
                            b.cpu_us > 0 ? r.cpu_us / b.cpu_us : 0);
                if (rate > 0)
                    std::printf(" %+6.1fus", r.p50_us - b.p50_us);
                if (b.loss > 0.001 || r.loss > 0.001)
                    std::printf("  (loss bare %.2f%% relay %.2f%%)", 100 * b.loss, 100 * r.loss);
                std::printf("\n");
            }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    // "cost" alone runs the cost section; rates after it (per second, 0 for
    // full speed) narrow it to those.
    const bool cost_only = argc > 1 && std::strcmp(argv[1], "cost") == 0;
    std::vector<double> only_rates;
    for (int i = 2; cost_only && i < argc; ++i)
        only_rates.push_back(std::atof(argv[i]));
    vexa::set_log_filter("3");  // warning and above, as the program sets it
    vexa::Config* c = vexa::Config::get_instance();
    c->set("UdpMaxNoActivitySeconds", "180");
    c->set("EnableRoamingIP", "1");
    c->set("UdpSocketRxBufSize", "4096");
    c->set("UdpSocketTxBufSize", "2048");

    const int sink = open_socket("127.0.0.1", 0);  // the "server"
    const int source = open_socket("127.0.0.1", 0);  // the "client"
    const uint16_t sink_port = local_port(sink);

    if (cost_only) {
        cost_section(source, sink, sink_port, only_rates);
        close(sink);
        close(source);
        return 0;
    }

    std::map<size_t, double> bare_rate;
    std::printf("== bare forwarder (recvfrom/sendto, one thread) ==\n");
    for (size_t payload : {64, 200, 1200}) {
        BareForwarder bare(sink_port);
        const auto d = datagrams_for(1, payload, POOL, false);
        const Result r = run(d, false, source, make_addr("127.0.0.1", bare.port()), sink, FULL_SPEED_COUNT, 0);
        bare_rate[payload] = r.rate();
        print("bare full speed", 1, payload, r);
    }

    std::printf("== relay, full speed, client to server ==\n");
    for (uint32_t tunnels : {1u, 100u, 5000u, 10000u}) {
        Relay relay(tunnels, sink_port, false);
        for (size_t payload : {64, 200, 1200}) {
            const auto d = datagrams_for(tunnels, payload, std::max<size_t>(POOL, tunnels), false);
            const Result r = run(d, false, source, make_addr("127.0.0.1", relay.server->get_external_port()), sink,
                                 FULL_SPEED_COUNT, 0);
            print("relay full speed", tunnels, payload, r);
            std::printf("%-26s ratio to bare = %.2f\n", "", bare_rate[payload] > 0 ? r.rate() / bare_rate[payload] : 0);
        }
    }
    {
        Relay relay(100, sink_port, true);
        const auto d = datagrams_for(100, 200, POOL, true);
        print("relay full speed, clear hdr", 100, 200,
              run(d, true, source, make_addr("127.0.0.1", relay.server->get_external_port()), sink, FULL_SPEED_COUNT, 0));
    }

    std::printf("== relay, one-way latency at fixed rates (100 tunnels, payload 200) ==\n");
    for (double rate : {1000.0, 10000.0, 100000.0}) {
        Relay relay(100, sink_port, false);
        const size_t count = static_cast<size_t>(rate);  // one second
        const auto d = datagrams_for(100, 200, count, false);
        char what[64];
        std::snprintf(what, sizeof what, "relay at %.0f/s", rate);
        print(what, 100, 200, run(d, false, source, make_addr("127.0.0.1", relay.server->get_external_port()), sink, count, rate));
    }
    {
        BareForwarder bare(sink_port);
        const auto d = datagrams_for(1, 200, 10000, false);
        print("bare at 10000/s", 1, 200, run(d, false, source, make_addr("127.0.0.1", bare.port()), sink, 10000, 10000));
    }
    cost_section(source, sink, sink_port, only_rates);
    close(sink);
    close(source);
    return 0;
}
