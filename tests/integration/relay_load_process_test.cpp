// Whole sessions through the real binary with their media under load: both
// directions of several sessions streaming in bursts at once, forged
// datagrams woven in, the statistics read all along, one session resumed
// from a new client address and another removed in the middle of it all.
#include "SessionProcessTest.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <random>

namespace {

using namespace session_test;

// A UDP socket on 127.0.0.1 whose receive buffer holds whatever these tests
// send to it, so that what the gateway forwards is never lost on arrival.
class MediaEnd {
public:
    MediaEnd() : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        const int big = 4 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            bound = ntohs(a.sin_port);
    }
    ~MediaEnd() { ::close(fd); }
    MediaEnd(const MediaEnd&) = delete;
    MediaEnd& operator=(const MediaEnd&) = delete;

    uint16_t port() const { return bound; }
    void send_to(uint16_t port, const bytes& d) const
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    bytes receive(ms wait) const
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) != 1)
            return bytes();
        unsigned char buf[2048];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        return n > 0 ? bytes(buf, buf + n) : bytes();
    }

private:
    int fd;
    uint16_t bound = 0;
};

uint32_t be32_at(const bytes& d, std::size_t at)
{
    return static_cast<uint32_t>(d[at]) << 24 | static_cast<uint32_t>(d[at + 1]) << 16 |
           static_cast<uint32_t>(d[at + 2]) << 8 | d[at + 3];
}

// One direction of one session's media: the key sets it has used (the
// senders take the newest), and what reached its far ends. Each arrival
// must open with OpenSSL under the key set its SPI names and rise in
// sequence at its far end under that SPI.
struct Direction {
    std::mutex mutex;
    std::vector<MediaKeys> keys;
    std::map<std::pair<int, std::string>, uint32_t> last;  // by far end and SPI
    std::atomic<int> generation{0};
    std::atomic<uint64_t> sent{0}, arrived{0}, unopened{0}, disorder{0}, after_cut{0};
    std::atomic<bool> cut{false};

    explicit Direction(const MediaKeys& first) { keys.push_back(first); }
    MediaKeys current()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return keys.back();
    }
    void rekey(const MediaKeys& k)
    {
        std::lock_guard<std::mutex> lock(mutex);
        keys.push_back(k);
        generation = static_cast<int>(keys.size()) - 1;
    }
    void arrival(int end, const bytes& d)
    {
        if (d.size() < 32)
            return;
        const std::string spi(d.begin(), d.begin() + 4);
        std::lock_guard<std::mutex> lock(mutex);
        ++arrived;
        if (cut.load())
            ++after_cut;
        const MediaKeys* k = nullptr;
        for (const MediaKeys& candidate : keys)
            if (candidate.spi_value() == spi)
                k = &candidate;
        if (!k || !relay_test::evp_open(k->key, k->salt, d)) {
            ++unopened;
            return;
        }
        uint32_t& l = last[{end, spi}];
        if (be32_at(d, 4) <= l)
            ++disorder;
        l = be32_at(d, 4);
    }
};

// "packet-count" of one group of one connection's JSON entry; 0 when absent.
uint64_t packet_count(const std::string& json, const std::string& connection_id, const char* group)
{
    const std::size_t entry = json.find("\"" + connection_id + "\":{");
    if (entry == std::string::npos)
        return 0;
    const std::string key = std::string("\"") + group + "\": {\"packet-count\":";
    const std::size_t at = json.find(key, entry);
    return at == std::string::npos ? 0 : std::strtoull(json.c_str() + at + key.size(), nullptr, 10);
}

}  // namespace

class RelayLoadProcess : public SessionProcess {
protected:
    // One session with media ends of its own: the server's at `server_end`,
    // the client at client_ends[0] (and later [1]).
    struct Media {
        Session s;
        MediaEnd server_end;
        MediaEnd client_ends[2];
        std::atomic<int> client_at{0};
        std::unique_ptr<Direction> up, down;  // client to server, server to client
        uint16_t gateway_port = 0;
    };

    void establish_with_own_ends(Media& m, const std::string& id)
    {
        m.s.connection_id = id;
        ASSERT_NO_FATAL_FAILURE(add(m.s));
        ASSERT_NO_FATAL_FAILURE(negotiate(m.s));
        invite(m.s, KsdpMessage::invite(m.s.tag.text(), m.s.client_keys));
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_NO_FATAL_FAILURE(invite_ok(
            m.s, KsdpMessage::invite_ok(m.s.server_keys, SERVER_MEDIA_ADDRESS, m.server_end.port()).resume(60)));
        m.gateway_port = client_media_target(m.s);
        m.up = std::make_unique<Direction>(m.s.client_keys);
        m.down = std::make_unique<Direction>(m.s.server_keys);
        // The client's first datagram tells the gateway where the client is.
        MediaSender first(m.s.client_keys, 1);
        bytes hello = first.next(40);
        m.client_ends[0].send_to(m.gateway_port, hello);
        ASSERT_EQ(hello, m.server_end.receive(MEDIA_WAIT)) << id;
        m.up->sent = 1;
        m.up->arrived = 1;
        m.up->last[{0, m.s.client_keys.spi_value()}] = 1;
    }

    // Bursts of 1 to 16 at gaps from none to half a millisecond, now and then
    // a pause; with forged copies woven in when asked. At most 48 in flight
    // (waited for a while; datagrams under a key the gateway has replaced
    // never arrive).
    void stream(Media& m, bool upward, bool forge, uint32_t seed, const std::atomic<bool>& running)
    {
        std::mt19937 rng(seed);
        Direction& d = upward ? *m.up : *m.down;
        int generation = -1;
        std::optional<MediaSender> sender;
        while (running.load()) {
            if (d.generation.load() != generation) {
                generation = d.generation.load();
                sender.emplace(d.current(), upward && generation == 0 ? 2 : 1);
            }
            const uint32_t burst = 1 + rng() % 16;
            for (uint32_t k = 0; k < burst; ++k) {
                bytes datagram = sender->next(40 + rng() % 400);
                const MediaEnd& from = upward ? m.client_ends[m.client_at.load()] : m.server_end;
                const uint16_t to = upward ? m.gateway_port : gw->internal_udp_port();
                if (forge && rng() % 8 == 0) {
                    bytes forged = datagram;
                    forged[forged.size() - 1 - rng() % 16] ^= 0x20;
                    from.send_to(to, forged);
                }
                from.send_to(to, datagram);
                ++d.sent;
            }
            const uint32_t gap = rng() % 100;
            if (gap < 60)
                std::this_thread::sleep_for(std::chrono::microseconds(gap * 8));
            else if (gap > 97)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const auto until = std::chrono::steady_clock::now() + 200ms;
            while (running.load() && d.sent.load() > d.arrived.load() + 48 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
};

// Three sessions, six directions streaming at once, for a few seconds, with
// the statistics read every quarter second. Session 1 is resumed in the
// middle (a client returning from a new address: new keys both ways);
// session 2 is removed in the middle. Every datagram that arrives is
// authentic (forged ones never do), in its direction's order under its
// SPI; nothing of session 2 arrives once its removal has settled; the
// counters the statistics show only grow, and at the end each is exactly
// what arrived (counted once for each datagram forwarded, and only then);
// after the resumption the server's datagrams reach the client's new
// address; no session ends.
TEST_F(RelayLoadProcess, SessionsStreamingBothWaysThroughAResumptionAndARemoval)
{
    ASSERT_NO_FATAL_FAILURE(start({"LogLevel=2", "UdpMaxNoActivitySeconds=120"}));
    Media media[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_NO_FATAL_FAILURE(establish_with_own_ends(media[i], "conn-load-" + std::to_string(i)));

    std::atomic<bool> running{true}, receiving{true};
    std::vector<std::thread> threads;
    for (Media& m : media) {
        threads.emplace_back([&m, &receiving] {
            while (receiving.load())
                m.up->arrival(0, m.server_end.receive(10ms));
        });
        for (int c = 0; c < 2; ++c)
            threads.emplace_back([&m, &receiving, c] {
                while (receiving.load())
                    m.down->arrival(c, m.client_ends[c].receive(10ms));
            });
    }
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i) {
        senders.emplace_back([this, &media, &running, i] { stream(media[i], true, i == 0, 100 + i, running); });
        senders.emplace_back([this, &media, &running, i] { stream(media[i], false, i == 0, 200 + i, running); });
    }

    std::map<std::string, uint64_t> shown;
    uint64_t shrank = 0;
    auto read_statistics = [&] {
        const auto stats = broker.command("get-json-session-statistics");
        ASSERT_TRUE(stats);
        for (int i = 0; i < 2; ++i)
            for (const char* group : {"client-stats", "server-stats"}) {
                const std::string key = media[i].s.connection_id + group;
                const uint64_t n = packet_count(stats->body, media[i].s.connection_id, group);
                if (n < shown[key])
                    ++shrank;
                shown[key] = n;
            }
    };
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(250ms);
        ASSERT_NO_FATAL_FAILURE(read_statistics());
    }

    // Session 1's client returns from its other address with new keys.
    Media& resumed = media[1];
    auto old_client = std::move(resumed.s.client);
    resumed.s.rekey();
    ASSERT_NO_FATAL_FAILURE(hello(resumed.s, true));
    ASSERT_NO_FATAL_FAILURE(version(resumed.s));
    invite(resumed.s, KsdpMessage::invite(resumed.s.tag.text(), resumed.s.client_keys));
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_NO_FATAL_FAILURE(invite_ok(resumed.s, KsdpMessage::invite_ok(resumed.s.server_keys, SERVER_MEDIA_ADDRESS,
                                                                        resumed.server_end.port())
                                                     .resume(60)));
    resumed.client_at = 1;
    resumed.up->rekey(resumed.s.client_keys);
    resumed.down->rekey(resumed.s.server_keys);
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(250ms);
        ASSERT_NO_FATAL_FAILURE(read_statistics());
    }

    // Session 2 goes while it streams.
    ASSERT_TRUE(broker.remove_connection(media[2].s.rtag));
    std::this_thread::sleep_for(300ms);
    media[2].up->cut = true;
    media[2].down->cut = true;
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(250ms);
        ASSERT_NO_FATAL_FAILURE(read_statistics());
    }

    running = false;
    for (auto& t : senders)
        t.join();
    // Everything forwarded has arrived once the counters stand still.
    std::this_thread::sleep_for(300ms);
    ASSERT_NO_FATAL_FAILURE(read_statistics());
    receiving = false;
    for (auto& t : threads)
        t.join();

    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("session " + std::to_string(i));
        for (Direction* d : {media[i].up.get(), media[i].down.get()}) {
            EXPECT_EQ(0u, d->unopened.load());
            EXPECT_EQ(0u, d->disorder.load());
            EXPECT_EQ(0u, d->after_cut.load());
            EXPECT_GT(d->arrived.load(), 100u);
        }
    }
    EXPECT_EQ(0u, shrank);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("session " + std::to_string(i));
        EXPECT_EQ(media[i].up->arrived.load(), shown[media[i].s.connection_id + "client-stats"]);
        EXPECT_EQ(media[i].down->arrived.load(), shown[media[i].s.connection_id + "server-stats"]);
    }
    // The server's datagrams followed the client to its new address.
    {
        std::lock_guard<std::mutex> lock(resumed.down->mutex);
        EXPECT_GT(resumed.down->last.count({1, resumed.s.server_keys.spi_value()}), 0u);
    }
    EXPECT_TRUE(broker.connection_closed_within(1s).empty());
}
