// The hand-over between a receive thread that forwards datagrams itself
// while its direction is idle and the send thread that takes the rest: the
// ring's protocol under every interleaving a scheduler draws, bursts at
// every gap length both ways over loopback, a send buffer that fills under
// inline sends, and tunnels rekeyed and removed in the middle of a stream.
#include "BasicPacketRing.h"
#include "PoolSide.h"
#include "SteppedSync.h"
#include "UdpPeer.h"

#include <boost/bind/bind.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <map>
#include <set>
#include <thread>
#include <vector>

using namespace relay_test;
using boost::placeholders::_1;

namespace {

using steady = std::chrono::steady_clock;
using endpoint = boost::asio::ip::udp::endpoint;
using SteppedRing = vexa::BasicPacketRing<SteppedSync>;

// A pool's two rings and three buffers, driven as the pool drives them: the
// receive thread forwards a datagram itself when taker_idle says so and
// otherwise hands it over; the send thread forwards what it takes. What
// "forwarding" records is read with the scheduler's baton held, so plain
// fields do.
struct HandOverModel {
    static constexpr int32_t DATAGRAMS = 16;

    SteppedRing filled{4, 0xfffffffcu, std::chrono::nanoseconds(0)};
    SteppedRing free_ring{4, 0, std::chrono::nanoseconds(0), 3};
    vexa::PacketForwarder buffers[3];
    int forwarding = 0;  // 0: nobody, 1: the receive thread, 2: the send thread
    int32_t last = 0;
    bool overlap = false, disorder = false;
    bool receiver_holds = false;
    int by_receiver = 0, by_sender = 0;

    HandOverModel()
    {
        for (auto& b : buffers)
            free_ring.put(&b);
    }
    void forward(vexa::PacketForwarder* b, int who)
    {
        if (forwarding != 0)
            overlap = true;
        forwarding = who;
        ++(who == 1 ? by_receiver : by_sender);
        if (b->length != last + 1)
            disorder = true;
        last = b->length;
        StepScheduler::mark(0);  // the check and the send take a while
        if (forwarding != who)
            overlap = true;
        forwarding = 0;
    }
    void receive_thread()
    {
        vexa::PacketForwarder* own = free_ring.take();
        for (int32_t k = 1; k <= DATAGRAMS; ++k) {
            own->length = k;
            StepScheduler::mark(0);  // the receive
            if (filled.taker_idle()) {
                forward(own, 1);
                continue;
            }
            filled.put(own);
            own = free_ring.take();
        }
        receiver_holds = own != nullptr;
        filled.put(nullptr);
    }
    void send_thread()
    {
        while (vexa::PacketForwarder* b = filled.take()) {
            forward(b, 2);
            free_ring.put(b);
        }
    }
};

}  // namespace

// Every interleaving the scheduler draws, step by step through the rings'
// atomics: the receive thread forwards only while the send thread is done
// and asleep, so the datagrams are forwarded one at a time and in order; no
// wake-up is lost (the run never sticks) and every buffer comes back.
TEST(HandOver, OneThreadForwardsAtATimeInOrderUnderEveryInterleaving)
{
    int by_receiver = 0, by_sender = 0;
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        HandOverModel m;
        StepScheduler scheduler({[&m] { m.receive_thread(); }, [&m] { m.send_thread(); }});
        const StepScheduler::Outcome outcome = scheduler.run_randomly(seed);
        ASSERT_EQ(StepScheduler::Outcome::finished, outcome) << "seed " << seed;
        ASSERT_FALSE(m.overlap) << "both threads forwarded at once; seed " << seed;
        ASSERT_FALSE(m.disorder) << "seed " << seed;
        ASSERT_EQ(HandOverModel::DATAGRAMS, m.last) << "seed " << seed;
        ASSERT_TRUE(m.receiver_holds);
        ASSERT_EQ(2, m.free_ring.available() + m.filled.available()) << "seed " << seed;
        by_receiver += m.by_receiver;
        by_sender += m.by_sender;
    }
    // Both ways of forwarding were taken, many times.
    EXPECT_GT(by_receiver, 100);
    EXPECT_GT(by_sender, 100);
}


// The moment the order of taker_idle's loads is for, played out step by
// step: the send thread has spun on the empty ring up to its announcement,
// the receive thread puts a buffer before it sees the announcement, and the
// send thread then announces, finds the buffer, takes the announcement back
// and takes the buffer. Whichever of taker_idle's steps the send thread's
// take-back comes after, the receive thread must not find it idle while it
// holds that buffer; once it is done and asleep again, it must.
TEST(HandOver, AnAnnouncementTakenBackIsNeverSeenAsIdle)
{
    using Step = StepScheduler::Step;
    const auto announcement = [](const Step& s) {
        return s.kind == Step::store && s.on_flag && s.value == 1;
    };
    const auto sleep = [](const Step& s) { return s.kind == Step::wait; };
    const auto at_mark = [](uint64_t tag) {
        return [tag](const Step& s) { return s.kind == Step::mark && s.value == tag; };
    };
    for (int early_steps = 0; early_steps <= 3; ++early_steps) {
        SCOPED_TRACE(early_steps);
        SteppedRing ring(4, 0, std::chrono::nanoseconds(0));
        vexa::PacketForwarder buffer;
        bool idle_holding = true, idle_after = false;
        StepScheduler s({[&] {
                             StepScheduler::mark(1);
                             ring.put(&buffer);
                             StepScheduler::mark(2);
                             idle_holding = ring.taker_idle();
                             StepScheduler::mark(3);
                             idle_after = ring.taker_idle();
                             StepScheduler::mark(4);
                             ring.put(nullptr);
                         },
                         [&] {
                             ring.take();
                             StepScheduler::mark(10);
                             ring.take();
                         }});
        ASSERT_TRUE(s.advance(1, announcement));
        ASSERT_TRUE(s.advance(0, at_mark(2)));  // put, with no announcement seen
        ASSERT_TRUE(s.advance_one(1));         // the announcement
        ASSERT_TRUE(s.advance_one(0));         // into taker_idle
        int taken = 0;
        ASSERT_TRUE(
            s.advance(0, [&](const Step& st) { return at_mark(3)(st) || taken++ == early_steps; }));
        ASSERT_TRUE(s.advance(1, at_mark(10)));  // taken back, buffer taken
        ASSERT_TRUE(s.advance(0, at_mark(3)));
        EXPECT_FALSE(idle_holding);
        ASSERT_TRUE(s.advance(1, sleep));  // done with it and asleep again
        ASSERT_TRUE(s.advance(0, at_mark(4)));
        EXPECT_TRUE(idle_after);
        EXPECT_EQ(StepScheduler::Outcome::finished, s.run_randomly(1));
    }
}

namespace {

void pause_for(std::chrono::microseconds gap)
{
    if (gap >= std::chrono::microseconds(200)) {
        std::this_thread::sleep_for(gap);
        return;
    }
    const auto until = steady::now() + gap;
    while (steady::now() < until) {
    }
}

// One direction of a session: numbered datagrams from one peer to the
// relay, and what reached the far peer, checked for order and duplicates as
// it arrives.
struct Direction {
    const Keys& keys;
    const kavri_test::UdpPeer& from;
    const kavri_test::UdpPeer& to;
    uint16_t port;
    uint32_t sent = 0;
    std::atomic<uint32_t> arrived{0};
    std::atomic<uint32_t> misplaced{0};
    bool stranded = false;

    void receive(const std::atomic<bool>& done)
    {
        while (!done.load()) {
            const bytes d = to.receive(std::chrono::milliseconds(20));
            if (d.size() < 8)
                continue;
            if (sequence_of(d) == arrived.load() + 1)
                ++arrived;
            else
                ++misplaced;
        }
    }
    bool drained() const
    {
        return within(std::chrono::milliseconds(3000), [this] { return arrived.load() == sent; });
    }
    // Bursts of every size around the inline backlog, after gaps from none
    // to a millisecond: shorter and longer than the send thread's spin, its
    // sleep and a receive. In flight stays under 64, so no socket buffer
    // on loopback overflows.
    void sweep()
    {
        const int gaps_us[] = {0, 1, 2, 3, 4, 6, 10, 20, 35, 60, 100, 300, 1000};
        const uint32_t bursts[] = {1, 2, 7, 8, 9, 24};
        for (int round = 0; round < 4; ++round)
            for (int gap : gaps_us)
                for (uint32_t burst : bursts) {
                    if (sent - arrived.load() + burst > 64 && !drained()) {
                        stranded = true;
                        return;
                    }
                    for (uint32_t k = 0; k < burst; ++k)
                        from.send_to(port, datagram(keys, ++sent, 40));
                    pause_for(std::chrono::microseconds(gap));
                }
        stranded = !drained();
    }
};

}  // namespace

class HandOverLoopback : public RelayFixture {
protected:
    void SetUp() override
    {
        RelayFixture::SetUp();
        relay->start();
        ext = relay->get_external_port();
        internal = relay->get_internal_port();
        up = c2s(up_keys, "sid", endpoint(boost::asio::ip::address_v4::loopback(), server.port()), ev);
        down = s2c(down_keys, "sid", nowhere(), ev);
        ASSERT_TRUE(up && down);
        up->set_peer_learnt(boost::bind(&vexa::UDPConnection::set_target_endpoint, down, _1));
        down->set_peer_learnt(boost::bind(&vexa::UDPConnection::set_target_endpoint, up, _1));
        const bytes hello = datagram(up_keys, 0);  // tells the relay where the client is
        client.send_to(ext, hello);
        ASSERT_EQ(hello, server.receive());
    }
    void TearDown() override
    {
        if (up)
            up->clear_callbacks();
        if (down)
            down->clear_callbacks();
        up.reset();
        down.reset();
        RelayFixture::TearDown();
    }
    // Once stopped: each pool has every buffer back in a ring but the one
    // its receive thread keeps.
    void expect_every_buffer_back()
    {
        relay->stop();
        vexa::PacketForwarderPool& from_clients = relay->get_client_pool();
        vexa::PacketForwarderPool& from_servers = relay->get_server_pool();
        EXPECT_EQ(1022, from_clients.free_buffers() + from_clients.filled_buffers());
        EXPECT_EQ(4094, from_servers.free_buffers() + from_servers.filled_buffers());
    }

    kavri_test::UdpPeer client, server;
    uint16_t ext = 0, internal = 0;
    Keys up_keys = keys_for(0xa1a1a1a1), down_keys = keys_for(0xb2b2b2b2);
    std::shared_ptr<Events> ev = make_events();
    vexa::UDPServer::tunnel_ptr up, down;
};

// Both directions at once, each through every gap length and burst size:
// every datagram arrives once and in its direction's order, each is counted
// once, and every buffer is back at the end.
TEST_F(HandOverLoopback, BurstsAtEveryGapLengthBothWaysArriveOnceInOrder)
{
    Direction upward{up_keys, client, server, ext};
    Direction downward{down_keys, server, client, internal};
    std::atomic<bool> done{false};
    std::thread up_receiver([&] { upward.receive(done); });
    std::thread down_receiver([&] { downward.receive(done); });
    std::thread down_sender([&] { downward.sweep(); });
    upward.sweep();
    down_sender.join();
    done = true;
    up_receiver.join();
    down_receiver.join();
    for (const Direction* d : {&upward, &downward}) {
        EXPECT_FALSE(d->stranded) << d->arrived.load() << " of " << d->sent << " arrived";
        EXPECT_EQ(d->sent, d->arrived.load());
        EXPECT_EQ(0u, d->misplaced.load());
    }
    EXPECT_EQ(upward.sent + 1, vexa::SessionStatistics::get(up->stats.packet_count));
    EXPECT_EQ(downward.sent, vexa::SessionStatistics::get(down->stats.packet_count));
    EXPECT_EQ(1u, vexa::SessionStatistics::get(up->stats.out_of_order));  // the hello's 0
    EXPECT_EQ(0u, vexa::SessionStatistics::get(down->stats.out_of_order));
    expect_every_buffer_back();
}

// A send socket whose buffer fills: a loopback UDP socket never does (the
// kernel frees a datagram's send memory as it crosses the loopback device),
// so a datagram socket pair that keeps each message whole and holds it
// until the far end reads stands in for it. Datagrams come one at a time,
// so the receive thread forwards them itself until a send finds the buffer
// full; that datagram goes to the send thread, which waits for room, and
// the receive thread meanwhile goes on receiving and handing over. Once the
// far end reads, every datagram has gone once, in order, each counted once.
TEST(HandOverPool, AFullSendBufferHandsTheCheckedDatagramToTheSendThread)
{
    vexa::Config* c = vexa::Config::get_instance();
    c->set("UdpMaxNoActivitySeconds", "180");
    c->set("EnableRoamingIP", "1");
    LogCapture log;
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair));
    const int small = 4096;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const Keys keys = keys_for(0xc7c7c7c7);
    PoolSide side(64, keys, endpoint(boost::asio::ip::address_v4::loopback(), 9),
                  [](eSESSION_STATE) {}, true, pair[0]);
    kavri_test::UdpPeer sender;
    const uint32_t total = 48;
    std::vector<bytes> sent;
    bool backed_up = false;
    for (uint32_t k = 1; k <= total; ++k) {
        sent.push_back(datagram(keys, k, 200));
        sender.send_to(side.rx_port, sent.back());
        // Dealt with: forwarded (counted) or waiting in the ring.
        ASSERT_TRUE(within(std::chrono::milliseconds(2000), [&] {
            return vexa::SessionStatistics::get(side.tunnel->stats.packet_count) +
                       static_cast<uint64_t>(side.pool.filled_buffers()) + (backed_up ? 1 : 0) >= k;
        })) << k;
        if (side.pool.filled_buffers() > 0)
            backed_up = true;
    }
    // The receive thread kept going while the send thread waited.
    EXPECT_TRUE(backed_up);
    uint32_t received = 0;
    for (;;) {
        pollfd p{pair[1], POLLIN, 0};
        if (poll(&p, 1, 200) != 1)
            break;
        unsigned char buf[2048];
        const ssize_t n = recv(pair[1], buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        ASSERT_LT(received, total);
        EXPECT_EQ(sent[received], bytes(buf, buf + n)) << received;
        ++received;
    }
    EXPECT_EQ(total, received);
    EXPECT_EQ(total, vexa::SessionStatistics::get(side.tunnel->stats.packet_count));
    EXPECT_EQ(total * 232u, vexa::SessionStatistics::get(side.tunnel->stats.packet_bytes));
    EXPECT_EQ(0u, vexa::SessionStatistics::get(side.tunnel->stats.out_of_order));
    side.stop();
    EXPECT_TRUE(side.every_buffer_back());
    close(pair[1]);
}

// A client streaming at gaps its relay thread forwards itself, rekeyed in
// place (a resumption with a new SPI and key, from a new address) and then
// removed, each while datagrams are on their way: no datagram arrives twice
// or out of order; datagrams under the new key arrive, and the first of
// them, numbered below the old key's last, still counts as newest and moves
// the return path; nothing sent after the removal arrives; and each arrival
// was counted once (those on their way when their SPI went are neither).
TEST_F(HandOverLoopback, RekeyAndRemovalInTheMiddleOfAStream)
{
    const Keys new_keys = keys_for(0xa3a3a3a3);
    kavri_test::UdpPeer moved;
    std::atomic<int> phase{0};  // 0: old key, 1: new key, 2: removed
    std::atomic<uint32_t> old_sent{0}, new_sent{0}, first_after_removal{0};
    std::atomic<bool> done{false};
    std::set<std::pair<uint32_t, uint32_t>> seen;  // (SPI, sequence)
    uint32_t duplicates = 0, disorder = 0, after_removal = 0;
    std::atomic<uint32_t> old_arrived{0}, new_arrived{0};
    std::thread receiver([&] {
        std::map<uint32_t, uint32_t> last;
        while (!done.load()) {
            const bytes d = server.receive(std::chrono::milliseconds(20));
            if (d.size() < 8)
                continue;
            uint32_t spi;
            std::memcpy(&spi, d.data(), 4);
            const uint32_t seq = sequence_of(d);
            if (!seen.insert({spi, seq}).second)
                ++duplicates;
            if (seq <= last[spi])
                ++disorder;
            last[spi] = seq;
            if (spi == up_keys.wire_spi())
                ++old_arrived;
            if (spi == new_keys.wire_spi()) {
                ++new_arrived;
                const uint32_t cut = first_after_removal.load();
                if (cut != 0 && seq >= cut)
                    ++after_removal;
            }
        }
    });
    std::thread sender([&] {
        for (int i = 0; i < 3000 && phase.load() != 2; ++i) {
            // Bounded in flight, so no socket buffer on loopback overflows
            // while a receiver is slow.
            within(std::chrono::milliseconds(3000), [&] {
                return phase.load() == 0 ? old_sent.load() - old_arrived.load() < 48
                                         : new_sent.load() - new_arrived.load() < 48;
            });
            if (phase.load() == 0)
                client.send_to(ext, datagram(up_keys, old_sent += 1, 40));
            else
                moved.send_to(ext, datagram(new_keys, new_sent += 1, 40));
            pause_for(std::chrono::microseconds(i % 7 == 0 ? 0 : 40));
        }
        // After the removal: blocked.
        if (phase.load() == 2) {
            first_after_removal = new_sent.load() + 1;
            for (int i = 0; i < 50; ++i)
                moved.send_to(ext, datagram(new_keys, new_sent += 1, 40));
        }
    });
    ASSERT_TRUE(within(std::chrono::milliseconds(3000), [&] { return old_sent.load() >= 400; }));
    const endpoint to_server(boost::asio::ip::address_v4::loopback(), server.port());
    ASSERT_EQ(up, c2s(new_keys, "sid", to_server, ev));
    phase = 1;
    ASSERT_TRUE(within(std::chrono::milliseconds(3000), [&] { return new_sent.load() >= 400; }));
    // The first datagram under the new key came from a new address: the
    // server's datagrams now go there.
    const bytes reply = datagram(down_keys, 1);
    server.send_to(internal, reply);
    EXPECT_EQ(reply, moved.receive());
    // Everything sent under the new key so far arrives.
    const uint32_t before_removal = new_sent.load();
    EXPECT_TRUE(within(std::chrono::milliseconds(3000),
                       [&] { return new_arrived.load() >= before_removal; }))
        << new_arrived.load() << " of " << before_removal;
    EXPECT_EQ(2u, relay->remove_udp_connection("rtag-sid"));
    phase = 2;
    sender.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    done = true;
    receiver.join();
    EXPECT_EQ(0u, duplicates);
    EXPECT_EQ(0u, disorder);
    EXPECT_EQ(0u, after_removal);
    // Each arrival, and the hello.
    EXPECT_EQ(seen.size() + 1, vexa::SessionStatistics::get(up->stats.packet_count));
    expect_every_buffer_back();
}

// Forged and replayed datagrams woven into a stream at every gap length, the
// replays sent from another address: the forged ones never arrive, the
// replays are forwarded (the endpoints drop them) but move neither peer, and
// the stream arrives whole and in order around them.
TEST_F(HandOverLoopback, ForgedAndReplayedDatagramsInTheStreamMoveNothing)
{
    kavri_test::UdpPeer stranger;
    std::atomic<bool> done{false};
    std::atomic<uint32_t> good{0}, replays_in{0}, forged_in{0}, misplaced{0};
    const uint32_t forged_base = 1u << 30;
    std::thread receiver([&] {
        while (!done.load()) {
            const bytes d = server.receive(std::chrono::milliseconds(20));
            if (d.size() < 8)
                continue;
            const uint32_t seq = sequence_of(d);
            if (seq >= forged_base)
                ++forged_in;
            else if (seq == good.load() + 1)
                ++good;
            else if (seq <= good.load())
                ++replays_in;
            else
                ++misplaced;
        }
    });
    const int gaps_us[] = {0, 2, 5, 20, 60, 300};
    uint32_t sent = 0, replays = 0;
    for (int round = 0; round < 40; ++round)
        for (int gap : gaps_us) {
            if (!within(std::chrono::milliseconds(3000), [&] { return good.load() + 32 > sent; }))
                break;
            client.send_to(ext, datagram(up_keys, ++sent, 40));
            bytes forged = datagram(up_keys, forged_base + sent, 40);
            forged[20] ^= 0x10;
            client.send_to(ext, forged);
            if (sent > 3) {
                stranger.send_to(ext, datagram(up_keys, sent - 3, 40));
                ++replays;
            }
            pause_for(std::chrono::microseconds(gap));
        }
    EXPECT_TRUE(within(std::chrono::milliseconds(3000),
                       [&] { return good.load() == sent && replays_in.load() == replays; }));
    done = true;
    receiver.join();
    EXPECT_EQ(sent, good.load());
    EXPECT_EQ(replays, replays_in.load());
    EXPECT_EQ(0u, forged_in.load());
    EXPECT_EQ(0u, misplaced.load());
    // The return path still leads to the client, not to the stranger.
    const bytes reply = datagram(down_keys, 1);
    server.send_to(internal, reply);
    EXPECT_EQ(reply, client.receive());
    EXPECT_TRUE(stranger.receive(std::chrono::milliseconds(100)).empty());
    EXPECT_EQ(0u, log.count_messages("=========> Client IP address has changed - 127.0.0.1:" +
                                     std::to_string(stranger.port())));
    expect_every_buffer_back();
}
