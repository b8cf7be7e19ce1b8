// The 5-second inactivity check, one tick per handler call.
#include "relay_fixture.h"

using namespace relay_test;

namespace {

using States = std::vector<eSESSION_STATE>;
using Reasons = std::vector<std::string>;

}  // namespace

class Check : public RelayFixture {
protected:
    Check() { idle_seconds = "10"; }  // 2 ticks
};

TEST_F(Check, SilentTunnelsByResumeTimeout)
{
    struct Case {
        unsigned resume_seconds;
        int parked_at;  // 0: never parked
        int ended_at;
    };
    // Idle limit 2 ticks: out of service at the third silent check; the
    // resume allowance counts on the same idle ticks.
    const Case cases[] = {{0, 0, 3}, {30, 3, 7}, {5, 3, 4}};
    for (const auto& cs : cases) {
        auto ev = make_events();
        const std::string sid = "r" + std::to_string(cs.resume_seconds);
        const Keys k = keys_for(0xc1000000 + cs.resume_seconds);
        boost::weak_ptr<vexa::UDPConnection> weak = c2s(k, sid, nowhere(), ev, 0, cs.resume_seconds);
        States expected_states;
        Reasons expected_reasons;
        for (int t = 1; t <= 8; ++t) {
            tick();
            if (t == 1)
                expected_states.push_back(INTERRUPTED);
            if (t == cs.parked_at)
                expected_states.push_back(PENDING_RESUME);
            if (t == cs.ended_at)
                expected_reasons.push_back("ConnectionTimeout");
            EXPECT_EQ(expected_states, ev->states()) << sid << " tick " << t;
            EXPECT_EQ(expected_reasons, ev->reasons()) << sid << " tick " << t;
            EXPECT_EQ(t < cs.ended_at, relay->session_tracked(sid)) << sid << " tick " << t;
            if (cs.parked_at && t >= cs.parked_at && t < cs.ended_at) {
                // Parked: out of the SPI map, so its datagrams are blocked.
                EXPECT_EQ("0", relay->get_statistics()["sessions"]);
            }
        }
        EXPECT_TRUE(weak.expired()) << sid;  // released, and "Unknown" never came
        EXPECT_EQ(expected_reasons, ev->reasons());
    }
    EXPECT_EQ(1u, log.count("handle_periodic_udp_active: Removing inactive non-resumable UDP client connection: r0 (no-clear-hdr)"));
    EXPECT_EQ(1u, log.count("handle_periodic_udp_active: Removing inactive resumable UDP client connection: r30 (no-clear-hdr)"));
    EXPECT_EQ(1u, log.count("handle_periodic_udp_active: ---SS---> Changing the session state to PENDING_RESUME - r30"));
    EXPECT_EQ(1u, log.count("handle_periodic_udp_inactive: Removing resumable UDP client session: r30"));
    EXPECT_EQ(1u, log.count("handle_periodic_udp_active: Detected loss of UDP traffic from UDP client for session r5"));
    EXPECT_EQ(1u, log.count("handle_periodic_udp_active: ---SS---> Changing the session state to INTERRUPTED - r5"));
    auto rec = log.find("Changing the session state to INTERRUPTED - r5");
    EXPECT_EQ("log-r5", rec[0].session_log_id);
}

TEST_F(Check, ServerSideClearMapAndItsTexts)
{
    auto ev = make_events();
    c2s(keys_for(0xc2000001), "s", nowhere(), ev, 1, 0);  // client, clear map
    s2c(keys_for(0xc2000002), "s", nowhere(), ev, 1, 0);  // server, clear map
    for (int t = 1; t <= 3; ++t)
        tick();
    EXPECT_EQ((Reasons{"ConnectionTimeout", "ConnectionTimeout"}), ev->reasons());
    // The clear-header walk has no tag.
    auto rec = log.find("Removing inactive non-resumable UDP server connection: s");
    ASSERT_EQ(1u, rec.size());
    EXPECT_EQ(std::string::npos, rec[0].message.find("no-clear-hdr"));
    EXPECT_EQ(1u, log.count("Detected loss of UDP traffic from UDP server for session s"));
}

TEST_F(Check, TrafficAfterInterruptedIsReportedByTheSendPath)
{
    auto ev = make_events();
    const Keys k = keys_for(0xc3000001);
    auto t = c2s(k, "s", nowhere(), ev);
    tick();
    ASSERT_EQ(States{INTERRUPTED}, ev->states());
    from_client(datagram(k, 1));
    EXPECT_EQ((States{INTERRUPTED, ACTIVE}), ev->states());
    tick();  // traffic since the last check, state already ACTIVE: silent
    EXPECT_EQ((States{INTERRUPTED, ACTIVE}), ev->states());
    tick();  // no traffic since: INTERRUPTED again
    EXPECT_EQ((States{INTERRUPTED, ACTIVE, INTERRUPTED}), ev->states());
    // Traffic seen by the check itself (state forced away from ACTIVE).
    from_client(datagram(k, 2));
    t->set_udp_session_state(INTERRUPTED);
    ev->clear();
    tick();
    EXPECT_EQ(States{ACTIVE}, ev->states());
    EXPECT_EQ(1u, log.count("handle_periodic_udp_active: Detected UDP traffic from UDP client for session s"));
    EXPECT_EQ(1u, log.count("handle_periodic_udp_active: ---SS---> Changing the session state to ACTIVE - s"));
}

TEST_F(Check, ResumedWhileParkedIsActiveAtTheNextCheckAndLogsItsFirstDatagramAgain)
{
    auto ev = make_events();
    const Keys k = keys_for(0xc4000001), k2 = keys_for(0xc4000002);
    auto t = c2s(k, "s", nowhere(), ev, 0, 600);
    from_client(datagram(k, 1));
    EXPECT_EQ(1u, log.count("Forwarding the first UDP datagram to 0.0.0.0:4172 for session s"));
    from_client(datagram(k, 2));
    EXPECT_EQ(1u, log.count("Forwarding the first UDP datagram"));
    for (int i = 0; i < 4; ++i)
        tick();
    ASSERT_FALSE(t->is_in_service());
    ASSERT_EQ(PENDING_RESUME, t->get_udp_session_state());
    ev->clear();
    ASSERT_EQ(t, c2s(k2, "s", nowhere(), ev, 0, 600));
    EXPECT_TRUE(t->is_in_service());
    tick();
    EXPECT_EQ(States{ACTIVE}, ev->states());  // before any datagram
    from_client(datagram(k2, 3));
    EXPECT_EQ(2u, log.count("Forwarding the first UDP datagram to 0.0.0.0:4172 for session s"));
}

TEST_F(Check, WalksRunServerSideFirstAndParkedTunnelsBeforeTheSpiMaps)
{
    // One list of every callback, in the order they are made.
    auto order = std::make_shared<std::vector<std::string>>();
    auto add = [&](const std::string& name, bool client, unsigned clear, unsigned resume, uint32_t spi) {
        const Keys k = keys_for(spi);
        auto state = [order, name](eSESSION_STATE s) { order->push_back(name + " " + vexa::session_state_name(s)); };
        auto ended = [order, name](const std::string& r) { order->push_back(name + " " + r); };
        auto setup = client ? &vexa::UDPServer::setup_client_to_server_tunnel
                            : &vexa::UDPServer::setup_server_to_client_tunnel;
        ASSERT_TRUE(((*relay).*setup)(nowhere(), k.wire_spi(), k.salt, k.key_chars(), clear, resume,
                                       "rtag-" + name, "conn", name, "log-" + name, state, ended));
    };
    // Client side made first, so creation order does not put the server first.
    add("client-clear", true, 1, 0, 0xc8000001);
    add("client-plain", true, 0, 0, 0xc8000002);
    add("server-clear", false, 1, 0, 0xc8000003);
    add("server-plain", false, 0, 0, 0xc8000004);
    tick();
    EXPECT_EQ((std::vector<std::string>{"server-plain INTERRUPTED", "server-clear INTERRUPTED",
                                        "client-plain INTERRUPTED", "client-clear INTERRUPTED"}),
              *order);
    for (const char* name : {"client-clear", "client-plain", "server-clear", "server-plain"})
        relay->remove_udp_connection(std::string("rtag-") + name);

    add("client-parked", true, 0, 5, 0xc8000005);
    add("server-parked", false, 0, 5, 0xc8000006);
    for (int t = 1; t <= 3; ++t)
        tick();  // parked at the third
    order->clear();
    // Fresh silent tunnels: their first check is the parked ones' last.
    add("client-late", true, 0, 0, 0xc8000007);
    add("server-late", false, 0, 0, 0xc8000008);
    tick();
    EXPECT_EQ((std::vector<std::string>{"server-parked ConnectionTimeout", "server-late INTERRUPTED",
                                        "client-parked ConnectionTimeout", "client-late INTERRUPTED"}),
              *order);
    for (const char* name : {"client-late", "server-late"})
        relay->remove_udp_connection(std::string("rtag-") + name);
}

TEST_F(Check, RecordsOfTheWalksKeepTheirOwnSeverities)
{
    // The gateway's state handler logs on the check's thread, between the
    // walk's records and their writing.
    auto gateway = std::make_shared<vexa::logger_t>();
    auto ev = make_events();
    const Keys k = keys_for(0xc7000001);
    ASSERT_TRUE(relay->setup_client_to_server_tunnel(
        nowhere(), k.wire_spi(), k.salt, k.key_chars(), 0, 30, "rtag-s", "conn", "s", "log-s",
        [gateway](eSESSION_STATE) { BOOST_LOG_SEV(*gateway, boost::log::trivial::error) << "handler"; },
        ev->terminated_cb()));
    for (int t = 1; t <= 3; ++t)
        tick();  // INTERRUPTED at the first, parked at the third
    relay->remove_udp_connection("rtag-s");

    using namespace boost::log::trivial;
    const std::pair<const char*, int> expected[] = {
        {"handle_periodic_udp_active: Detected loss of UDP traffic from UDP client for session s", info},
        {"handle_periodic_udp_active: ---SS---> Changing the session state to INTERRUPTED - s", info},
        {"handle_periodic_udp_active: Removing inactive resumable UDP client connection: s (no-clear-hdr)", trace},
        {"handle_periodic_udp_active: ---SS---> Changing the session state to PENDING_RESUME - s", info},
        {"===> removing a UDP client session: s", debug},
    };
    for (const auto& e : expected) {
        const auto found = log.find(e.first);
        ASSERT_EQ(1u, found.size()) << e.first;
        EXPECT_EQ(e.second, found[0].severity) << e.first;
        EXPECT_EQ("log-s", found[0].session_log_id) << e.first;
    }
    EXPECT_EQ(2u, log.count("handler"));
}

TEST_F(Check, ATimerErrorStopsTheCheck)
{
    auto ev = make_events();
    c2s(keys_for(0xc5000001), "s", nowhere(), ev);
    for (int i = 0; i < 5; ++i)
        relay->handle_periodic(boost::asio::error::operation_aborted);
    EXPECT_TRUE(ev->states().empty());
    EXPECT_TRUE(relay->session_tracked("s"));
}

TEST_F(Check, ThrowingCallbacksAreLoggedAndTheCheckGoesOn)
{
    // An empty std::function handed on as a boost::function throws when called.
    const std::function<void(eSESSION_STATE)> no_state;
    const std::function<void(const std::string&)> no_reason;
    const Keys k = keys_for(0xc7000001);
    relay->setup_client_to_server_tunnel(nowhere(), k.wire_spi(), k.salt, k.key_chars(), 0, 0, "rtag-t",
                                         "conn-t", "t", "log-t", no_state, no_reason);
    auto ev = make_events();
    c2s(keys_for(0xc7000002), "s", nowhere(), ev);
    for (int t = 1; t <= 3; ++t)
        EXPECT_NO_THROW(tick()) << "tick " << t;
    EXPECT_EQ(States{INTERRUPTED}, ev->states());
    EXPECT_EQ(Reasons{"ConnectionTimeout"}, ev->reasons());
    EXPECT_FALSE(relay->session_tracked("t"));
    EXPECT_EQ(1u, log.count("UDPConnection: the session state callback failed: "));
    EXPECT_EQ(1u, log.count("UDPConnection: the termination callback failed: "));
}

class CheckZeroLimit : public RelayFixture {
protected:
    CheckZeroLimit() { idle_seconds = "4"; }  // 0 ticks
};

TEST_F(CheckZeroLimit, FirstSilentCheckEndsTheTunnel)
{
    auto ev = make_events();
    c2s(keys_for(0xc6000001), "s", nowhere(), ev);
    tick();
    EXPECT_TRUE(ev->states().empty());
    EXPECT_EQ(Reasons{"ConnectionTimeout"}, ev->reasons());
    EXPECT_FALSE(relay->session_tracked("s"));
}
