// One tunnel direction on its own: limits from the configuration, the
// callbacks' once-only rules, rekeying, and concurrent use.
#include "Config.h"
#include "UDPConnection.h"
#include "relay_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

using namespace relay_test;

namespace {

using endpoint = boost::asio::ip::udp::endpoint;

std::unique_ptr<vexa::UDPConnection> make_tunnel(const Keys& k, const std::shared_ptr<Events>& ev,
                                                 uint32_t resume = 0)
{
    return std::unique_ptr<vexa::UDPConnection>(new vexa::UDPConnection(
        endpoint(boost::asio::ip::make_address("127.0.0.9"), 50000), k.salt, k.key_chars(), 0, "rtag",
        "conn", "sid", "log-id", k.wire_spi(), true, resume, ev->state_cb(), ev->terminated_cb()));
}

}  // namespace

TEST(UdpConnection, IdleAndResumeTicks)
{
    const std::pair<const char*, int64_t> idle[] = {{"180", 36}, {"7", 1}, {"4", 0}, {"abc", 0}};
    const std::pair<uint32_t, uint32_t> resume[] = {{0, 0}, {1, 1}, {5, 1}, {6, 2}, {600, 120}};
    auto ev = make_events();
    for (const auto& c : idle) {
        vexa::Config::get_instance()->set("UdpMaxNoActivitySeconds", c.first);
        EXPECT_EQ(c.second, make_tunnel(keys_for(1), ev)->get_max_idle_ticks()) << c.first;
    }
    vexa::Config::get_instance()->set("UdpMaxNoActivitySeconds", "180");
    for (const auto& c : resume)
        EXPECT_EQ(c.second, make_tunnel(keys_for(1), ev, c.first)->get_resume_ticks()) << c.first;
}

TEST(UdpConnection, TerminationIsReportedOnceAndUnknownOnlyWhenNotCleared)
{
    LogCapture log;
    auto ev = make_events();
    auto t = make_tunnel(keys_for(2), ev);
    t->notify_termination("ConnectionTimeout");
    t->notify_termination("ConnectionTimeout");
    t.reset();
    EXPECT_EQ(std::vector<std::string>{"ConnectionTimeout"}, ev->reasons());

    auto unknown = make_events();
    make_tunnel(keys_for(3), unknown).reset();
    EXPECT_EQ(std::vector<std::string>{"Unknown"}, unknown->reasons());

    auto cleared = make_events();
    auto c = make_tunnel(keys_for(4), cleared);
    c->clear_callbacks();
    c->set_udp_session_state(ACTIVE);
    EXPECT_EQ(ACTIVE, c->get_udp_session_state());
    c.reset();
    EXPECT_TRUE(cleared->reasons().empty());
    EXPECT_TRUE(cleared->states().empty());

    auto built = log.find("Constructing UDPConnection instance: UDP tunnel to 127.0.0.9:50000 for session sid");
    ASSERT_EQ(3u, built.size());
    EXPECT_EQ("log-id", built[0].session_log_id);
    EXPECT_EQ(3u, log.count_messages("Destroying UDPConnection instance: UDP tunnel to 127.0.0.9:50000 for session sid"));
}

TEST(UdpConnection, StateIsStoredAndReportedWithoutComparison)
{
    auto ev = make_events();
    auto t = make_tunnel(keys_for(5), ev);
    EXPECT_EQ(PENDING_INIT, t->get_udp_session_state());
    t->set_udp_session_state(ACTIVE);
    t->set_udp_session_state(ACTIVE);
    EXPECT_EQ((std::vector<eSESSION_STATE>{ACTIVE, ACTIVE}), ev->states());
}

TEST(UdpConnection, ThrowingCallbacksAreLoggedAndGoNoFurther)
{
    LogCapture log;
    const Keys k = keys_for(11);
    // Empty std::functions made into boost::functions throw bad_function_call.
    auto t = std::unique_ptr<vexa::UDPConnection>(new vexa::UDPConnection(
        endpoint(boost::asio::ip::make_address("127.0.0.9"), 50000), k.salt, k.key_chars(), 0, "rtag",
        "conn", "sid", "log-id", k.wire_spi(), true, 0, std::function<void(eSESSION_STATE)>(),
        std::function<void(const std::string&)>()));
    EXPECT_NO_THROW(t->set_udp_session_state(INTERRUPTED));
    EXPECT_EQ(INTERRUPTED, t->get_udp_session_state());
    t.reset();  // "Unknown" from the destructor: must not end the process
    EXPECT_EQ(1u, log.count("*** UDPConnection: the state callback of session sid failed: "));
    const auto ended = log.find("*** UDPConnection: the termination callback of session sid failed: ");
    ASSERT_EQ(1u, ended.size());
    EXPECT_EQ("log-id", ended[0].session_log_id);
}

TEST(UdpConnection, BadKeyThrowsAndReportsNothing)
{
    auto ev = make_events();
    EXPECT_THROW(make_tunnel(keys_for(6, 20), ev), std::runtime_error);
    EXPECT_TRUE(ev->reasons().empty());
}

TEST(UdpConnection, RekeyReplacesTheEngine)
{
    auto ev = make_events();
    const Keys a = keys_for(7), b = keys_for(8, 32);
    auto t = make_tunnel(a, ev);
    bytes da = datagram(a, 1), db = datagram(b, 1);
    EXPECT_TRUE(t->authenticate(reinterpret_cast<char*>(da.data()), da.size()));
    EXPECT_FALSE(t->authenticate(reinterpret_cast<char*>(db.data()), db.size()));
    t->reset_encryption(b.salt, b.key_chars());
    EXPECT_FALSE(t->authenticate(reinterpret_cast<char*>(da.data()), da.size()));
    EXPECT_TRUE(t->authenticate(reinterpret_cast<char*>(db.data()), db.size()));
    EXPECT_THROW(t->reset_encryption(1, std::vector<char>(5)), std::runtime_error);
    EXPECT_TRUE(t->authenticate(reinterpret_cast<char*>(db.data()), db.size()));
    EXPECT_EQ(0, reinterpret_cast<uintptr_t>(t.get()) % 16);
}

// For the race detector: the send thread checks and reads the target while a
// main-loop thread rekeys and the other direction re-targets.
TEST(UdpConnection, ConcurrentCheckRekeyAndRetarget)
{
    auto ev = make_events();
    const Keys a = keys_for(9), b = keys_for(10);
    auto t = make_tunnel(a, ev);
    std::atomic<bool> done{false};
    std::thread sender([&] {
        bytes da = datagram(a, 1), db = datagram(b, 1);
        while (!done.load()) {
            t->authenticate(reinterpret_cast<char*>(da.data()), da.size());
            t->authenticate(reinterpret_cast<char*>(db.data()), db.size());
            EXPECT_GE(t->get_target_endpoint().port(), 50000);
            vexa::SessionStatistics::add(t->stats.packet_count, 1);
        }
    });
    std::thread other([&] {
        for (int i = 0; i < 2000 && !done.load(); ++i) {
            t->set_target_endpoint(endpoint(boost::asio::ip::make_address("127.0.0.10"), 50000 + i % 7));
            t->set_peer_learnt([](const endpoint&) {});
            t->take_peer_learnt();
        }
    });
    for (int i = 0; i < 300; ++i) {
        const Keys& k = i % 2 ? a : b;
        t->reset_encryption(k.salt, k.key_chars());
        vexa::SessionStatistics copy = t->stats;
        (void)copy;
    }
    done.store(true);
    sender.join();
    other.join();
    t->clear_callbacks();
}
