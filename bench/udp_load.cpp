// Stand-alone load tool: sends valid datagrams (given SPI, key, salt, size,
// rate, clear header or not) to host:port from a local port and counts what
// arrives back at that port, so the relay can be compared with other
// forwarders. Only loopback targets unless --allow-remote is given.
//
//   udp_load --target 127.0.0.1:4172 --spi a1b2c3d4 --key <hex> --salt 1234
//            [--size 200] [--rate 0] [--count 100000] [--clear]
//            [--listen 0] [--sink 127.0.0.1:0]
// With --sink, arrivals are counted on that address instead (a relay's
// server-side target).
#include "relay_load.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace relay_load;

namespace {

bytes from_hex(const std::string& hex)
{
    bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

void split(const std::string& hp, std::string& host, uint16_t& port)
{
    const size_t c = hp.rfind(':');
    if (c == std::string::npos)
        throw std::runtime_error("host:port expected: " + hp);
    host = hp.substr(0, c);
    port = static_cast<uint16_t>(std::stoul(hp.substr(c + 1)));
}

int usage()
{
    std::fprintf(stderr,
                 "usage: udp_load --target HOST:PORT --spi HEX --key HEX --salt HEX [--size N] [--rate PER_S]\n"
                 "                [--count N] [--clear] [--listen PORT] [--sink HOST:PORT] [--allow-remote]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string target = "", sink_at = "", listen_ip = "127.0.0.1";
    Keys k;
    size_t size = 200;
    double rate = 0;
    uint64_t count = 100000;
    bool clear = false, allow_remote = false;
    uint16_t listen_port = 0;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            auto next = [&]() -> std::string {
                if (i + 1 >= argc)
                    throw std::runtime_error("missing value for " + a);
                return argv[++i];
            };
            if (a == "--target") target = next();
            else if (a == "--spi") k.spi = static_cast<uint32_t>(std::stoul(next(), nullptr, 16));
            else if (a == "--key") k.key = from_hex(next());
            else if (a == "--salt") k.salt = static_cast<uint32_t>(std::stoul(next(), nullptr, 16));
            else if (a == "--size") size = std::stoul(next());
            else if (a == "--rate") rate = std::stod(next());
            else if (a == "--count") count = std::stoull(next());
            else if (a == "--clear") clear = true;
            else if (a == "--listen") listen_port = static_cast<uint16_t>(std::stoul(next()));
            else if (a == "--sink") sink_at = next();
            else if (a == "--allow-remote") allow_remote = true;
            else return usage();
        }
        if (target.empty() || (k.key.size() != 16 && k.key.size() != 32))
            return usage();
        std::string host;
        uint16_t port;
        split(target, host, port);
        if (!allow_remote && host.compare(0, 4, "127.") != 0) {
            std::fprintf(stderr, "refusing a non-loopback target without --allow-remote\n");
            return 2;
        }
        const int fd = open_socket(listen_ip, listen_port, 300);
        int recv_fd = fd;
        if (!sink_at.empty()) {
            std::string sh;
            uint16_t sp;
            split(sink_at, sh, sp);
            recv_fd = open_socket(sh, sp, 300);
            std::printf("counting arrivals at %s:%u\n", sh.c_str(), local_port(recv_fd));
        }
        const size_t distinct = static_cast<size_t>(std::min<uint64_t>(count, 200000));
        std::vector<bytes> datagrams;
        datagrams.reserve(distinct);
        for (size_t j = 0; j < distinct; ++j)
            datagrams.push_back(seal(k, static_cast<uint32_t>(j), size, clear));
        std::printf("sending %llu datagrams of %zu bytes from port %u to %s at %s\n",
                    static_cast<unsigned long long>(count), datagrams[0].size(), local_port(fd), target.c_str(),
                    rate > 0 ? (std::to_string(static_cast<long long>(rate)) + "/s").c_str() : "full speed");
        const Result r = run(datagrams, clear, fd, make_addr(host, port), recv_fd, count, rate);
        std::printf("sent=%llu received=%llu rate=%.0f/s loss=%.2f%%", static_cast<unsigned long long>(r.sent),
                    static_cast<unsigned long long>(r.received), r.rate(), 100.0 * r.loss());
        if (r.p50_us > 0)
            std::printf(" p50=%.1fus p99=%.1fus p99.9=%.1fus", r.p50_us, r.p99_us, r.p999_us);
        std::printf("\n");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "udp_load: %s\n", e.what());
        return 1;
    }
}
