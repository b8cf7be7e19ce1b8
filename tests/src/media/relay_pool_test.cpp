// One receiving side on its own, with pools far smaller than the relay's:
// its receive and send threads over loopback sockets, floods that use up
// every buffer, and stopping either thread wherever it waits.
#include "PoolSide.h"
#include "UdpPeer.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

using namespace relay_test;

namespace {

using steady = std::chrono::steady_clock;
using endpoint = boost::asio::ip::udp::endpoint;

using Side = PoolSide;

// Stops a side from another thread, so a stop that hangs fails the test
// rather than the run; the side is left behind then.
bool stops_within(std::shared_ptr<Side> side, std::chrono::seconds bound)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([side, done] {
        side->stop();
        *done = true;
    }).detach();
    const auto end = steady::now() + bound;
    while (!*done && steady::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return *done;
}

}  // namespace

class Pool : public ::testing::Test {
protected:
    void SetUp() override
    {
        vexa::Config* c = vexa::Config::get_instance();
        c->set("UdpMaxNoActivitySeconds", "180");
        c->set("EnableRoamingIP", "1");
    }
    Keys keys = keys_for(0xc3c3c3c3);
    LogCapture log;
};

// Bursts of up to three times the buffers, each followed by silence, on
// pools whose free-ring wake batch is every buffer (2, 4, 64 slots) or
// fewer (128): each burst arrives whole without a later datagram.
TEST_F(Pool, BurstsLargerThanThePoolArriveWholeAfterEachPause)
{
    for (uint32_t slots : {2u, 4u, 8u, 64u, 128u}) {
        SCOPED_TRACE(slots);
        kavri_test::UdpPeer sender, target;
        auto side = std::make_shared<Side>(slots, keys, endpoint(boost::asio::ip::address_v4::loopback(), target.port()));
        std::mt19937 rng(slots);
        uint32_t sent = 0, arrived = 0;
        bool stranded = false;
        const auto end = steady::now() + std::chrono::milliseconds(800);
        for (int round = 0; round < 200 && steady::now() < end && !stranded; ++round) {
            const uint32_t burst = 1 + rng() % std::min<uint32_t>(3 * slots, 150);
            for (uint32_t k = 0; k < burst; ++k)
                sender.send_to(side->rx_port, datagram(keys, ++sent, 8));
            while (arrived < sent) {
                const auto d = target.receive(std::chrono::milliseconds(3000));
                if (d.empty()) {
                    stranded = true;
                    break;
                }
                uint32_t sequence;
                std::memcpy(&sequence, d.data() + 4, 4);
                EXPECT_EQ(arrived + 1, ntohl(sequence));
                arrived = ntohl(sequence);
            }
            if (rng() % 2)
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 400));
        }
        EXPECT_FALSE(stranded) << arrived << " of " << sent;
        EXPECT_GT(sent, slots);
        EXPECT_TRUE(stops_within(side, std::chrono::seconds(10)) && side->every_buffer_back());
    }
}

// A stalled send thread lets the receive thread fill every buffer and sleep
// on the free ring; a stop then, with the send thread released only after
// it, ends both threads; so does a stop while both are idle. The datagrams
// wait on the socket before the threads start, and a pool that hands over
// any datagram with more queued gives the first one to the send thread,
// which the state report stalls.
TEST_F(Pool, StopWhileTheReceiverSleepsOnAFullPool)
{
    for (uint32_t slots : {2u, 4u, 64u, 128u}) {
        SCOPED_TRACE(slots);
        kavri_test::UdpPeer sender, target;
        auto gate = std::make_shared<std::atomic<bool>>(false);
        auto side = std::make_shared<Side>(slots, keys, endpoint(boost::asio::ip::address_v4::loopback(), target.port()),
                                           [gate](eSESSION_STATE) {
                                               while (!*gate)
                                                   std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                           },
                                           false, -1, 1);
        for (uint32_t k = 1; k <= slots + 8; ++k)
            sender.send_to(side->rx_port, datagram(keys, k, 8));
        side->start();
        const auto end = steady::now() + std::chrono::seconds(5);
        while (side->pool.free_buffers() != 0 && steady::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(0, side->pool.free_buffers());
        std::thread opener([gate] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            *gate = true;
        });
        EXPECT_TRUE(stops_within(side, std::chrono::seconds(10)) && side->every_buffer_back());
        opener.join();
    }
    auto idle = std::make_shared<Side>(4, keys, endpoint(boost::asio::ip::address_v4::loopback(), 9));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(stops_within(idle, std::chrono::seconds(10)));
}

// One flood mixing, per round, a datagram that arrives with forged ones,
// replays, and datagrams of two more tunnels whose sends fail (a broadcast
// target refuses them) or go nowhere (a closed port): only the good and the
// replayed ones arrive, and the good ones in order.
TEST_F(Pool, FailingSendsAndForgedDatagramsInAFloodForwardOnlyWhatAuthenticates)
{
    kavri_test::UdpPeer sender, target;
    auto side = std::make_shared<Side>(8, keys, endpoint(boost::asio::ip::address_v4::loopback(), target.port()));
    const Keys refused = keys_for(0xd4d4d4d4), nowhere = keys_for(0xe5e5e5e5);
    uint16_t closed_port;
    close(bound_udp_socket(&closed_port));
    for (const auto& t : {std::make_pair(refused, endpoint(boost::asio::ip::address_v4::broadcast(), 9)),
                          std::make_pair(nowhere, endpoint(boost::asio::ip::address_v4::loopback(), closed_port))}) {
        boost::shared_ptr<vexa::UDPConnection> c(new vexa::UDPConnection(
            t.second, t.first.salt, t.first.key_chars(), 0, "rtag-x", "conn", "sid-x", "log", t.first.wire_spi(), true,
            0, [](eSESSION_STATE) {}, boost::function<void(const std::string&)>()));
        std::lock_guard<std::mutex> lock(side->mutex);
        side->plain.emplace(t.first.wire_spi(), c);
    }
    const uint32_t rounds = 300;
    uint32_t replays = 0, forged_sent = 0;
    std::atomic<uint32_t> good{0};
    std::thread flood([&] {
        for (uint32_t i = 1; i <= rounds; ++i) {
            sender.send_to(side->rx_port, datagram(refused, i, 8));
            bytes forged = datagram(keys, i + 100000, 8);
            forged[20] ^= 0x40;
            sender.send_to(side->rx_port, forged);
            ++forged_sent;
            sender.send_to(side->rx_port, datagram(keys, i, 8));
            sender.send_to(side->rx_port, datagram(nowhere, i, 8));
            if (i % 10 == 0) {
                sender.send_to(side->rx_port, datagram(keys, i, 8));  // replayed: forwarded, moves nothing
                ++replays;
            }
            // Bounded in flight, so no socket buffer overflows on a slow run.
            const auto deadline = steady::now() + std::chrono::seconds(3);
            while (good.load() + 16 < i && steady::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    uint32_t last = 0, arrivals = 0, disorder = 0, foreign = 0;
    for (;;) {
        const auto d = target.receive(std::chrono::milliseconds(2000));
        if (d.empty())
            break;
        ++arrivals;
        uint32_t spi, sequence;
        std::memcpy(&spi, d.data(), 4);
        std::memcpy(&sequence, d.data() + 4, 4);
        if (spi != keys.wire_spi() || ntohl(sequence) > rounds)
            ++foreign;
        else if (ntohl(sequence) == last + 1)
            last = ntohl(sequence), ++good;
        else if (ntohl(sequence) != last)
            ++disorder;
    }
    flood.join();
    EXPECT_EQ(rounds, good.load());
    EXPECT_EQ(rounds + replays, arrivals);
    EXPECT_EQ(0u, foreign);
    EXPECT_EQ(0u, disorder);
    EXPECT_EQ(rounds, vexa::SessionStatistics::get(side->tunnel->stats.packet_count) - replays);
    EXPECT_TRUE(stops_within(side, std::chrono::seconds(10)) && side->every_buffer_back());
}
