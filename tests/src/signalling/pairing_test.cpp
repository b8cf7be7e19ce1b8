// Pairing a client leg with its filed server leg on the client's INVITE, the
// media tunnels set up for the pair, and what the sweep, resumption and the
// broker's removal do to established and resumable sessions. A real
// signalling server and relay on 127.0.0.1 with ephemeral ports, scripted
// TLS clients and servers, and datagrams sealed with EVP.
#include "IoThreads.h"
#include "CipherList.h"
#include "Config.h"
#include "HelloBuilder.h"
#include "LogCapture.h"
#include "SSIGServer.h"
#include "SSIGServerConnection.h"
#include "ReceivedHello.h"
#include "ServerReplies.h"
#include "SsigFrame.h"
#include "Startup.h"
#include "TestSessionTag.h"
#include "TlsTestClient.h"
#include "TlsTestServer.h"
#include "UDPServer.h"
#include "UdpPeer.h"
#include "media_crypto.h"
#include "vexa_xml.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kavri_test::HelloBuilder;
using kavri_test::SsigFrame;
using kavri_test::TestIdentity;
using kavri_test::TestSessionTag;
using kavri_test::TlsServerConnection;
using kavri_test::TlsTestClient;
using kavri_test::TlsTestServer;
using kavri_test::UdpPeer;
using vexa::SSIGServer;
using Element = SsigFrame::Element;
using bytes = std::vector<unsigned char>;

constexpr const char* GATEWAY_NAME = "gw.kavri.test";
// What the gateway logs once its side of a client's TLS handshake is done.
constexpr const char* kTlsDone = "SSL handshake completed with Kavri client";

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 15s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return pred();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void set(const std::string& key, const std::string& value)
{
    vexa::Config::get_instance()->set(key, value);
}

const TestIdentity::ptr& server_identity()
{
    static const TestIdentity::ptr id = TestIdentity::self_signed("server.kavri.test");
    return id;
}

const TestIdentity::ptr& other_identity()
{
    static const TestIdentity::ptr id = TestIdentity::self_signed("other.kavri.test");
    return id;
}

// What the broker's callbacks of one session saw.
class BrokerEvents {
public:
    vexa::StateCallback state_cb()
    {
        return [this](eSESSION_STATE s) {
            std::lock_guard<std::mutex> lock(mutex);
            states.push_back(s);
        };
    }
    vexa::ClosedCallback closed_cb()
    {
        return [this](const std::string& reason) {
            std::lock_guard<std::mutex> lock(mutex);
            closed.push_back(reason);
        };
    }
    std::vector<std::string> reasons()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return closed;
    }

private:
    std::mutex mutex;
    std::vector<std::string> closed;
    std::vector<eSESSION_STATE> states;
};


// Key, salt and SPI of one media direction; the SPI's four wire bytes are
// those of `spi` in network order.
struct MediaKeys {
    bytes key;
    uint32_t salt;
    uint32_t spi;

    static MediaKeys make(uint32_t spi, std::size_t key_size = 16)
    {
        MediaKeys k;
        for (std::size_t i = 0; i < key_size; ++i)
            k.key.push_back(static_cast<unsigned char>(spi * 13 + i * 5));
        k.salt = spi ^ 0xa5a5a5a5u;
        k.spi = spi;
        return k;
    }
    // The SPI as the server leg passes it: the wire bytes copied as they stand.
    uint32_t wire_spi() const { return htonl(spi); }
    std::vector<uint8_t> key_bytes() const { return std::vector<uint8_t>(key.begin(), key.end()); }
    // A sealed datagram: SPI, sequence, IV, payload, tag.
    bytes datagram(uint32_t sequence) const
    {
        unsigned char header[16];
        const uint32_t words[4] = {htonl(spi), htonl(sequence), htonl(0x0a0b0c0du), htonl(sequence * 3 + 1)};
        std::memcpy(header, words, 16);
        bytes payload(20);
        for (std::size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<unsigned char>(i ^ sequence);
        return relay_test::evp_seal(key, salt, header, payload);
    }
};

// One session as the test drives it: the broker's tag and callbacks, the
// server leg's connection at the test server, the client.
struct Session {
    TestSessionTag tag = TestSessionTag::plain();
    std::string rtag;
    std::string id;
    BrokerEvents events;
    std::shared_ptr<TlsServerConnection> server;
    std::unique_ptr<TlsTestClient> client;
    std::weak_ptr<vexa::SSIGServerConnection> leg;
};

class Pairing : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        vexa::Config& c = *vexa::Config::get_instance();
        vexa::register_defaults(c);
        vexa::logger_t lg;
        vexa::settle_cipher_list(c, lg);
        c.set("SSLCertType", "2");
        c.set("SSLCertMinKeyLength", "2048");
        c.set("SSLCertPath", "/nonexistent/kavri/certs/");
        c.set("SSLCertKsgSni", GATEWAY_NAME);
        c.set("LogLevel", "0");
        server_identity();
        other_identity();
    }

    void SetUp() override
    {
        set("MaxConnections", "5000");
        // Legs never go idle unless a test says so (the limit counts sweeps).
        set("SsigMaxNoActivitySeconds", "1000000");
        set("UdpMaxNoActivitySeconds", "180");
        set("DisableAES128GCM", "0");
        set("FilterSessionOptions", "");
        // Sweeps come often, so the test's clock releases dormant objects promptly.
        timing.sweep_period = 200ms;
        timing.clock = [this] {
            return boost::posix_time::second_clock::universal_time() +
                   boost::posix_time::seconds(clock_offset.load());
        };
        leg_timings.stop_drain = boost::posix_time::milliseconds(200);
    }

    void TearDown() override
    {
        if (server) {
            server->shutdown();
            server->stop();
        }
        main_io.stop();
        aux_io.stop();
        server.reset();
        if (relay)
            relay->stop();
        relay.reset();
        test_server.stop();
        if (HasFailure())
            for (const auto& line : log.lines())
                std::fprintf(stderr, "log: %s\n", line.c_str());
    }

    void make_server()
    {
        // The relay's own check runs only when a test ticks it.
        relay.reset(new vexa::UDPServer(relay_loop, "127.0.0.1", "0", "127.0.0.1", "0"));
        relay->start();
        server = std::make_shared<SSIGServer>(main_io.io, aux_io.io, "127.0.0.1", "0", relay, timing,
                                              leg_timings);
        server->start();
    }

    // A session added by the broker, its server leg connected to the test
    // server. thumbprint_der: the certificate the broker expects the server
    // to present.
    Session& add_session(const std::vector<unsigned char>& thumbprint_der = server_identity()->der(),
                         bool accept_server_leg = true)
    {
        sessions.push_back(std::make_unique<Session>());
        Session& s = *sessions.back();
        s.tag = TestSessionTag::tovik(thumbprint_der);
        s.id = s.tag.session_id_text();
        s.rtag = server->add_connection("127.0.0.1", std::to_string(test_server.port()), "sg.kavri.test",
                                        "srv.kavri.test", s.tag.text(), "conn-" + s.id, "log-" + s.id,
                                        s.events.state_cb(), s.events.closed_cb());
        EXPECT_FALSE(s.rtag.empty());
        s.leg = server->find_server_connection(s.id);
        if (!accept_server_leg)
            return s;
        s.server = test_server.accept(15s);
        EXPECT_TRUE(s.server) << "the server leg did not connect";
        return s;
    }

    std::unique_ptr<TlsTestClient> connect_client()
    {
        auto c = std::make_unique<TlsTestClient>();
        EXPECT_TRUE(c->connect(server->local_port(), std::string(GATEWAY_NAME)));
        return c;
    }

    // A client sends its HELLO for s; true once the server has it.
    bool hello(Session& s)
    {
        s.client = connect_client();
        if (!s.client->send(HelloBuilder::for_tag(s.rtag, "client-view.kavri.test").frame(s.rtag)))
            return false;
        const auto frame = s.server->read_frame(15s);
        return frame && frame->kind == SsigFrame::Kind::Post &&
               frame->body.find("HELLO") != std::string::npos;
    }

    static std::vector<Element> invite_elements(const Session& s)
    {
        return {{"ctag", s.tag.text()}, {"kcap", std::string("\x01", 1)}};
    }

    // The client's INVITE reaches the server: the pair is established.
    bool pair(Session& s, std::vector<Element> elements = {})
    {
        if (elements.empty())
            elements = invite_elements(s);
        if (!s.client->send(SsigFrame::tlv(SsigFrame::INVITE, elements)))
            return false;
        const auto frame = s.server->read_frame(15s);
        return frame && frame->kind == SsigFrame::Kind::Tlv && frame->tlv_command() == SsigFrame::INVITE;
    }

    // The session's tunnels, as the server leg asks for them on INVITE_OK.
    void setup_tunnel(Session& s, const MediaKeys& client, const MediaKeys& server_side, unsigned short server_port,
                      uint32_t resume = 0, const std::shared_ptr<vexa::SSIGServerConnection>& as_leg = nullptr)
    {
        const auto leg = as_leg ? as_leg : s.leg.lock();
        ASSERT_TRUE(leg);
        server->setup_tunnel(client.wire_spi(), client.salt, client.key_bytes(),
                             boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), server_port),
                             server_side.wire_spi(), server_side.salt, server_side.key_bytes(), 0, resume, s.rtag,
                             "conn-" + s.id, s.id, "log-" + s.id,
                             // Holds the leg, as the leg's own state callback does.
                             [leg, report = s.events.state_cb()](eSESSION_STATE st) { report(st); },
                             s.events.closed_cb(), leg);
    }

    // A datagram from `from` to one of the relay's ports arrives unchanged at `to`.
    static bool relayed(const UdpPeer& from, unsigned short relay_port, const UdpPeer& to, const bytes& d,
                        std::chrono::milliseconds wait = 5s)
    {
        if (!from.send_to(relay_port, d))
            return false;
        return to.receive(wait) == d;
    }

    SSIGServer::Counts counts() { return server->counts(); }
    void advance_clock(int seconds) { clock_offset += seconds; }

    // Lets every dormant object go and waits until the session's server leg
    // is gone.
    bool release_all(const Session& s)
    {
        advance_clock(11);
        return wait_until([&] {
            const auto c = counts();
            return c.dormant_pairs + c.dormant_clients + c.dormant_servers == 0 && s.leg.expired();
        });
    }

    // First in, last out: whatever still holds a leg or a tunnel may report
    // to a session's broker callbacks until the end.
    std::vector<std::unique_ptr<Session>> sessions;
    LogCapture log;
    IoThreads main_io{4};
    IoThreads aux_io{1};
    boost::asio::io_context relay_loop;
    TlsTestServer test_server{server_identity()};
    std::atomic<int> clock_offset{0};
    SSIGServer::Timing timing;
    vexa::SSIGLegTimings leg_timings;
    boost::shared_ptr<vexa::UDPServer> relay;
    std::shared_ptr<SSIGServer> server;
};

// Keeps marking a leg active until destroyed, so a short idle limit only
// counts once the test lets go.
class KeepActive {
public:
    explicit KeepActive(std::function<void()> mark)
        : thread([this, mark] {
              std::unique_lock<std::mutex> lock(mutex);
              while (!done) {
                  mark();
                  cv.wait_for(lock, 50ms);
              }
          })
    {
    }
    ~KeepActive()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        cv.notify_all();
        thread.join();
    }

private:
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::thread thread;
};

// ---- pending client legs: pruning and the sweep ----

TEST_F(Pairing, PruningSparesVerifiedClientsAndTakesLegsWithoutTlsFirst)
{
    set("MaxConnections", "10");  // slack 1
    make_server();
    Session& s = add_session();
    // The oldest pending leg, but its HELLO verified: it counts as its session's.
    ASSERT_TRUE(hello(s));
    std::vector<std::unique_ptr<TlsTestClient>> tls_legs, raw_legs;
    for (int i = 0; i < 4; ++i)
        tls_legs.push_back(connect_client());
    ASSERT_TRUE(wait_until([&] { return counts().pending == 5; }));
    // The client's side of a handshake ends before the gateway's: until the
    // gateway's ends too, a leg ranks as one without TLS.
    ASSERT_TRUE(wait_until([&] { return log.count(kTlsDone) == 5; })) << log.count(kTlsDone);
    const auto raw = [&] {
        raw_legs.push_back(std::make_unique<TlsTestClient>());
        EXPECT_TRUE(raw_legs.back()->connect_tcp(server->local_port()));
    };
    for (int i = 0; i < 7; ++i)
        raw();
    ASSERT_TRUE(wait_until([&] { return counts().pending == 12; })) << counts().pending;
    EXPECT_FALSE(log.contains("terminate_excess_pending_connections"));

    // 1 session and 11 other legs before the next accept: the two oldest
    // legs without TLS go, not the older TLS legs, not the verified client.
    raw();
    ASSERT_TRUE(wait_until([&] { return log.contains("terminating 2 pending connections"); }));
    EXPECT_TRUE(raw_legs[0]->wait_closed(5000ms));
    EXPECT_TRUE(raw_legs[1]->wait_closed(5000ms));
    for (std::size_t i = 2; i < raw_legs.size(); ++i)
        EXPECT_TRUE(raw_legs[i]->open_and_silent(i == 2 ? 200ms : 0ms)) << i;
    for (auto& t : tls_legs)
        EXPECT_TRUE(t->open_and_silent(0ms));
    EXPECT_EQ(2u, log.count("Terminating excess pending connection from "));
    EXPECT_EQ(0u, counts().dormant_clients) << "legs without TLS are released at once";
    ASSERT_TRUE(pair(s));
}

TEST_F(Pairing, APrunedTlsLegWaitsOutItsHoldOnTheDormantList)
{
    set("MaxConnections", "2");  // slack 0
    make_server();
    add_session();
    auto first = connect_client();
    auto second = connect_client();
    ASSERT_TRUE(wait_until([&] { return counts().pending == 2; }));
    ASSERT_TRUE(wait_until([&] { return log.count(kTlsDone) == 2; })) << log.count(kTlsDone);
    auto third = connect_client();
    EXPECT_TRUE(first->wait_closed(5000ms));
    EXPECT_TRUE(wait_until([&] { return counts().dormant_clients == 1; }));
    EXPECT_TRUE(second->open_and_silent(100ms));
    advance_clock(11);
    EXPECT_TRUE(wait_until([&] { return counts().dormant_clients == 0; }));
}

TEST_F(Pairing, AnIdleTlsLegWaitsOutItsHoldOnTheDormantList)
{
    set("SsigMaxNoActivitySeconds", "0");
    make_server();
    auto idle = connect_client();
    EXPECT_TRUE(idle->wait_closed(5000ms));
    EXPECT_TRUE(wait_until([&] { return counts().dormant_clients == 1; }));
    EXPECT_TRUE(log.contains("handle_periodic_ssig: Erasing pending client SSIG connection: session-id="));
    // The hold counts in whole seconds: 8 s on it stays, 11 s on it goes.
    advance_clock(8);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(1u, counts().dormant_clients);
    advance_clock(3);
    EXPECT_TRUE(wait_until([&] { return counts().dormant_clients == 0; }));
}

// ---- one client per session ----

TEST_F(Pairing, ANewerVerifiedHelloClosesTheOlderWaitingClient)
{
    make_server();
    test_server.set_handshake_delay(2000ms);
    Session& s = add_session(server_identity()->der(), false);
    const std::string frame = HelloBuilder::for_tag(s.rtag, "client-view.kavri.test").frame(s.rtag);
    auto older = connect_client();
    ASSERT_TRUE(older->send(frame));
    ASSERT_TRUE(wait_until([&] { return counts().callbacks == 1; }));
    auto newer = connect_client();
    ASSERT_TRUE(newer->send(frame));
    // At once, not when the older one's wait ends.
    EXPECT_TRUE(older->wait_closed(1500ms));
    EXPECT_TRUE(log.contains("A newer verified KAVRI_HELLO takes the turn of session " + s.id));
    s.server = test_server.accept(15s);
    ASSERT_TRUE(s.server);
    const auto hello = s.server->read_frame(15s);
    ASSERT_TRUE(hello && hello->body.find("HELLO") != std::string::npos);
    EXPECT_FALSE(s.server->read_frame(500ms)) << "one HELLO only";
    EXPECT_TRUE(newer->open_and_silent(100ms));
    s.client = std::move(newer);
    ASSERT_TRUE(s.server->send(kavri_test::server_replies::version_for(
        *kavri_test::ReceivedHello::parse(hello->bytes), s.tag.text())));
    const auto version = s.client->read_frame(15s);
    ASSERT_TRUE(version && version->kind == SsigFrame::Kind::Reply);
    ASSERT_TRUE(pair(s));
}

TEST_F(Pairing, ANewerVerifiedHelloClosesTheOlderNegotiatingClient)
{
    make_server();
    Session& s = add_session();
    ASSERT_TRUE(hello(s));  // forwarded: the older client negotiates
    auto older = std::move(s.client);
    ASSERT_TRUE(hello(s));
    EXPECT_TRUE(older->wait_closed(1500ms));
    // The newer one pairs, the older one could not have.
    ASSERT_TRUE(pair(s));
    EXPECT_EQ(1u, counts().established);
}

// ---- refusals ----

TEST_F(Pairing, RefusedInviteClosesTheClientAndKeepsTheServer)
{
    make_server();
    const char* const no_tag = "no tag found in SSIG invite packet from Kavri client";
    const char* const no_udp = "No support for UDP encapsulation found in SSIG invite packet from Kavri client";
    const char* const no_match = "no matching connection found for given SSIG invite tag from Kavri client";

    // Each case: a fresh session; what the client sends; the refusal logged.
    const auto check = [&](const char* name, Session& s, TlsTestClient& client,
                           const std::vector<Element>& invite, const char* logged, size_t tagged_after) {
        SCOPED_TRACE(name);
        const size_t before = log.count(logged);
        ASSERT_TRUE(client.send(SsigFrame::tlv(SsigFrame::INVITE, invite)));
        EXPECT_TRUE(client.wait_closed(10s)) << "the client was not closed";
        EXPECT_TRUE(wait_until([&] { return log.count(logged) == before + 1; }));
        EXPECT_TRUE(s.server->open_and_silent(300ms)) << "the server got something or was closed";
        EXPECT_EQ(tagged_after, counts().tagged);
        EXPECT_EQ(0u, counts().pending);
        const auto leg = s.leg.lock();
        ASSERT_TRUE(leg);
        EXPECT_FALSE(leg->is_stopped());
    };

    Session& a = add_session();
    ASSERT_TRUE(hello(a));
    check("no ctag", a, *a.client, {{"kcap", std::string("\x01", 1)}}, no_tag, 1);
    ASSERT_TRUE(hello(a));
    check("no encapsulation", a, *a.client, {{"ctag", a.tag.text()}, {"kcap", std::string("\x00", 1)}}, no_udp, 1);
    ASSERT_TRUE(hello(a));
    check("a ctag of no session", a, *a.client, {{"ctag", "not-a-session-tag"}, {"kcap", std::string("\x01", 1)}},
          no_match, 1);

    // No HELLO at all: the INVITE names the session but nothing was validated.
    auto bare = connect_client();
    check("no validated HELLO", a, *bare, invite_elements(a), no_match, 1);

    // A HELLO for one session, then an INVITE naming another filed session.
    Session& b = add_session();
    ASSERT_TRUE(hello(a));
    check("another session's ctag", b, *a.client, invite_elements(b), no_match, 2);
    EXPECT_TRUE(a.server->open_and_silent(100ms));

    // The server presents a certificate the broker did not name: the HELLO
    // became a REJECT, so its client may not pair.
    Session& r = add_session(other_identity()->der());
    r.client = connect_client();
    ASSERT_TRUE(r.client->send(HelloBuilder::for_tag(r.rtag, "client-view.kavri.test").frame(r.rtag)));
    const auto reject = r.server->read_frame(15s);
    ASSERT_TRUE(reject);
    ASSERT_NE(std::string::npos, reject->body.find("REJECT")) << reject->bytes;
    check("after a REJECT", r, *r.client, invite_elements(r), no_match, 3);

    // A second INVITE after pairing finds no filed leg: its client is closed,
    // the pair's server leg is kept.
    ASSERT_TRUE(hello(b));
    ASSERT_TRUE(pair(b));
    EXPECT_EQ(1u, counts().established);
    check("a second INVITE", b, *b.client, invite_elements(b), no_match, 2);
    EXPECT_EQ(1u, counts().established);
}

// ---- pairing ----

TEST_F(Pairing, InviteIsFilteredAndBothLegsRelayEachOther)
{
    set("DisableAES128GCM", "1");
    set("FilterSessionOptions", "abcd xyz");
    make_server();
    Session& s = add_session();
    ASSERT_TRUE(hello(s));
    const std::string offer1("\0\0\0\x01", 4), offer2("\0\0\0\x02", 4), offer3("\0\0\0\x03", 4);
    const std::vector<Element> sent = {
        {"ctag", s.tag.text()}, {"kprf", "p"},        {"ksec", offer1},      {"1key", std::string(16, 'a')},
        {"1spi", "1SPI"},       {"1slt", "1SLT"},     {"ksec", offer3},      {"s12k", std::string(16, 'c')},
        {"s12s", "3SPI"},       {"s12t", "3SLT"},     {"ksec", offer2},      {"2key", std::string(32, 'b')},
        {"2spi", "2SPI"},       {"2slt", "2SLT"},     {"abcd", "filtered"}, {"zzzz", "kept"},
        {"kcap", std::string("\x00\x01", 2)}};
    ASSERT_TRUE(s.client->send(SsigFrame::tlv(SsigFrame::INVITE, sent)));
    const auto frame = s.server->read_frame(15s);
    ASSERT_TRUE(frame);
    ASSERT_EQ(SsigFrame::Kind::Tlv, frame->kind);
    EXPECT_EQ(uint32_t(SsigFrame::INVITE), frame->tlv_command());
    const std::vector<Element> expected = {
        {"ctag", s.tag.text()}, {"ksec", offer2}, {"2key", std::string(32, 'b')}, {"2spi", "2SPI"},
        {"2slt", "2SLT"},       {"zzzz", "kept"}, {"kcap", std::string("\x01", 1)}};
    EXPECT_EQ(expected, frame->tlv_elements());
    EXPECT_TRUE(log.contains("Erased session option: abcd = 0x61626364 [1]"));

    const auto c = counts();
    EXPECT_EQ(1u, c.established);
    EXPECT_EQ(0u, c.tagged);
    EXPECT_EQ(0u, c.pending);
    EXPECT_TRUE(log.contains("Found matching tag: " + s.id));
    EXPECT_TRUE(log.contains("Connection established (S: 127.0.0.1:" + std::to_string(test_server.port()) +
                             " <-> C: 127.0.0.1:"));
    EXPECT_TRUE(log.contains("; session ID: " + s.id + ")"));

    // The legs relay each other's frames, each way, more than once.
    for (uint32_t round = 0; round < 3; ++round) {
        const std::vector<Element> down = {{"zzzz", "to client " + std::to_string(round)}};
        ASSERT_TRUE(s.server->send(SsigFrame::tlv(SsigFrame::ACK, down)));
        const auto at_client = s.client->read_frame(10s);
        ASSERT_TRUE(at_client) << "round " << round;
        EXPECT_EQ(uint32_t(SsigFrame::ACK), at_client->tlv_command());
        EXPECT_EQ(down, at_client->tlv_elements());

        const std::vector<Element> up = {{"zzzz", "to server " + std::to_string(round)}};
        ASSERT_TRUE(s.client->send(SsigFrame::tlv(SsigFrame::PING, up)));
        const auto at_server = s.server->read_frame(10s);
        ASSERT_TRUE(at_server) << "round " << round;
        EXPECT_EQ(uint32_t(SsigFrame::PING), at_server->tlv_command());
        EXPECT_EQ(up, at_server->tlv_elements());
    }
}

// ---- tunnels ----

TEST_F(Pairing, TunnelSetUpReachesTheRelayAndLearnsTheClient)
{
    make_server();
    Session& s = add_session();
    ASSERT_TRUE(hello(s));
    ASSERT_TRUE(pair(s));
    UdpPeer media_client, media_server;
    const MediaKeys c2s = MediaKeys::make(0x11223344u), s2c = MediaKeys::make(0x55667788u, 32);

    // Not the session's established leg: nothing is set up.
    Session& other = add_session();
    setup_tunnel(other, MediaKeys::make(0x01010101u), MediaKeys::make(0x02020202u), media_server.port());
    setup_tunnel(s, MediaKeys::make(0x03030303u), MediaKeys::make(0x04040404u), media_server.port(), 0,
                 other.leg.lock());
    EXPECT_FALSE(relay->session_tracked(other.id));
    EXPECT_FALSE(relay->session_tracked(s.id));

    setup_tunnel(s, c2s, s2c, media_server.port());
    ASSERT_TRUE(relay->session_tracked(s.id));
    // Towards the client: a placeholder until the client's first datagram.
    EXPECT_TRUE(media_server.send_to(relay->get_internal_port(), s2c.datagram(1)));
    EXPECT_TRUE(media_client.receive(300ms).empty());
    // Client to server under the client's SPI, salt and key, to the server's port.
    EXPECT_TRUE(relayed(media_client, relay->get_external_port(), media_server, c2s.datagram(1)));
    // Learnt: the server's datagrams now reach the client's source.
    EXPECT_TRUE(relayed(media_server, relay->get_internal_port(), media_client, s2c.datagram(2)));
    // A datagram under the other direction's key is no client's.
    EXPECT_TRUE(media_client.send_to(relay->get_external_port(), s2c.datagram(3)));
    EXPECT_TRUE(media_server.receive(300ms).empty());
}

TEST_F(Pairing, TunnelCallbacksHandedToTheRelayAreNeverEmpty)
{
    set("UdpMaxNoActivitySeconds", "5");
    make_server();
    Session& s = add_session();
    ASSERT_TRUE(hello(s));
    ASSERT_TRUE(pair(s));
    UdpPeer media_client, media_server;
    const MediaKeys c2s = MediaKeys::make(0x13572468u), s2c = MediaKeys::make(0x24681357u);
    server->setup_tunnel(c2s.wire_spi(), c2s.salt, c2s.key_bytes(),
                         boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                        media_server.port()),
                         s2c.wire_spi(), s2c.salt, s2c.key_bytes(), 0, 0, s.rtag, "conn", s.id, "log",
                         vexa::StateCallback(), vexa::ClosedCallback(), s.leg.lock());
    ASSERT_TRUE(relay->session_tracked(s.id));
    // A state report (ACTIVE on the first datagram), then the tunnels' end.
    ASSERT_TRUE(relayed(media_client, relay->get_external_port(), media_server, c2s.datagram(1)));
    for (int tick = 0; tick < 20 && relay->session_tracked(s.id); ++tick)
        relay->handle_periodic(boost::system::error_code());
    EXPECT_FALSE(relay->session_tracked(s.id));
    EXPECT_TRUE(log.contains("Changing the session state to ACTIVE - " + s.id));
    EXPECT_FALSE(log.contains("*** UDPConnection: the ")) << "a callback the relay called was empty";
}

TEST_F(Pairing, ServersInviteOkSetsUpTunnelsThatCarryMediaBothWays)
{
    make_server();
    Session& s = add_session();
    ASSERT_TRUE(hello(s));
    UdpPeer media_client, media_server;
    const MediaKeys client_keys = MediaKeys::make(0x0a1b2c3du), server_keys = MediaKeys::make(0x4e5f6071u, 32);
    const auto be32 = [](uint32_t v) {
        const uint32_t n = htonl(v);
        return std::string(reinterpret_cast<const char*>(&n), 4);
    };
    const auto key_text = [](const MediaKeys& k) { return std::string(k.key.begin(), k.key.end()); };
    std::vector<Element> invite = invite_elements(s);
    invite.insert(invite.end(), {{"ksec", std::string("\0\0\0\x01", 4)},
                                 {"1key", key_text(client_keys)},
                                 {"1spi", be32(client_keys.spi)},
                                 {"1slt", be32(client_keys.salt)}});
    ASSERT_TRUE(pair(s, invite));

    // The server's media parameters, as the server leg reads them.
    const uint16_t port = media_server.port();
    const std::vector<Element> invite_ok = {{"1key", key_text(server_keys)},
                                            {"1spi", be32(server_keys.spi)},
                                            {"1slt", be32(server_keys.salt)},
                                            {"cprt", std::string{char(port >> 8), char(port & 0xff)}},
                                            {"cipa", "127.0.0.1"}};
    ASSERT_TRUE(s.server->send(SsigFrame::tlv(SsigFrame::INVITE_OK, invite_ok)));
    const auto at_client = s.client->read_frame(10s);
    ASSERT_TRUE(at_client);
    EXPECT_EQ(uint32_t(SsigFrame::INVITE_OK), at_client->tlv_command());
    ASSERT_TRUE(wait_until([&] { return relay->session_tracked(s.id); }));

    EXPECT_TRUE(relayed(media_client, relay->get_external_port(), media_server, client_keys.datagram(1)));
    EXPECT_TRUE(relayed(media_server, relay->get_internal_port(), media_client, server_keys.datagram(1)));
}

TEST_F(Pairing, ResumedTunnelsAreRekeyedInPlaceAndASameSpiSetUpIsRefused)
{
    make_server();
    Session& s = add_session();
    ASSERT_TRUE(hello(s));
    ASSERT_TRUE(pair(s));
    UdpPeer media_client, media_server;
    const MediaKeys c1 = MediaKeys::make(0x21212121u), s1 = MediaKeys::make(0x31313131u);
    setup_tunnel(s, c1, s1, media_server.port(), 60);
    ASSERT_TRUE(relayed(media_client, relay->get_external_port(), media_server, c1.datagram(1)));
    ASSERT_TRUE(relayed(media_server, relay->get_internal_port(), media_client, s1.datagram(1)));

    // The same SPIs while the tunnels are in service: refused, nothing changes.
    const MediaKeys c1_other_key = MediaKeys::make(0x21212121u, 32);
    setup_tunnel(s, c1_other_key, s1, media_server.port(), 60);
    EXPECT_TRUE(relayed(media_client, relay->get_external_port(), media_server, c1.datagram(2)));
    EXPECT_TRUE(media_client.send_to(relay->get_external_port(), c1_other_key.datagram(3)));
    EXPECT_TRUE(media_server.receive(300ms).empty());

    // New SPIs: the same tunnels, rekeyed; the old SPIs are blocked.
    const MediaKeys c2 = MediaKeys::make(0x22222222u), s2 = MediaKeys::make(0x32323232u);
    setup_tunnel(s, c2, s2, media_server.port(), 60);
    EXPECT_TRUE(relayed(media_client, relay->get_external_port(), media_server, c2.datagram(1)));
    EXPECT_TRUE(relayed(media_server, relay->get_internal_port(), media_client, s2.datagram(1)));
    EXPECT_TRUE(media_client.send_to(relay->get_external_port(), c1.datagram(4)));
    EXPECT_TRUE(media_server.send_to(relay->get_internal_port(), s1.datagram(4)));
    EXPECT_TRUE(media_server.receive(300ms).empty());
    EXPECT_TRUE(media_client.receive(100ms).empty());
    EXPECT_EQ("1", relay->get_statistics()[vexa::UDPServer::stats_sessions_tag]);
}

// ---- established and resumable sessions ----

// Idle limit 10 s = 2 sweeps; with a 1-second sweep a silent leg goes at the
// third silent sweep.
class IdlePairing : public Pairing {
protected:
    void SetUp() override
    {
        Pairing::SetUp();
        set("SsigMaxNoActivitySeconds", "10");
        timing.sweep_period = 1s;
    }

    // Paired with tunnels, the server leg kept active until then.
    void establish(Session& s, const MediaKeys& c2s, const MediaKeys& s2c, unsigned short media_port,
                   uint32_t resume)
    {
        KeepActive keep([&s] {
            if (auto leg = s.leg.lock())
                leg->mark_activity();
        });
        ASSERT_TRUE(hello(s));
        ASSERT_TRUE(pair(s));
        if (resume != 0)
            s.leg.lock()->set_resume_timeout(resume);
        setup_tunnel(s, c2s, s2c, media_port, resume);
        ASSERT_TRUE(relay->session_tracked(s.id));
    }
};

TEST_F(IdlePairing, IdlePairLosesBothTlsLegsAndKeepsItsTunnels)
{
    make_server();
    UdpPeer media_client, media_server;
    struct Case {
        const char* name;
        uint32_t resume;
    };
    for (const Case& c : {Case{"not resumable", 0}, Case{"resumable", 60}}) {
        SCOPED_TRACE(c.name);
        Session& s = add_session();
        const MediaKeys c2s = MediaKeys::make(0x41000000u + c.resume), s2c = MediaKeys::make(0x42000000u + c.resume);
        ASSERT_NO_FATAL_FAILURE(establish(s, c2s, s2c, media_server.port(), c.resume));
        ASSERT_TRUE(relayed(media_client, relay->get_external_port(), media_server, c2s.datagram(1)));

        // Nothing more on the TLS legs: the sweep takes the pair apart.
        EXPECT_TRUE(s.server->wait_closed(15s)) << "the server leg's TLS stayed open";
        EXPECT_TRUE(s.client->wait_closed(15s)) << "the client leg's TLS stayed open";
        EXPECT_TRUE(wait_until([&] { return counts().established == 0; }));
        EXPECT_EQ(c.resume != 0 ? 1u : 0u, counts().resumable);
        EXPECT_EQ(c.resume != 0,
                  log.contains("handle_periodic_ssig: Moving inactive SSIG server connection to resumable map - " + s.id));

        // Media goes on both ways, and nobody was told anything.
        EXPECT_TRUE(relayed(media_client, relay->get_external_port(), media_server, c2s.datagram(2)));
        EXPECT_TRUE(relayed(media_server, relay->get_internal_port(), media_client, s2c.datagram(1)));
        EXPECT_TRUE(s.events.reasons().empty());
        EXPECT_TRUE(relay->session_tracked(s.id));
    }
}

TEST_F(IdlePairing, ResumableSessionResumesAndIsRekeyedThenEndsWithResumeTimeout)
{
    set("UdpMaxNoActivitySeconds", "5");
    make_server();
    UdpPeer media_client, media_server;
    Session& s = add_session();
    const MediaKeys c1 = MediaKeys::make(0x51515151u), s1 = MediaKeys::make(0x61616161u);
    ASSERT_NO_FATAL_FAILURE(establish(s, c1, s1, media_server.port(), 5));
    ASSERT_TRUE(s.server->wait_closed(15s));
    ASSERT_TRUE(wait_until([&] { return counts().resumable == 1; }));

    {
        // The client returns: its HELLO restarts the server leg, which
        // connects anew and gets the HELLO; the new INVITE pairs again.
        KeepActive keep([&s] {
            if (auto leg = s.leg.lock())
                leg->mark_activity();
        });
        s.client = connect_client();
        ASSERT_TRUE(s.client->send(HelloBuilder::for_tag(s.rtag, "client-view.kavri.test").frame(s.rtag)));
        s.server = test_server.accept(15s);
        ASSERT_TRUE(s.server) << "the server leg did not reconnect";
        const auto hello_frame = s.server->read_frame(15s);
        ASSERT_TRUE(hello_frame);
        EXPECT_NE(std::string::npos, hello_frame->body.find("HELLO"));
        EXPECT_TRUE(log.contains("restart_server_connection: -- Restarting a resumable server connection - " + s.id));
        ASSERT_TRUE(pair(s));
        EXPECT_EQ(1u, counts().established);
        EXPECT_EQ(0u, counts().resumable);

        // New SPIs: the tunnels are rekeyed in place, the old SPIs blocked.
        const MediaKeys c2 = MediaKeys::make(0x52525252u), s2 = MediaKeys::make(0x62626262u);
        setup_tunnel(s, c2, s2, media_server.port(), 5);
        EXPECT_TRUE(relayed(media_client, relay->get_external_port(), media_server, c2.datagram(1)));
        EXPECT_TRUE(relayed(media_server, relay->get_internal_port(), media_client, s2.datagram(1)));
        EXPECT_TRUE(media_client.send_to(relay->get_external_port(), c1.datagram(9)));
        EXPECT_TRUE(media_server.receive(300ms).empty());
    }

    // Nobody comes back: the pair idles into the resumable table again, the
    // tunnels end after their resume period, then the session with them.
    ASSERT_TRUE(s.server->wait_closed(15s));
    ASSERT_TRUE(wait_until([&] { return counts().resumable == 1; }));
    for (int tick = 0; tick < 20 && relay->session_tracked(s.id); ++tick)
        relay->handle_periodic(boost::system::error_code());
    ASSERT_FALSE(relay->session_tracked(s.id));
    EXPECT_TRUE(wait_until([&] { return counts().resumable == 0; }));
    EXPECT_TRUE(log.contains("handle_periodic_ssig: Removing SSIG connection from the resumable map because the "
                             "corresponding UDP tunnel was ended - " + s.id));
    EXPECT_TRUE(wait_until([&] { return s.events.reasons().size() == 3; }));
    EXPECT_EQ((std::vector<std::string>{"ConnectionTimeout", "ConnectionTimeout", "ResumeTimeout"}),
              s.events.reasons());
    ASSERT_TRUE(release_all(s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(3u, s.events.reasons().size());
}

TEST_F(Pairing, ClientReturningWhileEstablishedTakesOverTheSessionEveryTime)
{
    make_server();
    UdpPeer media_client, media_server;
    Session& s = add_session();
    ASSERT_TRUE(hello(s));
    ASSERT_TRUE(pair(s));
    s.leg.lock()->set_resume_timeout(60);
    setup_tunnel(s, MediaKeys::make(0x70000000u), MediaKeys::make(0x78000000u), media_server.port(), 60);

    for (uint32_t round = 1; round <= 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // The previous client's read ends while the new client waits for the
        // restarted server leg: its wait must survive that.
        auto returning = connect_client();
        ASSERT_TRUE(returning->send(HelloBuilder::for_tag(s.rtag, "client-view.kavri.test").frame(s.rtag)));
        auto reconnected = test_server.accept(15s);
        ASSERT_TRUE(reconnected) << "the server leg did not reconnect";
        const auto hello_frame = reconnected->read_frame(15s);
        ASSERT_TRUE(hello_frame) << "the returning client's HELLO was lost";
        EXPECT_NE(std::string::npos, hello_frame->body.find("HELLO"));
        EXPECT_TRUE(s.client->wait_closed(10s)) << "the previous client stayed open";
        EXPECT_TRUE(s.server->wait_closed(10s)) << "the previous server connection stayed open";
        s.client = std::move(returning);
        s.server = std::move(reconnected);
        ASSERT_TRUE(pair(s));
        const MediaKeys c2s = MediaKeys::make(0x70000000u + round), s2c = MediaKeys::make(0x78000000u + round);
        setup_tunnel(s, c2s, s2c, media_server.port(), 60);
        ASSERT_TRUE(relayed(media_client, relay->get_external_port(), media_server, c2s.datagram(round)));
    }
    EXPECT_EQ(1u, counts().established);
    EXPECT_EQ(0u, counts().callbacks);
    EXPECT_TRUE(s.events.reasons().empty());
}

TEST_F(Pairing, RemovalByTheBrokerSilencesTheSessionInEachState)
{
    make_server();
    UdpPeer media_client, media_server;
    enum class State { tagged, established, resumable, after_failure, held_by_tunnels };
    struct Case {
        const char* name;
        State state;
    };
    const std::vector<Case> cases = {{"tagged", State::tagged},
                                     {"established with tunnels", State::established},
                                     {"resumable", State::resumable},
                                     {"removed after a leg failure", State::after_failure},
                                     {"released, held by its tunnels", State::held_by_tunnels}};
    uint32_t spi = 0x7a000000u;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session& s = add_session();
        const MediaKeys c2s = MediaKeys::make(++spi), s2c = MediaKeys::make(++spi);
        if (c.state != State::tagged) {
            ASSERT_TRUE(hello(s));
            ASSERT_TRUE(pair(s));
            const uint32_t resume = c.state == State::resumable ? 60 : 0;
            s.leg.lock()->set_resume_timeout(resume);
            setup_tunnel(s, c2s, s2c, media_server.port(), resume);
            ASSERT_TRUE(relayed(media_client, relay->get_external_port(), media_server, c2s.datagram(1)));
        }
        if (const auto leg = s.leg.lock()) {
            if (c.state == State::resumable) {
                // The leg fails while resumable: filed as resumable.
                server->cleanup_connections_for_next_resume(s.id, leg);
                ASSERT_EQ(1u, counts().resumable);
            } else if (c.state == State::after_failure || c.state == State::held_by_tunnels) {
                // It fails for good: the pair waits on its dormant list, the
                // broker's callbacks still set.
                server->remove_connection(leg->get_rtag(), leg);
                ASSERT_EQ(1u, counts().dormant_pairs);
            }
        }
        if (c.state == State::held_by_tunnels) {
            advance_clock(11);
            ASSERT_TRUE(wait_until([&] { return counts().dormant_pairs == 0; }));
            ASSERT_FALSE(s.leg.expired());
        }

        server->teardown_connection(s.rtag);
        EXPECT_FALSE(relay->session_tracked(s.id));
        EXPECT_TRUE(s.server->wait_closed(10s));
        if (s.client) {
            EXPECT_TRUE(s.client->wait_closed(10s));
        }
        if (c.state != State::tagged) {
            EXPECT_TRUE(media_client.send_to(relay->get_external_port(), c2s.datagram(2)));
            EXPECT_TRUE(media_server.receive(300ms).empty()) << "a datagram passed after the removal";
        }
        const auto counted = counts();
        EXPECT_EQ(0u, counted.tagged + counted.established + counted.resumable + counted.pending);
        // Everything that held a leg is let go: still nothing reaches the broker.
        ASSERT_TRUE(release_all(s));
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(s.events.reasons().empty()) << s.events.reasons().front();
    }
}


// The broker removes a session whose client's HELLO has just gone out: the
// HELLO's write may end after the server leg stopped. The client still reads
// on, so its INVITE is refused and it is closed, not left idle.
TEST_F(Pairing, RemovalRightAfterTheHelloStillLetsItsClientBeRefused)
{
    make_server();
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Session& s = add_session();
        ASSERT_TRUE(hello(s));
        server->teardown_connection(s.rtag);
        ASSERT_TRUE(s.client->send(SsigFrame::tlv(SsigFrame::INVITE, invite_elements(s))));
        ASSERT_TRUE(s.client->wait_closed(10s)) << "the client was left waiting";
        EXPECT_TRUE(wait_until([&] { return counts().pending == 0; }));
    }
    for (auto& s : sessions)
        EXPECT_TRUE(s->events.reasons().empty()) << s->events.reasons().front();
}

}  // namespace
