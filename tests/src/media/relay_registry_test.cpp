// Tunnel set-up, resumption and removal.
#include "relay_fixture.h"

#include <boost/bind/bind.hpp>

#include <set>
#include <thread>

using namespace relay_test;
using boost::placeholders::_1;

namespace {

uint64_t count(const vexa::UDPServer::tunnel_ptr& t)
{
    return vexa::SessionStatistics::get(t->stats.packet_count);
}

}  // namespace

class Registry : public RelayFixture {
protected:
    // Idle limit 0 ticks: the first check without traffic parks or ends.
    Registry() { idle_seconds = "0"; }
};

TEST_F(Registry, DuplicateSpiIsRefusedInTheSameMapOnly)
{
    struct Direction {
        bool client_to_server;
        const char* text;
    };
    const Direction directions[] = {
        {true, "Failed to setup a Kavri client to server UDP tunnel due to duplicate SPI [a1b2c3d4]: 127.0.0.9:50000"},
        {false, "Failed to setup a Kavri server to client UDP tunnel due to duplicate SPI [a1b2c3d4]: 127.0.0.9:50000"},
    };
    for (const auto& dir : directions) {
        auto ev = make_events();
        const Keys k = keys_for(0xa1b2c3d4);
        auto setup = [&](const std::string& sid, unsigned clear) {
            return dir.client_to_server ? c2s(k, sid, server_ep(), ev, clear) : s2c(k, sid, server_ep(), ev, clear);
        };
        auto first = setup("one", 0);
        ASSERT_TRUE(first);
        log.clear();
        EXPECT_FALSE(setup("two", 0));
        auto dup = log.find(dir.text);
        ASSERT_EQ(1u, dup.size()) << dir.text;
        EXPECT_EQ("log-two", dup[0].session_log_id);
        EXPECT_FALSE(relay->session_tracked("two"));
        // The other map takes the same SPI.
        EXPECT_TRUE(setup("three", 1));
        EXPECT_TRUE(ev->reasons().empty());
        relay->remove_udp_connection("rtag-one");
        relay->remove_udp_connection("rtag-three");
    }
}

TEST_F(Registry, SetUpTextsAndAWrongKeySize)
{
    auto ev = make_events();
    auto t = c2s(keys_for(0x0a0b0c0d), "s", server_ep(), ev, 1);
    ASSERT_TRUE(t);
    EXPECT_EQ(1u, log.count_messages("Setup a client to server UDP tunnel - spi=a0b0c0d server=127.0.0.9:50000 (clear)"));
    auto u = s2c(keys_for(0xe0b0c0d0), "s", nowhere(), ev);
    ASSERT_TRUE(u);
    EXPECT_EQ(1u, log.count_messages("Setup a server to client UDP tunnel - spi=e0b0c0d0 client=0.0.0.0:4172"));
    EXPECT_EQ(1u, log.count_messages("Constructing UDPConnection instance: UDP tunnel to 0.0.0.0:4172 for session s"));

    Keys bad = keys_for(0x12121212, 24);
    EXPECT_FALSE(c2s(bad, "bad", server_ep(), ev));
    auto err = log.find("*** UDPServer::Failed to create a client to server UDP tunnel: Bad key size: does not match neither of AES128 or AES256 key size!");
    ASSERT_EQ(1u, err.size());
    EXPECT_EQ(boost::log::trivial::error, err[0].severity);
    EXPECT_EQ("log-bad", err[0].session_log_id);
    EXPECT_FALSE(relay->session_tracked("bad"));
    EXPECT_TRUE(ev->reasons().empty());
}

TEST_F(Registry, ResumptionRekeysInPlaceUnderTheNewSpi)
{
    auto ev = make_events();
    const Keys old_keys = keys_for(0xa0a0a0a0);
    const Keys new_keys = keys_for(0xb1b1b1b1, 32);
    auto t = c2s(old_keys, "sid", nowhere(), ev);
    from_client(datagram(old_keys, 1));
    ASSERT_EQ(1u, count(t));
    log.clear();

    auto again = c2s(new_keys, "sid", nowhere(), ev);
    EXPECT_EQ(t, again);
    EXPECT_EQ(1u, log.count_messages("setup_client_to_server_tunnel: Using an existing client-to-server UDP tunnel for the resumed connection - session = sid"));
    EXPECT_EQ(1u, log.count_messages("setup_client_to_server_tunnel: Releasing previous SPI a0a0a0a0 for session sid"));
    EXPECT_EQ(1u, log.count_messages("Setup a client to server UDP tunnel - spi=b1b1b1b1"));

    // Old SPI blocked (its top bit sends it on to the clear-header look-up,
    // which names bytes 4..7); the old key under the new SPI fails; the new
    // one passes.
    from_client(datagram(old_keys, 2));
    EXPECT_EQ(1u, log.count_messages("Blocked UDP packet with unknown SPI 2 from Kavri Client"));
    Keys mixed = old_keys;
    mixed.spi = new_keys.spi;
    from_client(datagram(mixed, 2));
    EXPECT_EQ(1u, log.count_messages("Failed authentication on UDP packet"));
    from_client(datagram(new_keys, 2));
    EXPECT_EQ(2u, count(t));  // counters continue

    // Server-to-client wording has no blanks around "=".
    auto d = s2c(keys_for(0xc0000001), "sid", nowhere(), ev);
    log.clear();
    EXPECT_EQ(d, s2c(keys_for(0xc0000002), "sid", nowhere(), ev));
    EXPECT_EQ(1u, log.count_messages("setup_server_to_client_tunnel: Using an existing server-to-client UDP tunnel for the resumed connection - session=sid"));
}

TEST_F(Registry, AFailedResumptionLeavesTheTunnelAsItWas)
{
    auto ev = make_events();
    const Keys k = keys_for(0xa0a0a0b0);
    auto t = c2s(k, "sid", nowhere(), ev);
    EXPECT_FALSE(c2s(keys_for(0xa0a0a0b1, 24), "sid", nowhere(), ev));
    EXPECT_EQ(1u, log.count_messages("*** UDPServer::Failed to create a client to server UDP tunnel: Bad key size"));
    from_client(datagram(k, 1));
    EXPECT_EQ(1u, count(t));
    EXPECT_EQ(k.wire_spi(), t->get_spi());
    EXPECT_TRUE(ev->reasons().empty());
}

TEST_F(Registry, AnIpv6TargetIsFiledWithAWarningAndNeverSentTo)
{
    auto ev = make_events();
    const Keys k = keys_for(0xa0a0a0c0);
    const endpoint v6(boost::asio::ip::make_address("::1"), 5000);
    auto t = c2s(k, "sid", v6, ev);
    ASSERT_TRUE(t);
    EXPECT_EQ(1u, log.count_messages("setup_client_to_server_tunnel: the target ::1:5000 is no IPv4 address"));
    from_client(datagram(k, 1));
    EXPECT_EQ(1u, count(t));
}

TEST_F(Registry, ResumptionUnderTheSameFiledSpiIsADuplicate)
{
    auto ev = make_events();
    const Keys k = keys_for(0xa0a0a0a1);
    auto t = c2s(k, "sid", nowhere(), ev);
    EXPECT_FALSE(c2s(k, "sid", nowhere(), ev));
    EXPECT_EQ(1u, log.count_messages("due to duplicate SPI [a0a0a0a1]"));
    from_client(datagram(k, 1));
    EXPECT_EQ(1u, count(t));
}

TEST_F(Registry, ResumptionWithAChangedClearHeaderFlagMovesTheTunnel)
{
    auto ev = make_events();
    const Keys plain = keys_for(0xa0a0a0a2), clear = keys_for(0xa0a0a0a3);
    auto t = c2s(plain, "sid", nowhere(), ev, 0);
    ASSERT_EQ(t, c2s(clear, "sid", nowhere(), ev, 1));
    EXPECT_EQ(1u, t->get_clear_header());
    EXPECT_EQ(1u, log.count_messages("Releasing previous SPI a0a0a0a2"));
    from_client(datagram(clear, 1, 24, {0x81, 0x00, 0, 0}));
    EXPECT_EQ(1u, count(t));
    EXPECT_EQ(1u, vexa::SessionStatistics::get(t->stats.imaging_count));
    // Only one SPI entry: the count is 1, not 2.
    EXPECT_EQ("1", relay->get_statistics()["sessions"]);
    // And back to plain under the same SPI number.
    Keys back = clear;
    ASSERT_EQ(t, c2s(back, "sid", nowhere(), ev, 0));
    from_client(datagram(back, 2));
    EXPECT_EQ(2u, count(t));
    EXPECT_EQ("1", relay->get_statistics()["sessions"]);
}

TEST_F(Registry, ResumeDoesNotUnfileAnotherSessionsTunnelUnderTheOldSpi)
{
    auto ev_a = make_events(), ev_b = make_events();
    const Keys x = keys_for(0xe1e1e1e1), y = keys_for(0xe2e2e2e2);
    auto a = c2s(x, "A", nowhere(), ev_a, 0, 600);
    tick();  // idle limit 0: A is parked, its SPI free
    ASSERT_FALSE(a->is_in_service());
    auto b = c2s(x, "B", nowhere(), ev_b);
    ASSERT_TRUE(b);
    log.clear();
    ASSERT_EQ(a, c2s(y, "A", nowhere(), ev_a, 0, 600));
    EXPECT_EQ(0u, log.count_messages("Releasing previous SPI"));
    from_client(datagram(x, 1));
    EXPECT_EQ(1u, count(b));
    from_client(datagram(y, 1));
    EXPECT_EQ(1u, count(a));
}

TEST_F(Registry, HighWaterMarkCountsSpiEntriesAndNeverFalls)
{
    auto ev = make_events();
    for (uint32_t i = 0; i < 3; ++i)
        ASSERT_TRUE(c2s(keys_for(0xf0000000 + i), "s" + std::to_string(i), nowhere(), ev));
    ASSERT_TRUE(s2c(keys_for(0xf1000000), "s0", nowhere(), ev));
    auto stats = relay->get_statistics();
    EXPECT_EQ("3", stats["sessions"]);  // the larger direction, not the sum
    EXPECT_EQ("3", stats["sessions_hwm"]);
    EXPECT_EQ(1u, relay->remove_udp_connection("rtag-s1"));
    EXPECT_EQ(2u, relay->remove_udp_connection("rtag-s0"));
    stats = relay->get_statistics();
    EXPECT_EQ("1", stats["sessions"]);
    EXPECT_EQ("3", stats["sessions_hwm"]);
    EXPECT_EQ(2u, stats.size());
}

TEST_F(Registry, RemovalOfAnUnknownRtag)
{
    EXPECT_EQ(0u, relay->remove_udp_connection("nothing"));
    EXPECT_EQ(1u, log.count_messages("===> UDPServer::remove_udp_connection"));
    EXPECT_EQ(1u, log.count_messages("UDPServer::remove_udp_connection: Removed 0 tunnels)"));
}

namespace {

struct Pair {
    boost::weak_ptr<vexa::UDPConnection> up, down;
};

}  // namespace

TEST_F(Registry, RemovalReportsNothingAndReleasesInServiceAndParkedPairs)
{
    struct Case {
        bool parked;
        unsigned expected;
    };
    for (const Case cs : {Case{false, 2}, Case{true, 0}}) {
        auto ev = make_events();
        const std::string sid = cs.parked ? "parked" : "live";
        Pair pair;
        {
            auto up = c2s(keys_for(cs.parked ? 0xa1000001 : 0xa1000002), sid, server_ep(), ev, 0, 600);
            auto down = s2c(keys_for(cs.parked ? 0xb1000001 : 0xb1000002), sid, nowhere(), ev, 1, 600);
            up->set_peer_learnt(boost::bind(&vexa::UDPConnection::set_target_endpoint, down, _1));
            down->set_peer_learnt(boost::bind(&vexa::UDPConnection::set_target_endpoint, up, _1));
            pair.up = up;
            pair.down = down;
        }
        if (cs.parked)
            tick();
        ev->clear();
        log.clear();
        ASSERT_TRUE(relay->session_tracked(sid));
        EXPECT_EQ(cs.expected, relay->remove_udp_connection("rtag-" + sid));
        EXPECT_FALSE(relay->session_tracked(sid));
        EXPECT_TRUE(pair.up.expired()) << sid;  // the peer_learnt cycle is broken
        EXPECT_TRUE(pair.down.expired()) << sid;
        EXPECT_TRUE(ev->reasons().empty()) << sid;  // not even "Unknown" at destruction
        EXPECT_EQ(1u, log.count_messages("===> removing a UDP server session: " + sid));
        EXPECT_EQ(1u, log.count_messages("===> removing a UDP client session: " + sid));
        if (!cs.parked) {
            EXPECT_EQ(1u, log.count_messages("===> removing a UDP server clear connection"));
            EXPECT_EQ(1u, log.count_messages("===> removing a UDP client connection"));
        }
        EXPECT_EQ(1u, log.count_messages("Removed " + std::to_string(cs.expected) + " tunnels)"));
    }
}

TEST_F(Registry, ConcurrentSetUpsOfOneSessionLeaveOneWinner)
{
    for (int round = 0; round < 20; ++round) {
        auto ev = make_events();
        const std::string sid = "race" + std::to_string(round);
        std::vector<vexa::UDPServer::tunnel_ptr> results(8);
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&, i] {
                // Half share the SPI, all share the session id.
                results[i] = c2s(keys_for(0xd0000000 + round * 16 + (i % 2 ? i : 0)), sid, nowhere(), ev);
            });
        for (auto& t : threads)
            t.join();
        std::set<vexa::UDPConnection*> winners;
        for (auto& r : results)
            if (r)
                winners.insert(r.get());
        results.clear();
        // Resumptions may rekey the winner, but only one tunnel exists.
        EXPECT_EQ(1u, winners.size());
        EXPECT_EQ(1u, relay->remove_udp_connection("rtag-" + sid));
        EXPECT_TRUE(ev->reasons().empty());
    }
}
