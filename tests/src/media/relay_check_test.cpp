// The 5-second inactivity check, one tick per handler call.
#include "relay_fixture.h"

#include "AESGCM.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

using namespace relay_test;

namespace {

using States = std::vector<eSESSION_STATE>;
using Reasons = std::vector<std::string>;

// An engine that runs a step of the test inside its first tag check: the
// datagram has been looked up and is not yet accepted.
class SteppingEngine : public vexa::AESGCM {
public:
    SteppingEngine(const Keys& k, std::function<void()> first_step)
        : AESGCM(k.salt), inner(create(k.key_chars(), k.salt)), step(std::move(first_step))
    {
    }
    int authenticate(const unsigned char* packet, unsigned int length) override
    {
        if (step) {
            auto once = std::move(step);
            step = nullptr;
            once();
        }
        return inner->authenticate(packet, length);
    }
    int encrypt(const unsigned char* buffer, unsigned int* length) override { return inner->encrypt(buffer, length); }
    int decrypt(const unsigned char* buffer, unsigned int* length) override { return inner->decrypt(buffer, length); }

private:
    boost::shared_ptr<vexa::AESGCM> inner;
    std::function<void()> step;
};

template <class F>
bool eventually(F f)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        if (f())
            return true;
        std::this_thread::yield();
    }
    return f();
}

}  // namespace

class Check : public RelayFixture {
protected:
    Check() { idle_seconds = "10"; }  // 2 ticks
};

TEST_F(Check, ADatagramInFlightWhenItsTunnelIsParkedIsDroppedAndTheTunnelEndsOnTime)
{
    auto ev = make_events();
    const Keys k = keys_for(0xca000001);
    auto t = c2s(k, "s", nowhere(), ev, 0, 20);  // resume allowance 4 ticks
    tick();
    tick();
    // The send thread has found the tunnel in service; the third check parks
    // it while the datagram's tag is being checked.
    t->replace_authenticator(boost::shared_ptr<vexa::AESGCM>(new SteppingEngine(k, [this] { tick(); })));
    from_client(datagram(k, 1));
    EXPECT_EQ((States{INTERRUPTED, PENDING_RESUME}), ev->states());  // no ACTIVE
    EXPECT_EQ(0u, vexa::SessionStatistics::get(t->stats.packet_count));  // neither counted nor sent
    EXPECT_EQ(0u, log.count("Forwarding the first UDP datagram"));
    tick();
    // Another one still on its way to the parked tunnel.
    bytes late = datagram(k, 2);
    EXPECT_FALSE(t->authenticate(reinterpret_cast<char*>(late.data()), late.size()));
    EXPECT_TRUE(ev->reasons().empty());
    tick();  // ends as a silent parked tunnel does: 2 checks after parking
    EXPECT_EQ(Reasons{"ConnectionTimeout"}, ev->reasons());
    EXPECT_EQ((States{INTERRUPTED, PENDING_RESUME}), ev->states());
    EXPECT_FALSE(relay->session_tracked("s"));
}

TEST_F(Check, ParkedTunnelsEndOnTimeWhateverTheDatagramsInFlight)
{
    // A hand-run send thread of the client side races the check: through the
    // relay, and through references held to every tunnel, standing for
    // datagrams looked up just before their tunnel was parked.
    struct Record {
        std::atomic<int> parked_at{0};
        std::atomic<int> ended_at{0};
        std::atomic<int> active_after_parking{0};
    };
    constexpr int TUNNELS = 64, ROUNDS = 4, MAX_TICKS = 20;
    std::atomic<int> now{0};
    for (int round = 0; round < ROUNDS; ++round) {
        std::vector<std::shared_ptr<Record>> records;
        std::vector<vexa::UDPServer::tunnel_ptr> held;
        std::vector<bytes> datagrams;
        for (int i = 0; i < TUNNELS; ++i) {
            auto rec = std::make_shared<Record>();
            const Keys k = keys_for(0xcb000000u + static_cast<uint32_t>(round * TUNNELS + i));
            const std::string sid = "s" + std::to_string(round) + "-" + std::to_string(i);
            auto t = relay->setup_client_to_server_tunnel(
                nowhere(), k.wire_spi(), k.salt, k.key_chars(), 0, 20, "rtag-" + sid, "conn", sid,
                "log-" + sid,
                [rec, &now](eSESSION_STATE s) {
                    if (s == PENDING_RESUME)
                        rec->parked_at.store(now.load());
                    else if (s == ACTIVE && rec->parked_at.load() != 0)
                        rec->active_after_parking.fetch_add(1);
                },
                [rec, &now](const std::string&) { rec->ended_at.store(now.load()); });
            ASSERT_TRUE(t);
            records.push_back(rec);
            held.push_back(t);
            datagrams.push_back(datagram(k, 1));
        }
        // 0: silent; 1: every tunnel; 2: only the parked ones, and only
        // through the held references; 3: stop.
        std::atomic<int> phase{0};
        std::atomic<uint64_t> passes{0};
        std::thread sender([&] {
            vexa::PacketForwarder buffer;
            while (phase.load() != 3) {
                const int p = phase.load();
                for (int i = 0; p != 0 && i < TUNNELS; ++i) {
                    bytes d = datagrams[i];
                    if (p == 1) {
                        std::memcpy(buffer.data, d.data(), d.size());
                        buffer.length = static_cast<int32_t>(d.size());
                        buffer.source = client_ep();
                        buffer.process_and_forward(relay->get_client_pool());
                    }
                    if (p == 1 || records[i]->parked_at.load() != 0)
                        held[i]->authenticate(reinterpret_cast<char*>(d.data()), d.size());
                }
                passes.fetch_add(1);
                if (p == 0)
                    std::this_thread::yield();
            }
        });
        // Waits for a whole pass of the sender after this point.
        auto full_pass = [&] {
            const uint64_t seen = passes.load();
            return eventually([&] { return passes.load() >= seen + 2; });
        };
        const int start = now.load();
        for (int t = 1; t <= 2; ++t) {
            now.store(start + t);
            tick();
        }
        phase.store(1);  // traffic arrives while the third check parks
        now.store(start + 3);
        tick();
        EXPECT_TRUE(full_pass());
        phase.store(2);
        for (int t = 4; t <= MAX_TICKS; ++t) {
            EXPECT_TRUE(full_pass());
            now.store(start + t);
            tick();
            bool all_ended = true;
            for (const auto& r : records)
                all_ended = all_ended && r->ended_at.load() != 0;
            if (all_ended)
                break;
        }
        phase.store(3);
        sender.join();
        for (int i = 0; i < TUNNELS; ++i) {
            const Record& r = *records[i];
            ASSERT_NE(0, r.parked_at.load()) << "round " << round << " tunnel " << i;
            EXPECT_EQ(r.parked_at.load() + 2, r.ended_at.load()) << "round " << round << " tunnel " << i;
            EXPECT_EQ(0, r.active_after_parking.load()) << "round " << round << " tunnel " << i;
        }
        EXPECT_EQ("0", relay->get_statistics()["sessions"]);
        now.store(start + MAX_TICKS);
    }
}

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
    EXPECT_EQ(1u, log.count_messages("handle_periodic_udp_active: Removing inactive non-resumable UDP client connection: r0 (no-clear-hdr)"));
    EXPECT_EQ(1u, log.count_messages("handle_periodic_udp_active: Removing inactive resumable UDP client connection: r30 (no-clear-hdr)"));
    EXPECT_EQ(1u, log.count_messages("handle_periodic_udp_active: ---SS---> Changing the session state to PENDING_RESUME - r30"));
    EXPECT_EQ(1u, log.count_messages("handle_periodic_udp_inactive: Removing resumable UDP client session: r30"));
    EXPECT_EQ(1u, log.count_messages("handle_periodic_udp_active: Detected loss of UDP traffic from UDP client for session r5"));
    EXPECT_EQ(1u, log.count_messages("handle_periodic_udp_active: ---SS---> Changing the session state to INTERRUPTED - r5"));
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
    EXPECT_EQ(1u, log.count_messages("Detected loss of UDP traffic from UDP server for session s"));
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
    EXPECT_EQ(1u, log.count_messages("handle_periodic_udp_active: Detected UDP traffic from UDP client for session s"));
    EXPECT_EQ(1u, log.count_messages("handle_periodic_udp_active: ---SS---> Changing the session state to ACTIVE - s"));
}

TEST_F(Check, ResumedWhileParkedIsActiveAtTheNextCheckAndLogsItsFirstDatagramAgain)
{
    auto ev = make_events();
    const Keys k = keys_for(0xc4000001), k2 = keys_for(0xc4000002);
    auto t = c2s(k, "s", nowhere(), ev, 0, 600);
    from_client(datagram(k, 1));
    EXPECT_EQ(1u, log.count_messages("Forwarding the first UDP datagram to 0.0.0.0:4172 for session s"));
    from_client(datagram(k, 2));
    EXPECT_EQ(1u, log.count_messages("Forwarding the first UDP datagram"));
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
    EXPECT_EQ(2u, log.count_messages("Forwarding the first UDP datagram to 0.0.0.0:4172 for session s"));
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
    EXPECT_EQ(2u, log.count_messages("handler"));
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

TEST_F(Check, AThrowingCallbackStopsNeitherTheCheckNorItsTimer)
{
    // Empty std::functions made into boost::functions: non-empty ones that
    // throw bad_function_call. On the server side, walked first.
    const std::function<void(eSESSION_STATE)> no_state;
    const std::function<void(const std::string&)> no_end;
    const Keys bad = keys_for(0xc9000001);
    ASSERT_TRUE(relay->setup_server_to_client_tunnel(nowhere(), bad.wire_spi(), bad.salt, bad.key_chars(),
                                                     0, 0, "rtag-bad", "conn", "bad", "log-bad",
                                                     no_state, no_end));
    auto ev = make_events();
    c2s(keys_for(0xc9000002), "good", nowhere(), ev);
    for (int t = 1; t <= 3; ++t)
        EXPECT_NO_THROW(tick()) << "tick " << t;
    EXPECT_EQ(States{INTERRUPTED}, ev->states());
    EXPECT_EQ(Reasons{"ConnectionTimeout"}, ev->reasons());  // ended on the third tick
    EXPECT_FALSE(relay->session_tracked("bad"));
    EXPECT_FALSE(relay->session_tracked("good"));
    for (const char* which : {"state", "termination"}) {
        const auto failed = log.find(std::string("*** UDPConnection: the ") + which +
                                     " callback of session bad failed: ");
        ASSERT_EQ(1u, failed.size()) << which;
        EXPECT_EQ(boost::log::trivial::error, failed[0].severity);
        EXPECT_EQ("log-bad", failed[0].session_log_id);
    }
    // Each tick re-armed the timer: re-arming aborts the wait before it, and
    // stopping aborts the last one, so two aborted waits, the stop's cancel
    // and the last aborted wait are ready to run.
    relay->stop();
    EXPECT_EQ(4u, loop.poll());
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
