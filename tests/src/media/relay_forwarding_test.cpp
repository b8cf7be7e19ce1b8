// The send thread's work on one datagram, fed in directly: look-up by SPI in
// both forms, tag check, peer learning, ACTIVE, counters.
#include "CommonUtil.h"
#include "relay_fixture.h"

#include <boost/bind/bind.hpp>

#include <functional>

using namespace relay_test;
using boost::placeholders::_1;

namespace {

const bytes AUDIO_HEADER = {0x81, 0x44, 0x00, 0x00};

uint64_t count(const vexa::UDPServer::tunnel_ptr& t)
{
    return vexa::SessionStatistics::get(t->stats.packet_count);
}

void cross_wire(const vexa::UDPServer::tunnel_ptr& c2s, const vexa::UDPServer::tunnel_ptr& s2c)
{
    c2s->set_peer_learnt(boost::bind(&vexa::UDPConnection::set_target_endpoint, s2c, _1));
    s2c->set_peer_learnt(boost::bind(&vexa::UDPConnection::set_target_endpoint, c2s, _1));
}

}  // namespace

class Forwarding : public RelayFixture {};

TEST_F(Forwarding, LookUpByPlainSpiThenClearHeaderSpi)
{
    auto ev = make_events();
    const Keys plain = keys_for(0xa1b2c3d4);
    const Keys clear = keys_for(0x1234abcd);  // top bit clear: a plain-form look-alike is blocked
    const Keys both = keys_for(0xb0b0b0b0);   // filed in both maps, for different sessions
    auto p = c2s(plain, "p", nowhere(), ev);
    auto c = c2s(clear, "c", nowhere(), ev, 1);
    auto bp = c2s(both, "bp", nowhere(), ev);
    auto bc = c2s(both, "bc", nowhere(), ev, 1);
    ASSERT_TRUE(p && c && bp && bc);

    struct Case {
        const char* what;
        bytes d;
        vexa::UDPServer::tunnel_ptr taken;  // empty: dropped
        const char* drop_text;
    };
    const Case cases[] = {
        {"plain hit", datagram(plain, 1), p, nullptr},
        {"clear-header hit", datagram(clear, 1, 24, AUDIO_HEADER), c, nullptr},
        {"clear tunnel's SPI first, bit 7 clear", datagram(clear, 2),
         vexa::UDPServer::tunnel_ptr(), "Blocked UDP packet with unknown SPI 1234abcd from Kavri Client: 127.0.0.7:40000"},
        {"same SPI in both maps, plain form", datagram(both, 1), bp, nullptr},
        {"same SPI in both maps, clear form", datagram(both, 1, 24, AUDIO_HEADER), bc, nullptr},
        {"unknown clear-header SPI", datagram(keys_for(0x77777777), 1, 24, AUDIO_HEADER),
         vexa::UDPServer::tunnel_ptr(), "Blocked UDP packet with unknown SPI 77777777 from Kavri Client: 127.0.0.7:40000"},
        {"forged tag", [&] { bytes d = datagram(plain, 2); d.back() ^= 1; return d; }(),
         vexa::UDPServer::tunnel_ptr(), "Failed authentication on UDP packet from Kavri Client: 127.0.0.7:40000"},
    };
    for (const auto& cs : cases) {
        const uint64_t before[] = {count(p), count(c), count(bp), count(bc)};
        log.clear();
        from_client(cs.d);
        const uint64_t after[] = {count(p), count(c), count(bp), count(bc)};
        const vexa::UDPServer::tunnel_ptr all[] = {p, c, bp, bc};
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(before[i] + (all[i] == cs.taken ? 1 : 0), after[i]) << cs.what << " tunnel " << i;
        if (cs.drop_text) {
            ASSERT_EQ(1u, log.count_messages(cs.drop_text)) << cs.what;
            EXPECT_EQ(boost::log::trivial::debug, log.find(cs.drop_text)[0].severity);
        }
    }
}

TEST_F(Forwarding, ClearHeaderEqualToAPlainSpiGoesToThatTunnelAndIsLost)
{
    auto ev = make_events();
    const Keys decoy = keys_for(0x81440000);  // the clear header read as an SPI
    const Keys clear = keys_for(0x2468ace0);
    auto d = c2s(decoy, "decoy", nowhere(), ev);
    auto c = c2s(clear, "c", nowhere(), ev, 1);
    from_client(datagram(clear, 1, 24, AUDIO_HEADER));
    EXPECT_EQ(0u, count(c));
    EXPECT_EQ(0u, count(d));
    EXPECT_EQ(1u, log.count_messages("Failed authentication on UDP packet from Kavri Client"));
}

TEST_F(Forwarding, ClearHeaderClassesAndCountedLength)
{
    struct Case {
        unsigned char b0, b1;
        bool audio, imaging;
    };
    const Case cases[] = {
        {0x81, 0x44, true, false}, {0x81, 0x45, true, false}, {0x81, 0x00, false, true},
        {0x81, 0x01, false, false}, {0x80, 0x44, false, false}, {0x83, 0x44, true, false},
        {0xff, 0x00, false, true},
    };
    auto ev = make_events();
    const Keys k = keys_for(0x13572468);
    auto t = c2s(k, "s", nowhere(), ev, 1);
    uint32_t seq = 1;
    for (const auto& cs : cases) {
        const uint64_t audio = vexa::SessionStatistics::get(t->stats.audio_count);
        const uint64_t imaging = vexa::SessionStatistics::get(t->stats.imaging_count);
        const uint64_t bytes_before = vexa::SessionStatistics::get(t->stats.packet_bytes);
        const bytes d = datagram(k, seq++, 40, bytes{cs.b0, cs.b1, 0xee, 0xff});
        from_client(d);
        EXPECT_EQ(audio + cs.audio, vexa::SessionStatistics::get(t->stats.audio_count)) << int(cs.b0) << "/" << int(cs.b1);
        EXPECT_EQ(imaging + cs.imaging, vexa::SessionStatistics::get(t->stats.imaging_count)) << int(cs.b0) << "/" << int(cs.b1);
        // The authenticated part is counted: the clear header is not.
        EXPECT_EQ(bytes_before + d.size() - 4, vexa::SessionStatistics::get(t->stats.packet_bytes));
    }
    EXPECT_EQ(vexa::SessionStatistics::get(t->stats.audio_bytes), 3u * (32 + 40));
    EXPECT_EQ(vexa::SessionStatistics::get(t->stats.imaging_bytes), 2u * (32 + 40));
    EXPECT_EQ(0u, vexa::SessionStatistics::get(t->stats.out_of_order));
}

TEST_F(Forwarding, OutOfOrderCounting)
{
    struct Case {
        std::vector<uint32_t> sequence;
        uint64_t out_of_order;
    };
    const Case cases[] = {
        {{1, 2, 4}, 1},
        {{5}, 1},  // the expected value starts at 1
        {{1, 2, 3}, 0},
        {{0xfffffffeu, 0xffffffffu, 0}, 1},  // the wrap itself is in order
        {{1, 1}, 1},
        {{1, 3, 2}, 2},
    };
    uint32_t spi = 0x90000001;
    for (const auto& cs : cases) {
        auto ev = make_events();
        const Keys k = keys_for(spi++);
        auto t = c2s(k, "seq" + std::to_string(spi), nowhere(), ev);
        for (uint32_t s : cs.sequence)
            from_client(datagram(k, s));
        EXPECT_EQ(cs.out_of_order, vexa::SessionStatistics::get(t->stats.out_of_order))
            << "case starting " << cs.sequence[0];
        EXPECT_EQ(cs.sequence.size(), count(t));
        EXPECT_EQ(cs.sequence.back(), vexa::SessionStatistics::get(t->stats.last_sequence));
    }
}

TEST_F(Forwarding, BadDatagramChangesNothingAndActiveIsReportedOnce)
{
    auto ev = make_events();
    const Keys k = keys_for(0xc0c0c0c0);
    auto t = c2s(k, "s", server_ep(), ev);
    auto back = s2c(keys_for(0xd0d0d0d0), "s", nowhere(), ev);
    cross_wire(t, back);
    bytes bad = datagram(k, 1);
    bad[20] ^= 0x10;
    from_client(bad);
    EXPECT_EQ(0u, count(t));
    EXPECT_EQ(0u, vexa::SessionStatistics::get(t->stats.session_start));
    EXPECT_EQ(PENDING_INIT, t->get_udp_session_state());
    EXPECT_TRUE(ev->states().empty());
    EXPECT_EQ(nowhere(), back->get_target_endpoint());  // nothing learnt
    EXPECT_TRUE(t->has_peer_learnt());

    for (uint32_t s = 1; s <= 3; ++s)
        from_client(datagram(k, s));
    EXPECT_EQ(std::vector<eSESSION_STATE>{ACTIVE}, ev->states());
    EXPECT_EQ(1u, log.count_messages("process_and_forward: ---SS---> Changing the session state to ACTIVE - s"));
    EXPECT_EQ("log-s", log.find("---SS---> Changing the session state to ACTIVE")[0].session_log_id);
    EXPECT_NE(0, vexa::SessionStatistics::get(t->stats.session_start));
}

TEST_F(Forwarding, ShortDatagramFedDirectlyIsIgnored)
{
    auto ev = make_events();
    const Keys k = keys_for(0xabababab);
    auto t = c2s(k, "s", nowhere(), ev);
    const bytes d = datagram(k, 1, 3);  // 35 bytes, a valid tag
    from_client(d);
    EXPECT_EQ(0u, count(t));
    from_client(datagram(k, 1, 4));
    EXPECT_EQ(1u, count(t));
}

class ForwardingNoRoaming : public RelayFixture {
protected:
    ForwardingNoRoaming() { roaming = false; }
};

TEST_F(ForwardingNoRoaming, PeerIsLearntOnceAndLaterSourcesStillCount)
{
    auto ev = make_events();
    const Keys ck = keys_for(0xa0000001), sk = keys_for(0xb0000001);
    auto up = c2s(ck, "s", server_ep(), ev);
    auto down = s2c(sk, "s", nowhere(), ev);
    cross_wire(up, down);
    const endpoint first(boost::asio::ip::make_address("127.0.0.21"), 1111);
    const endpoint second(boost::asio::ip::make_address("127.0.0.22"), 2222);
    from_client(datagram(ck, 1), first);
    EXPECT_EQ(first, down->get_target_endpoint());
    EXPECT_FALSE(up->has_peer_learnt());
    from_client(datagram(ck, 2), second);
    EXPECT_EQ(2u, count(up));
    EXPECT_EQ(first, down->get_target_endpoint());
    EXPECT_EQ(0u, log.count_messages("IP address has changed"));
    // The server side learns the same way, once.
    from_server(datagram(sk, 1), server_ep());
    EXPECT_EQ(server_ep(), up->get_target_endpoint());
}

TEST_F(Forwarding, RoamingPeerFollowsTheSourceUntilTheCallbackIsEmptied)
{
    auto ev = make_events();
    const Keys ck = keys_for(0xa0000002), sk = keys_for(0xb0000002);
    auto up = c2s(ck, "s", server_ep(), ev);
    auto down = s2c(sk, "s", nowhere(), ev);
    cross_wire(up, down);
    const endpoint first(boost::asio::ip::make_address("127.0.0.21"), 1111);
    const endpoint second(boost::asio::ip::make_address("127.0.0.22"), 2222);

    from_client(datagram(ck, 1), first);
    EXPECT_EQ(first, down->get_target_endpoint());
    EXPECT_EQ(first, up->get_client_peer());
    // The stored peer starts as 0.0.0.0:0, so the first datagram is a change.
    auto changed = log.find("=========> Client IP address has changed - 127.0.0.21:1111");
    ASSERT_EQ(1u, changed.size());
    EXPECT_EQ("0.0.0.0:0", changed[0].udp_client_endpoint);
    EXPECT_EQ("log-s", changed[0].session_log_id);
    EXPECT_EQ(boost::log::trivial::info, changed[0].severity);

    from_client(datagram(ck, 2), first);
    EXPECT_EQ(1u, log.count_messages("IP address has changed"));
    from_client(datagram(ck, 3), second);
    EXPECT_EQ(second, down->get_target_endpoint());
    changed = log.find("=========> Client IP address has changed - 127.0.0.22:2222");
    ASSERT_EQ(1u, changed.size());
    EXPECT_EQ("127.0.0.21:1111", changed[0].udp_client_endpoint);
    EXPECT_TRUE(up->has_peer_learnt());

    // Server side: the attribute is the server one.
    from_server(datagram(sk, 1), server_ep());
    changed = log.find("=========> Server IP address has changed - 127.0.0.9:50000");
    ASSERT_EQ(1u, changed.size());
    EXPECT_EQ("0.0.0.0:0", changed[0].udp_server_endpoint);

    up->set_peer_learnt(vexa::UDPConnection::peer_learnt_t());
    from_client(datagram(ck, 4), first);
    EXPECT_EQ(4u, count(up));
    EXPECT_EQ(second, down->get_target_endpoint());
    EXPECT_EQ(second, up->get_client_peer());
}

TEST_F(Forwarding, AReplayedDatagramMovesNeitherPeer)
{
    const endpoint home(boost::asio::ip::make_address("127.0.0.21"), 1111);
    const endpoint thief(boost::asio::ip::make_address("127.0.0.66"), 6666);
    const endpoint roamed(boost::asio::ip::make_address("127.0.0.22"), 2222);
    for (const bool client_side : {true, false}) {
        const std::string sid = client_side ? "c" : "s";
        auto ev = make_events();
        const Keys ck = keys_for(client_side ? 0xa5000001 : 0xa5000003);
        const Keys sk = keys_for(client_side ? 0xa5000002 : 0xa5000004);
        auto up = c2s(ck, sid, server_ep(), ev);
        auto down = s2c(sk, sid, nowhere(), ev);
        cross_wire(up, down);
        // The side under test: its tunnel, keys, stored peer, and where the
        // other direction sends (what the peer callback sets).
        const auto& tunnel = client_side ? up : down;
        const Keys& k = client_side ? ck : sk;
        auto send = [&](const bytes& d, const endpoint& from) {
            client_side ? from_client(d, from) : from_server(d, from);
        };
        auto peer = [&] { return client_side ? up->get_client_peer() : down->get_server_peer(); };
        auto return_path = [&] { return client_side ? down->get_target_endpoint() : up->get_target_endpoint(); };
        const std::string changed = std::string(client_side ? "Client" : "Server") + " IP address has changed - ";

        for (uint32_t seq = 1; seq <= 3; ++seq)
            send(datagram(k, seq), home);
        ASSERT_EQ(home, peer()) << sid;
        ASSERT_EQ(home, return_path()) << sid;
        // Captured datagrams sent again from elsewhere, the newest included:
        // forwarded and counted, but nothing moves.
        for (uint32_t seq : {2u, 3u, 1u})
            send(datagram(k, seq), thief);
        EXPECT_EQ(6u, count(tunnel)) << sid;
        EXPECT_EQ(home, peer()) << sid;
        EXPECT_EQ(home, return_path()) << sid;
        EXPECT_EQ(0u, log.count(changed + vexa::endpoint_text(thief))) << sid;
        // Genuine roaming: a newer one from the new address moves the peer,
        // and an older one from the old address does not move it back.
        send(datagram(k, 4), roamed);
        EXPECT_EQ(roamed, peer()) << sid;
        EXPECT_EQ(roamed, return_path()) << sid;
        EXPECT_EQ(1u, log.count(changed + vexa::endpoint_text(roamed))) << sid;
        send(datagram(k, 3), home);
        EXPECT_EQ(roamed, peer()) << sid;
        EXPECT_EQ(roamed, return_path()) << sid;
    }
}

TEST_F(Forwarding, NewerSequenceNumbersCountAcrossTheWrap)
{
    struct Case {
        uint32_t seen, next;
        bool moves;
    };
    const Case cases[] = {
        {5, 6, true},           {5, 5, false},          {5, 4, false},
        {0xfffffff0u, 0x10, true},   // wrapped forward
        {0x10, 0xfffffff0u, false},  // behind across the wrap
        {0xffffffffu, 0, true},
        {0, 0x7fffffffu, true},      // ahead by less than half the space
        {0, 0x80000000u, false},     // exactly half: not newer
        {0x80000000u, 0, false},
    };
    const endpoint first(boost::asio::ip::make_address("127.0.0.21"), 1111);
    const endpoint second(boost::asio::ip::make_address("127.0.0.22"), 2222);
    uint32_t spi = 0xa6000001;
    for (const auto& cs : cases) {
        auto ev = make_events();
        const Keys k = keys_for(spi++);
        auto t = c2s(k, "w" + std::to_string(spi), nowhere(), ev);
        t->set_peer_learnt([](const endpoint&) {});
        from_client(datagram(k, cs.seen), first);  // the first is always newest
        ASSERT_EQ(first, t->get_client_peer()) << cs.seen;
        from_client(datagram(k, cs.next), second);
        EXPECT_EQ(cs.moves ? second : first, t->get_client_peer()) << cs.seen << " then " << cs.next;
        EXPECT_EQ(2u, count(t));
    }
}

TEST_F(Forwarding, ARekeyRestartsTheSequenceWindow)
{
    auto ev = make_events();
    const Keys old_keys = keys_for(0xa7000001), new_keys = keys_for(0xa7000002);
    auto t = c2s(old_keys, "s", nowhere(), ev, 0, 600);
    t->set_peer_learnt([](const endpoint&) {});
    const endpoint a(boost::asio::ip::make_address("127.0.0.21"), 1111);
    const endpoint b(boost::asio::ip::make_address("127.0.0.22"), 2222);
    const endpoint c(boost::asio::ip::make_address("127.0.0.23"), 3333);
    from_client(datagram(old_keys, 1000), a);
    ASSERT_EQ(t, c2s(new_keys, "s", nowhere(), ev, 0, 600));  // resumed: new SPI and key
    // The new key's sequence starts low again: its first datagram is newest.
    from_client(datagram(new_keys, 1), b);
    EXPECT_EQ(b, t->get_client_peer());
    from_client(datagram(new_keys, 1), c);  // replayed
    EXPECT_EQ(b, t->get_client_peer());
    from_client(datagram(new_keys, 2), c);
    EXPECT_EQ(c, t->get_client_peer());
    EXPECT_EQ(4u, count(t));
}

TEST_F(Forwarding, AThrowingPeerCallbackIsLoggedAndTheDatagramStillGoes)
{
    auto ev = make_events();
    const Keys k = keys_for(0xa0000003);
    auto t = c2s(k, "s", nowhere(), ev);
    t->set_peer_learnt(std::function<void(const endpoint&)>());  // throws bad_function_call
    EXPECT_NO_THROW(from_client(datagram(k, 1)));
    EXPECT_EQ(1u, count(t));
    EXPECT_EQ(std::vector<eSESSION_STATE>{ACTIVE}, ev->states());
    const auto failed = log.find("*** UDPConnection: the peer-learnt callback of session s failed: ");
    ASSERT_EQ(1u, failed.size());
    EXPECT_EQ(boost::log::trivial::error, failed[0].severity);
}

TEST_F(ForwardingNoRoaming, AThrowingPeerCallbackIsLoggedAndTheDatagramStillGoes)
{
    auto ev = make_events();
    const Keys k = keys_for(0xa0000004);
    auto t = c2s(k, "s", nowhere(), ev);
    t->set_peer_learnt(std::function<void(const endpoint&)>());
    EXPECT_NO_THROW(from_client(datagram(k, 1)));
    EXPECT_EQ(1u, count(t));
    EXPECT_FALSE(t->has_peer_learnt());  // tried once, as a working one is
    EXPECT_EQ(1u, log.count("*** UDPConnection: the peer-learnt callback of session s failed: "));
}

TEST_F(Forwarding, TheTableFamilyServesTunnelsToo)
{
    vexa::set_aes_ni_allowed(false);
    auto ev = make_events();
    const Keys k128 = keys_for(0xa8000001), k256 = keys_for(0xa8000002, 32);
    auto a = c2s(k128, "a", nowhere(), ev);
    auto b = c2s(k256, "b", nowhere(), ev, 1);
    vexa::set_aes_ni_allowed(true);
    EXPECT_EQ(1u, log.count_messages("loading up AES128-Plain"));
    EXPECT_EQ(1u, log.count_messages("loading up AES256-Plain"));
    from_client(datagram(k128, 1, 300));
    from_client(datagram(k256, 1, 300, AUDIO_HEADER));
    bytes forged = datagram(k128, 2, 300);
    forged[40] ^= 4;
    from_client(forged);
    EXPECT_EQ(1u, count(a));
    EXPECT_EQ(1u, count(b));
}
