// The hand-over between a receive thread that forwards datagrams itself and
// its send thread, attacked from outside the rings: the side's mutex held by
// a long walk; full send buffers in both directions with forged, short,
// oversize, unknown and replayed datagrams and a roaming client in the
// stream; a send thread still at work on what it took; the 5-second check
// parking, resumptions rekeying the tunnels and a removal in the middle of
// bursts while the statistics are read; and stops wherever the threads are.
#include "PoolSide.h"
#include "Startup.h"
#include "UdpPeer.h"

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace relay_test;
using boost::placeholders::_1;

namespace {

using endpoint = boost::asio::ip::udp::endpoint;

bool nothing_queued(int socket)
{
    int queued = 0;
    return ioctl(socket, FIONREAD, &queued) == 0 && queued == 0;
}

endpoint loopback_port(uint16_t port)
{
    return endpoint(boost::asio::ip::address_v4::loopback(), port);
}

class Attack : public ::testing::Test {
protected:
    void SetUp() override
    {
        vexa::Config* c = vexa::Config::get_instance();
        c->set("UdpMaxNoActivitySeconds", "180");
        c->set("EnableRoamingIP", "1");
    }
    LogCapture log;
};

}  // namespace

// The 5-second check, the statistics and a removal hold the side's mutex
// while they walk every tunnel (milliseconds with thousands of them). A
// receive thread that forwards itself must not wait for it there: its
// socket holds far fewer datagrams than the pool has buffers, so what
// arrives meanwhile would be lost. The datagram it holds goes to the send
// thread unchecked, which waits instead, and the receive thread goes on
// handing over; once the walk ends everything arrives, in order.
TEST_F(Attack, AReceiveThreadForwardingItselfDoesNotWaitForTheSidesMutex)
{
    const Keys keys = keys_for(0xc9c9c9c9);
    uint16_t target_port;
    const int target = bound_udp_socket(&target_port);
    PoolSide side(1024, keys, loopback_port(target_port));
    // Room for a few dozen datagrams on the receive socket, hundreds in the pool.
    const int small = 16 * 1024;
    setsockopt(side.rx, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    kavri_test::UdpPeer sender;
    sender.send_to(side.rx_port, datagram(keys, 1, 200));
    std::atomic<uint32_t> arrived{0}, misplaced{0};
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        unsigned char buf[2048];
        while (!done.load()) {
            pollfd p{target, POLLIN, 0};
            if (poll(&p, 1, 20) != 1)
                continue;
            const ssize_t n = recv(target, buf, sizeof buf, 0);
            if (n < 8)
                continue;
            if (sequence_of(bytes(buf, buf + n)) == arrived.load() + 1)
                ++arrived;
            else
                ++misplaced;
        }
    });
    ASSERT_TRUE(within(std::chrono::milliseconds(2000), [&] { return arrived.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the send thread sleeps

    const uint32_t total = 400;
    bool kept_up = true;
    {
        std::lock_guard<std::mutex> walk(side.mutex);
        for (uint32_t k = 2; k <= total; ++k) {
            // Paced by the receive thread: all but a few already handed over
            // (one of them held by the send thread, waiting for the mutex).
            if (kept_up)
                kept_up = within(std::chrono::milliseconds(500),
                                 [&] { return side.pool.filled_buffers() + 1 + 8 >= static_cast<int>(k - 2); });
            sender.send_to(side.rx_port, datagram(keys, k, 200));
        }
        within(std::chrono::milliseconds(500),
               [&] { return side.pool.filled_buffers() + 1 >= static_cast<int>(total - 1); });
        EXPECT_TRUE(kept_up) << "the receive thread stopped receiving while the mutex was held";
        EXPECT_EQ(1u, arrived.load());
    }
    EXPECT_TRUE(within(std::chrono::milliseconds(3000), [&] { return arrived.load() == total; }))
        << arrived.load() << " of " << total;
    done = true;
    receiver.join();
    EXPECT_EQ(0u, misplaced.load());
    EXPECT_EQ(total, vexa::SessionStatistics::get(side.tunnel->stats.packet_count));
    side.stop();
    EXPECT_TRUE(side.every_buffer_back());
    close(target);
}

namespace {

// One direction through a pool whose send socket fills: a datagram socket
// pair that keeps messages whole, with a small send buffer, read by a far
// end that stops for a while every few messages. The stream weaves into the
// good datagrams forged ones, short and oversize ones, one under an unknown
// SPI, and replays from a stranger; the good ones come from one address
// and then another, back and forth. What the far end must see, and what
// the tunnel must have counted and learnt, is worked out from the stream as
// it is sent.
struct WovenStream {
    enum class Kind { good, replay, forged, unknown, short_one, oversize };

    WovenStream(uint32_t slots, uint32_t spi, uint32_t seed)
        : keys(keys_for(spi)), rng(seed), pair(make_pair()),
          side(slots, keys, loopback_port(9), [](eSESSION_STATE) {}, true, pair[0])
    {
        side.tunnel->set_peer_learnt([this](const endpoint& ep) {
            std::lock_guard<std::mutex> lock(mutex);
            learnt.push_back(ep);
        });
    }
    ~WovenStream() { close(pair[1]); }

    static std::array<int, 2> make_pair()
    {
        std::array<int, 2> p{-1, -1};
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, p.data());
        const int small = 4096;
        setsockopt(p[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        return p;
    }

    void send(const kavri_test::UdpPeer& from, const bytes& d, Kind kind)
    {
        from.send_to(side.rx_port, d);
        if (kind != Kind::good && kind != Kind::replay)
            return;
        expected.push_back(d);
        const uint32_t sequence = sequence_of(d);
        bytes_counted += d.size();
        if (last_sequence + 1 != sequence)
            ++out_of_order;
        last_sequence = sequence;
        if (kind == Kind::good) {
            const endpoint ep = loopback_port(from.port());
            if (moves.empty() || moves.back() != ep)
                moves.push_back(ep);
        }
    }

    void sender()
    {
        const kavri_test::UdpPeer* home[2] = {&first, &second};
        int at = 0;
        for (uint32_t k = 1; k <= ROUNDS; ++k) {
            // Bounded in flight: the pool and the receive socket hold it all.
            if (!within(std::chrono::milliseconds(3000), [&] { return read.load() + 40 >= expected.size(); })) {
                stranded = true;
                return;
            }
            if (rng() % 50 == 0)
                at ^= 1;  // the client moves
            send(*home[at], datagram(keys, k, 8 + rng() % 600), Kind::good);
            switch (rng() % 8) {
            case 0: {
                bytes forged = datagram(keys, k + 1, 40);
                forged[forged.size() - 1 - rng() % 16] ^= 0x01;
                send(*home[at], forged, Kind::forged);
                break;
            }
            case 1:
                send(*home[at], datagram(keys_for(keys.spi + 1), k + 1, 40), Kind::unknown);
                break;
            case 2: {
                bytes short_one = datagram(keys, k + 1, 3);  // 35 bytes, a valid tag
                send(*home[at], short_one, Kind::short_one);
                break;
            }
            case 3:
                // Cut to the buffer's 2048 bytes on receipt, so its tag fails.
                send(*home[at], datagram(keys, k + 1, 2100), Kind::oversize);
                break;
            case 4:
                if (k > 5)
                    send(stranger, datagram(keys, k - 1 - rng() % 5, 40), Kind::replay);
                break;
            default:
                break;
            }
            // Mostly one at a time, so the receive thread forwards itself
            // and meets the full buffer; now and then a burst, or a pause.
            const uint32_t pace = rng() % 8;
            if (pace < 6)
                within(std::chrono::milliseconds(100), [&] { return nothing_queued(side.rx); });
            else if (pace == 6)
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
        }
    }

    // The far end: reads a few messages, then stops for a while, so the
    // send buffer fills again and again under both threads' sends.
    void reader(const std::atomic<bool>& done)
    {
        unsigned char buf[4096];
        while (!done.load() || read.load() < expected_count.load()) {
            pollfd p{pair[1], POLLIN, 0};
            if (poll(&p, 1, 20) != 1) {
                if (done.load())
                    return;
                continue;
            }
            const ssize_t n = recv(pair[1], buf, sizeof buf, 0);
            if (n <= 0)
                return;
            {
                std::lock_guard<std::mutex> lock(mutex);
                received.emplace_back(buf, buf + n);
            }
            ++read;
            if (read.load() % (1 + reader_rng() % 6) == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200 + reader_rng() % 800));
        }
    }

    void run()
    {
        std::atomic<bool> done{false};
        std::thread far_end([&] { reader(done); });
        sender();
        expected_count = expected.size();
        within(std::chrono::milliseconds(5000), [&] { return read.load() >= expected.size(); });
        // Anything more would arrive now.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        done = true;
        far_end.join();
    }

    void verify()
    {
        EXPECT_FALSE(stranded);
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(expected.size(), received.size());
        size_t same = 0;
        while (same < expected.size() && same < received.size() && expected[same] == received[same])
            ++same;
        EXPECT_EQ(expected.size(), same) << "the first difference is at " << same;
        const vexa::SessionStatistics& s = side.tunnel->stats;
        EXPECT_EQ(expected.size(), vexa::SessionStatistics::get(s.packet_count));
        EXPECT_EQ(bytes_counted, vexa::SessionStatistics::get(s.packet_bytes));
        EXPECT_EQ(out_of_order, vexa::SessionStatistics::get(s.out_of_order));
        EXPECT_EQ(last_sequence, vexa::SessionStatistics::get(s.last_sequence));
        EXPECT_EQ(moves, learnt);
        ASSERT_FALSE(moves.empty());
        EXPECT_EQ(moves.back(), side.tunnel->get_client_peer());
    }

    static constexpr uint32_t ROUNDS = 700;

    const Keys keys;
    std::mt19937 rng, reader_rng{7};
    std::array<int, 2> pair;
    PoolSide side;
    kavri_test::UdpPeer first, second, stranger;
    std::vector<bytes> expected;
    std::atomic<size_t> expected_count{~size_t(0)};
    uint64_t bytes_counted = 0, out_of_order = 0;
    uint32_t last_sequence = 0;
    std::vector<endpoint> moves;
    bool stranded = false;
    std::mutex mutex;
    std::vector<bytes> received;
    std::vector<endpoint> learnt;
    std::atomic<size_t> read{0};
};

}  // namespace

// Both directions at once, each through a send buffer that keeps filling:
// inline sends that find it full hand their checked datagram to the send
// thread at every point of the stream, between forged, short, oversize,
// unknown and replayed datagrams and while the client moves. The far ends
// see exactly the authentic datagrams (replays included: the endpoints drop
// those), once each and in the order sent; each was counted once (bytes,
// the out-of-order count and the last sequence number agree with a count
// made from the stream), only genuine datagrams moved the peer, each move
// once; and every buffer is back.
TEST_F(Attack, FullSendBuffersBothWaysWithEverythingWovenIn)
{
    WovenStream up(64, 0xd1d1d1d1, 1), down(8, 0xd2d2d2d2, 2);
    std::thread other([&] { down.run(); });
    up.run();
    other.join();
    for (WovenStream* w : {&up, &down}) {
        SCOPED_TRACE(w->keys.spi);
        w->verify();
        w->side.stop();
        EXPECT_TRUE(w->side.every_buffer_back());
    }
}

// A send thread that is still at work on the last datagram it took has
// taken everything put so far (the ring is empty) but is not asleep: the
// receive thread must hand it the next datagram rather than forward it
// itself, or that one overtakes the one still being forwarded. The first
// datagram reaches the send thread (a short one, dropped on receipt, waits
// behind it, and this pool hands over any datagram with more queued); its
// state report stalls the send thread; the second, sent only then, must
// wait behind it.
TEST_F(Attack, AReceiveThreadNeverOvertakesABusySendThread)
{
    const Keys keys = keys_for(0xcacacaca);
    kavri_test::UdpPeer sender, target;
    auto gate = std::make_shared<std::atomic<bool>>(false);
    auto reports = std::make_shared<std::atomic<int>>(0);
    PoolSide side(64, keys, loopback_port(target.port()),
                  [gate, reports](eSESSION_STATE) {
                      ++*reports;
                      while (!*gate)
                          std::this_thread::sleep_for(std::chrono::milliseconds(1));
                  },
                  false, -1, 1);
    sender.send_to(side.rx_port, datagram(keys, 1, 40));
    sender.send_to(side.rx_port, bytes(8, 0));
    side.start();
    ASSERT_TRUE(within(std::chrono::milliseconds(2000), [&] { return reports->load() == 1; }));
    sender.send_to(side.rx_port, datagram(keys, 2, 40));
    // Received; not forwarded past the stalled first.
    ASSERT_TRUE(within(std::chrono::milliseconds(2000), [&] { return nothing_queued(side.rx); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(target.receive(std::chrono::milliseconds(0)).empty()) << "the second overtook the first";
    *gate = true;
    for (uint32_t k = 1; k <= 2; ++k) {
        const bytes d = target.receive(std::chrono::milliseconds(2000));
        ASSERT_FALSE(d.empty()) << k;
        EXPECT_EQ(k, sequence_of(d));
    }
    EXPECT_EQ(2u, vexa::SessionStatistics::get(side.tunnel->stats.packet_count));
    side.stop();
    EXPECT_TRUE(side.every_buffer_back());
}

namespace {

// A loopback UDP socket with a receive buffer large enough that nothing the
// relay forwards to it in these tests is lost there.
class FarEnd {
public:
    FarEnd()
    {
        fd = bound_udp_socket(&bound_port);
        const int big = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~FarEnd() { close(fd); }
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    uint16_t port() const { return bound_port; }
    endpoint local() const { return loopback_port(bound_port); }
    void send_to(uint16_t to, const bytes& d) const
    {
        const endpoint ep = loopback_port(to);
        sendto(fd, d.data(), d.size(), 0, ep.data(), ep.size());
    }
    bytes receive(std::chrono::milliseconds wait) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait.count())) != 1)
            return bytes();
        unsigned char buf[2048];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 ? bytes(buf, buf + n) : bytes();
    }

private:
    int fd;
    uint16_t bound_port = 0;
};

// What reached the far ends of one direction: at each far end, per SPI,
// the sequence numbers must rise (so no datagram comes twice). Across two
// far ends the order cannot be told.
struct Arrivals {
    std::mutex mutex;
    std::map<std::pair<int, uint32_t>, uint32_t> last;  // by far end and wire SPI
    uint64_t count = 0, disorder = 0, after_cut = 0;
    std::atomic<bool> cut{false};

    void take(const bytes& d, int at = 0)
    {
        if (d.size() < 8)
            return;
        uint32_t spi;
        std::memcpy(&spi, d.data(), 4);
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
        uint32_t& l = last[{at, spi}];
        if (sequence_of(d) <= l)
            ++disorder;
        l = sequence_of(d);
        if (cut.load())
            ++after_cut;
    }
    uint64_t total()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }
};

// "packet-count" of the group named in the JSON entry of one connection.
uint64_t json_count(const std::string& json, const char* group)
{
    const size_t at = json.find(std::string("\"") + group + "\": {\"packet-count\":");
    if (at == std::string::npos)
        return 0;
    return std::strtoull(json.c_str() + json.find(':', json.find("packet-count", at)) + 1, nullptr, 10);
}

}  // namespace

class HandOverStorm : public RelayFixture {
protected:
    // One tick of idleness reports INTERRUPTED, the next parks.
    HandOverStorm() { idle_seconds = "5"; }
};

// Both directions stream in bursts at random gaps while, all at once, the
// 5-second check runs every few hundred microseconds (reporting
// INTERRUPTED and parking each direction in any pause), the statistics are
// read, and the session is resumed again and again, each time under new
// SPIs and keys and with the client at another address; at the end it is
// removed in the middle of a burst. Each direction keeps its order per
// SPI and delivers nothing twice; every datagram forwarded was counted once
// and every one counted was forwarded; the counters the statistics show
// only grow; nothing sent after the removal arrives; the return path
// follows the client; every buffer comes back.
TEST_F(HandOverStorm, ChecksParkingResumptionsRoamingAndStatisticsInTheMiddleOfBursts)
{
    vexa::set_log_filter("3");  // thousands of state changes
    relay->start();
    const uint16_t ext = relay->get_external_port(), internal = relay->get_internal_port();
    FarEnd server, client[2];
    auto ev = make_events();
    constexpr int RESUMPTIONS = 12;
    std::vector<Keys> up_keys, down_keys;
    for (uint32_t i = 0; i <= RESUMPTIONS; ++i) {
        up_keys.push_back(keys_for(0x51000000u + i));
        down_keys.push_back(keys_for(0x52000000u + i));
    }
    auto up = c2s(up_keys[0], "sid", server.local(), ev, 0, 3600, "conn-storm");
    auto down = s2c(down_keys[0], "sid", nowhere(), ev, 0, 3600, "conn-storm");
    ASSERT_TRUE(up && down);
    up->set_peer_learnt(boost::bind(&vexa::UDPConnection::set_target_endpoint, down, _1));
    down->set_peer_learnt(boost::bind(&vexa::UDPConnection::set_target_endpoint, up, _1));

    std::atomic<int> generation{0};  // which keys the ends use, where the client is
    std::atomic<bool> done{false}, stop_sending{false};
    Arrivals upward, downward;
    std::atomic<uint64_t> json_reads{0}, json_shrank{0};

    std::vector<std::thread> threads;
    // Far ends.
    threads.emplace_back([&] {
        while (!done.load())
            upward.take(server.receive(std::chrono::milliseconds(10)));
    });
    for (int c = 0; c < 2; ++c)
        threads.emplace_back([&, c] {
            while (!done.load())
                downward.take(client[c].receive(std::chrono::milliseconds(10)), c);
        });
    // The client's first datagram tells the relay where the client is.
    client[0].send_to(ext, datagram(up_keys[0], 1, 40));
    ASSERT_TRUE(within(std::chrono::milliseconds(3000), [&] { return upward.total() == 1; }));
    // Senders: bursts of 1 to 24 at gaps from none to a millisecond, and
    // now and then a pause long enough to be parked.
    auto sender = [&](bool from_client, uint32_t seed) {
        std::mt19937 rng(seed);
        uint32_t sequence = from_client ? 1 : 0;
        while (!stop_sending.load()) {
            const int g = generation.load();
            const uint32_t burst = 1 + rng() % 24;
            for (uint32_t k = 0; k < burst; ++k) {
                if (from_client)
                    client[g % 2].send_to(ext, datagram(up_keys[g], ++sequence, 40 + rng() % 200));
                else
                    server.send_to(internal, datagram(down_keys[g], ++sequence, 40 + rng() % 200));
            }
            const uint32_t gap = rng() % 1000;
            if (gap < 300)
                std::this_thread::sleep_for(std::chrono::microseconds(gap));
            else if (gap > 990)
                std::this_thread::sleep_for(std::chrono::milliseconds(12));  // long enough to be parked
        }
    };
    threads.emplace_back(sender, true, 11);
    threads.emplace_back(sender, false, 12);
    // The 5-second check at random short intervals, and the statistics.
    threads.emplace_back([&] {
        std::mt19937 rng(13);
        while (!done.load()) {
            tick();
            std::this_thread::sleep_for(std::chrono::microseconds(300 + rng() % 3000));
        }
    });
    threads.emplace_back([&] {
        uint64_t last_up = 0, last_down = 0;
        while (!done.load()) {
            std::string json;
            relay->populate_json_session_statistics(json);
            relay->get_statistics();
            relay->session_tracked("sid");
            const uint64_t u = json_count(json, "client-stats"), d = json_count(json, "server-stats");
            // Absent while parked; never below what was shown before.
            if ((u != 0 && u < last_up) || (d != 0 && d < last_down))
                ++json_shrank;
            last_up = std::max(last_up, u);
            last_down = std::max(last_down, d);
            ++json_reads;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    // Resumptions, each while traffic flows: new SPIs and keys for both
    // directions, the client at its other address.
    for (int r = 1; r <= RESUMPTIONS; ++r) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        ASSERT_EQ(up, c2s(up_keys[r], "sid", server.local(), ev, 0, 3600, "conn-storm")) << r;
        ASSERT_EQ(down, s2c(down_keys[r], "sid", nowhere(), ev, 0, 3600, "conn-storm")) << r;
        generation = r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    // Counts the directions in service: a parked one is removed uncounted.
    EXPECT_LE(relay->remove_udp_connection("rtag-sid"), 2u);
    EXPECT_FALSE(relay->session_tracked("sid"));
    // Whatever was on its way may still arrive; what is sent from now on
    // must not.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    upward.cut = true;
    downward.cut = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop_sending = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = true;
    for (auto& t : threads)
        t.join();
    vexa::reset_log_filter();

    EXPECT_EQ(0u, upward.disorder);
    EXPECT_EQ(0u, downward.disorder);
    EXPECT_EQ(0u, upward.after_cut);
    EXPECT_EQ(0u, downward.after_cut);
    EXPECT_GT(upward.total(), 500u);
    EXPECT_GT(downward.total(), 500u);
    // Counted once per datagram forwarded, and only then.
    EXPECT_EQ(upward.total(), vexa::SessionStatistics::get(up->stats.packet_count));
    EXPECT_EQ(downward.total(), vexa::SessionStatistics::get(down->stats.packet_count));
    EXPECT_EQ(0u, json_shrank.load());
    EXPECT_GT(json_reads.load(), 10u);
    // Parked and resumed many times, never ended.
    const auto states = ev->states();
    EXPECT_GT(std::count(states.begin(), states.end(), PENDING_RESUME), 0);
    EXPECT_TRUE(ev->reasons().empty());
    up->clear_callbacks();
    down->clear_callbacks();
    relay->stop();
    EXPECT_EQ(1022, relay->get_client_pool().free_buffers() + relay->get_client_pool().filled_buffers());
    EXPECT_EQ(4094, relay->get_server_pool().free_buffers() + relay->get_server_pool().filled_buffers());
}

// stop() wherever the threads are: forwarding themselves, handing over in a
// burst, or asleep between bursts, in both directions at once. Each stop
// ends the four threads promptly, and every buffer is back but the two the
// receive threads keep.
TEST_F(Attack, StopWhereverTheThreadsAre)
{
    vexa::Config* c = vexa::Config::get_instance();
    c->set("UdpSocketRxBufSize", "384");
    c->set("UdpSocketTxBufSize", "192");
    std::mt19937 rng(21);
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        boost::asio::io_service loop;
        auto relay = boost::make_shared<vexa::UDPServer>(loop, "127.0.0.1", "0", "127.0.0.1", "0");
        FarEnd server, client;
        const Keys up_keys = keys_for(0x61000000u + round), down_keys = keys_for(0x62000000u + round);
        auto up = relay->setup_client_to_server_tunnel(server.local(), up_keys.wire_spi(), up_keys.salt,
                                                       up_keys.key_chars(), 0, 0, "rtag", "conn", "sid", "log",
                                                       [](eSESSION_STATE) {}, [](const std::string&) {});
        auto down = relay->setup_server_to_client_tunnel(client.local(), down_keys.wire_spi(), down_keys.salt,
                                                         down_keys.key_chars(), 0, 0, "rtag", "conn", "sid", "log",
                                                         [](eSESSION_STATE) {}, [](const std::string&) {});
        ASSERT_TRUE(up && down);
        relay->start();
        const uint16_t ext = relay->get_external_port(), internal = relay->get_internal_port();
        std::atomic<bool> sending{true};
        // Quiet rounds stop with both sides asleep.
        const bool quiet = round % 4 == 3;
        auto stream = [&](const FarEnd& from, uint16_t to, const Keys& k, uint32_t seed) {
            std::mt19937 r(seed);
            uint32_t sequence = 0;
            while (sending.load() && !quiet) {
                const uint32_t burst = 1 + r() % 16;
                for (uint32_t i = 0; i < burst; ++i)
                    from.send_to(to, datagram(k, ++sequence, 100));
                std::this_thread::sleep_for(std::chrono::microseconds(r() % 200));
            }
        };
        std::thread a(stream, std::cref(client), ext, std::cref(up_keys), rng());
        std::thread b(stream, std::cref(server), internal, std::cref(down_keys), rng());
        std::this_thread::sleep_for(std::chrono::microseconds(1000 + rng() % 20000));
        auto stopped = std::make_shared<std::atomic<bool>>(false);
        std::thread stopper([relay, stopped] {
            relay->stop();
            *stopped = true;
        });
        const bool prompt = within(std::chrono::milliseconds(5000), [&] { return stopped->load(); });
        sending = false;
        a.join();
        b.join();
        ASSERT_TRUE(prompt) << "stop() did not return";
        stopper.join();
        EXPECT_EQ(1022, relay->get_client_pool().free_buffers() + relay->get_client_pool().filled_buffers());
        EXPECT_EQ(4094, relay->get_server_pool().free_buffers() + relay->get_server_pool().filled_buffers());
        up->clear_callbacks();
        down->clear_callbacks();
    }
}
