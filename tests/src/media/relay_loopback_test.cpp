// End to end over loopback: a started relay, a test client and a test
// server socket, tunnels wired as the signalling gateway wires them. Drops
// are proved by order: the bad datagram goes first, the good one after, and
// only the good one arrives (each direction keeps its order).
#include "UdpPeer.h"
#include "relay_fixture.h"

#include <boost/bind/bind.hpp>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

using namespace relay_test;
using boost::placeholders::_1;

namespace {

using endpoint = boost::asio::ip::udp::endpoint;

// The shared loopback UDP peer, with a receive time-out kept per peer.
class Peer {
public:
    explicit Peer(int timeout_ms = 1000) : timeout(timeout_ms) {}
    void set_timeout(int ms) { timeout = std::chrono::milliseconds(ms); }
    endpoint local() const { return endpoint(boost::asio::ip::address_v4::loopback(), udp.port()); }
    void send_to(const bytes& d, uint16_t port) const { udp.send_to(port, d); }
    // Empty on time-out.
    bytes receive(uint16_t* from_port = nullptr) const { return udp.receive(timeout, from_port); }

private:
    kavri_test::UdpPeer udp;
    std::chrono::milliseconds timeout;
};

template <class F>
bool eventually(F f)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end) {
        if (f())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return f();
}

}  // namespace

class Loopback : public RelayFixture {
protected:
    void SetUp() override
    {
        RelayFixture::SetUp();
        if (start_in_set_up)
            relay->start();
        ext = relay->get_external_port();
        internal = relay->get_internal_port();
    }
    // One session, wired as the signalling gateway wires it.
    void open_session(unsigned clear = 0)
    {
        up = c2s(up_keys, "sid", server.local(), ev, clear);
        down = s2c(down_keys, "sid", nowhere(), ev, clear);
        ASSERT_TRUE(up && down);
        up->set_peer_learnt(boost::bind(&vexa::UDPConnection::set_target_endpoint, down, _1));
        down->set_peer_learnt(boost::bind(&vexa::UDPConnection::set_target_endpoint, up, _1));
    }
    void TearDown() override
    {
        up.reset();
        down.reset();
        RelayFixture::TearDown();
    }

    bool start_in_set_up = true;
    Peer client, server;
    uint16_t ext = 0, internal = 0;
    Keys up_keys = keys_for(0xa1a1a1a1), down_keys = keys_for(0xb2b2b2b2);
    std::shared_ptr<Events> ev = make_events();
    vexa::UDPServer::tunnel_ptr up, down;
};

TEST_F(Loopback, BothDirectionsForwardUnchangedFromTheOtherSocket)
{
    open_session();
    // The server speaks first: no client address is known yet, so it is
    // counted and dropped.
    const bytes early = datagram(down_keys, 1);
    server.send_to(early, internal);
    ASSERT_TRUE(eventually([&] { return vexa::SessionStatistics::get(down->stats.packet_count) == 1; }));

    const bytes hello = datagram(up_keys, 1, 300);
    client.send_to(hello, ext);
    uint16_t from = 0;
    EXPECT_EQ(hello, server.receive(&from));
    EXPECT_EQ(internal, from);

    const bytes reply = datagram(down_keys, 2, 500);
    server.send_to(reply, internal);
    EXPECT_EQ(reply, client.receive(&from));  // the reply, not the early one
    EXPECT_EQ(ext, from);
    EXPECT_EQ((std::vector<eSESSION_STATE>{ACTIVE, ACTIVE}), ev->states());
}

TEST_F(Loopback, BadTagUnknownSpiAndShortDatagramsAreDropped)
{
    open_session();
    bytes forged = datagram(up_keys, 1);
    forged[17] ^= 1;
    const bytes unknown = datagram(keys_for(0x66666666), 1);
    const bytes too_short = datagram(up_keys, 2, 3);  // 35 bytes: never reaches the send thread
    const bytes shortest = datagram(up_keys, 3, 4);   // 36 bytes
    for (const bytes& d : {forged, unknown, too_short, shortest})
        client.send_to(d, ext);
    EXPECT_EQ(shortest, server.receive());
    server.set_timeout(200);
    EXPECT_TRUE(server.receive().empty());
    EXPECT_EQ(1u, vexa::SessionStatistics::get(up->stats.packet_count));
    EXPECT_EQ(1u, log.count_messages("Failed authentication on UDP packet from Kavri Client: 127.0.0.1:"));
    EXPECT_EQ(1u, log.count_messages("Blocked UDP packet with unknown SPI 66666666 from Kavri Client: 127.0.0.1:"));
}

TEST_F(Loopback, ClearHeaderDatagramsAreForwardedWhole)
{
    open_session(1);
    const bytes d = datagram(up_keys, 1, 64, {0x81, 0x45, 0x12, 0x34});
    client.send_to(d, ext);
    EXPECT_EQ(d, server.receive());
    EXPECT_EQ(1u, vexa::SessionStatistics::get(up->stats.audio_count));
    EXPECT_EQ(d.size() - 4, vexa::SessionStatistics::get(up->stats.packet_bytes));
}

TEST_F(Loopback, ARoamingClientMovesTheReturnPath)
{
    open_session();
    Peer moved;
    client.send_to(datagram(up_keys, 1), ext);
    ASSERT_FALSE(server.receive().empty());
    moved.send_to(datagram(up_keys, 2), ext);
    ASSERT_FALSE(server.receive().empty());
    const bytes reply = datagram(down_keys, 1);
    server.send_to(reply, internal);
    EXPECT_EQ(reply, moved.receive());
    client.set_timeout(200);
    EXPECT_TRUE(client.receive().empty());
    EXPECT_EQ(1u, log.count_messages("=========> Client IP address has changed - " + vexa::endpoint_text(moved.local())));
}

TEST_F(Loopback, SustainedTrafficInBothDirections)
{
    open_session();
    client.send_to(datagram(up_keys, 1), ext);
    ASSERT_FALSE(server.receive().empty());
    const int n = 300;
    std::thread talker([&] {
        for (int i = 1; i <= n; ++i)
            server.send_to(datagram(down_keys, static_cast<uint32_t>(i), 200), internal);
    });
    int got = 0;
    for (int i = 1; i <= n; ++i) {
        client.send_to(datagram(up_keys, static_cast<uint32_t>(i + 1), 200), ext);
        if (!server.receive().empty())
            ++got;
    }
    talker.join();
    int back = 0;
    client.set_timeout(300);
    while (!client.receive().empty())
        ++back;
    EXPECT_EQ(n, got);
    EXPECT_GT(back, n / 2);  // loopback may drop under a burst; most arrive
    EXPECT_EQ(0u, vexa::SessionStatistics::get(up->stats.out_of_order));
}

namespace {

using steady = std::chrono::steady_clock;

// One direction of the stress below: numbered datagrams sent in bursts with
// pauses at random, and what arrived, in order, at the far side.
struct Stream {
    const Keys& keys;
    const Peer& from;
    const Peer& to;
    uint16_t port;
    uint32_t seed;
    uint32_t sent = 0;
    std::atomic<uint32_t> arrived{0};
    std::atomic<uint32_t> misplaced{0};
    bool stranded = false;

    void receive(const std::atomic<bool>& done)
    {
        while (!done.load()) {
            const bytes d = to.receive();
            if (d.size() < 8)
                continue;
            uint32_t sequence;
            std::memcpy(&sequence, d.data() + 4, 4);
            if (ntohl(sequence) == arrived.load() + 1)
                ++arrived;
            else
                ++misplaced;
        }
    }
    // Waits until everything sent has arrived; false after the bound.
    bool drained()
    {
        const auto deadline = steady::now() + std::chrono::seconds(3);
        while (arrived.load() != sent && steady::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        return arrived.load() == sent;
    }
    void send(int rounds)
    {
        std::mt19937 rng(seed);
        for (int round = 0; round < rounds; ++round) {
            // Bounded in flight, so no socket buffer overflows while a
            // receiver is descheduled on a loaded machine.
            if (sent - arrived.load() > 64 && !drained()) {
                stranded = true;
                return;
            }
            for (int k = 1 + static_cast<int>(rng() % 32); k > 0; --k)
                from.send_to(datagram(keys, ++sent, 20 + rng() % 200), port);
            // After a pause with nothing more sent, a lost wake-up strands
            // the burst's last datagrams.
            if (rng() % 2 == 0 && !drained()) {
                stranded = true;
                return;
            }
            switch (rng() % 4) {
            case 0:
                break;
            case 1:
            case 2: {
                // Around the send thread's spin before sleeping.
                const auto spin = std::chrono::nanoseconds(rng() % (rng() % 2 ? 5000 : 30000));
                const auto until = steady::now() + spin;
                while (steady::now() < until) {
                }
                break;
            }
            default:
                std::this_thread::sleep_for(std::chrono::microseconds(50 + rng() % 1000));
            }
        }
        stranded = !drained();
    }
};

}  // namespace

// Both directions at once, bursts of 1 to 32 datagrams and pauses at random
// (none, around the send thread's spin, or long enough for it to sleep):
// every datagram arrives once and in order, and a burst followed by silence
// arrives within the bound without more traffic to wake the relay.
TEST_F(Loopback, RandomBurstsAndPausesBothWaysForwardEachDatagramOnce)
{
    open_session();
    const bytes hello = datagram(up_keys, 0);  // tells the relay where the client is
    client.send_to(hello, ext);
    ASSERT_EQ(hello, server.receive());
    client.set_timeout(100);
    server.set_timeout(100);

    Stream up_stream{up_keys, client, server, ext, 3};
    Stream down_stream{down_keys, server, client, internal, 5};
    std::atomic<bool> done{false};
    std::thread up_receiver([&] { up_stream.receive(done); });
    std::thread down_receiver([&] { down_stream.receive(done); });
    std::thread down_sender([&] { down_stream.send(1500); });
    up_stream.send(1500);
    down_sender.join();
    done = true;
    up_receiver.join();
    down_receiver.join();

    for (const Stream* s : {&up_stream, &down_stream}) {
        EXPECT_FALSE(s->stranded) << s->arrived.load() << " of " << s->sent << " arrived";
        EXPECT_EQ(s->sent, s->arrived.load());
        EXPECT_EQ(0u, s->misplaced.load());
        EXPECT_GT(s->sent, 1000u);
    }
    // Each arrival is the tunnel's datagram once: counted as such.
    EXPECT_EQ(up_stream.sent + 1, vexa::SessionStatistics::get(up->stats.packet_count));
    EXPECT_EQ(down_stream.sent, vexa::SessionStatistics::get(down->stats.packet_count));
}

namespace {

// Holds the thread that calls it until opened; shared with the callback so
// it outlives a test that ends early.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void wait()
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return open; });
    }
    void release()
    {
        {
            std::lock_guard<std::mutex> lock(m);
            open = true;
        }
        cv.notify_all();
    }
};

struct GateOpener {
    std::shared_ptr<Gate> gate;
    ~GateOpener() { gate->release(); }
};

}  // namespace

// The relay started once datagrams wait on its sockets; it hands any
// datagram with more queued to the send thread.
class LoopbackStartedLate : public Loopback {
protected:
    LoopbackStartedLate() { start_in_set_up = false; }
    void SetUp() override
    {
        Loopback::SetUp();
        relay.reset(new vexa::UDPServer(loop, "127.0.0.1", "0", "127.0.0.1", "0", 1));
        ext = relay->get_external_port();
        internal = relay->get_internal_port();
    }
};

TEST_F(LoopbackStartedLate, AStalledSendThreadStopsTheReceiverAtOneBufferFewerThanSlots)
{
    // The state callback runs on the thread that forwards the datagram:
    // with two datagrams waiting when the relay starts, the first goes to
    // the send thread, and holding the callback there stalls the
    // client-to-server direction with one buffer in hand.
    auto gate = std::make_shared<Gate>();
    GateOpener opener{gate};
    auto t = relay->setup_client_to_server_tunnel(server.local(), up_keys.wire_spi(), up_keys.salt,
                                                  up_keys.key_chars(), 0, 0, "rtag", "conn", "sid", "log",
                                                  [gate](eSESSION_STATE) { gate->wait(); },
                                                  boost::function<void(const std::string&)>());
    ASSERT_TRUE(t);
    vexa::PacketForwarderPool& pool = relay->get_client_pool();
    int sent = 0;
    for (; sent < 2; ++sent)
        client.send_to(datagram(up_keys, static_cast<uint32_t>(sent + 1), 4), ext);
    relay->start();
    // Paced so the kernel keeps what the stalled relay cannot take yet.
    while (pool.free_buffers() > 0 && sent < 1400) {
        client.send_to(datagram(up_keys, static_cast<uint32_t>(++sent), 4), ext);
        if (sent % 64 == 0)
            eventually([&] { return pool.filled_buffers() >= sent - 2 || pool.free_buffers() == 0; });
    }
    for (int i = 0; i < 20; ++i)
        client.send_to(datagram(up_keys, static_cast<uint32_t>(++sent), 4), ext);
    // The receiver takes a free buffer before it receives into it, so the
    // free ring empties a moment before the last buffer is filled.
    ASSERT_TRUE(eventually([&] { return pool.free_buffers() == 0 && pool.filled_buffers() >= 1022; }))
        << pool.free_buffers() << " free, " << pool.filled_buffers() << " filled";
    // One buffer in the send thread's hands, the rest filled: the ring never
    // holds more than the buffers that exist, and the receiver waits.
    EXPECT_EQ(1022, pool.filled_buffers());
    gate->release();
    // Everything the relay took is forwarded (our own socket may drop some
    // of the burst, so count at the tunnel).
    EXPECT_TRUE(eventually([&] { return vexa::SessionStatistics::get(t->stats.packet_count) >= 1023; }))
        << vexa::SessionStatistics::get(t->stats.packet_count);
    EXPECT_FALSE(server.receive().empty());
    t->clear_callbacks();
}
