// The signalling server's tables over real loopback TLS: adding sessions,
// accepting and pruning client legs, the sweep, resumption look-ups,
// removals by the broker, shutdown and the accept's re-arm rules.
#include "IoThreads.h"
#include "LoopbackTlsServer.h"

#include "CipherList.h"
#include "Config.h"
#include "LogCapture.h"
#include "SSIGClientConnection.h"
#include "SSIGServer.h"
#include "SSIGServerConnection.h"
#include "SSIGServerSSL.h"
#include "Startup.h"
#include "UDPServer.h"
#include "vexa_tags.h"
#include "vexa_xml_hello.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kavri_test::LoopbackTlsServer;
using kavri_test::TestIdentity;
using kavri_test::wait_until;
using vexa::SSIGServer;

void set(const std::string& key, const std::string& value)
{
    vexa::Config::get_instance()->set(key, value);
}

std::string base64(const unsigned char* data, size_t n)
{
    std::vector<unsigned char> out(4 * ((n + 2) / 3) + 1);
    const int len = EVP_EncodeBlock(out.data(), data, static_cast<int>(n));
    return std::string(reinterpret_cast<char*>(out.data()), static_cast<size_t>(len));
}

// A version-1 tag of session id `sid` (8 bytes as text) with fields filled by
// `fill`; its table key is the Base64 of sid and a zero byte.
std::string plain_tag(const std::string& sid, unsigned char fill = 0x11)
{
    unsigned char f[33];
    std::memset(f, fill, sizeof f);
    unsigned char t[9] = {};
    std::memcpy(t, sid.data(), 8);
    return "SCS1" + base64(f, 33) + base64(f, 33) + base64(t, 9);
}

// The tag with the tovik overlay of the server certificate's thumbprint.
std::string tovik_tag(const std::string& sid, const std::vector<unsigned char>& server_der,
                      unsigned short flags = 0)
{
    char tag[200] = {};
    std::strcpy(tag, plain_tag(sid).c_str());
    unsigned char th[32];
    vexa_calculate_thumbprint_hash(reinterpret_cast<const unsigned char*>(sid.data()), server_der.data(),
                                   static_cast<int>(server_der.size()), th);
    vexa_util_overlay_tovik_session_tag(tag, th, flags);
    return tag;
}

std::string key_of(const std::string& tag)
{
    return vexa::Tag(tag).get_session_id();
}

// A client's HELLO record for the session of tag, signed with key: a
// genuine client signs with the rtag it holds, a stranger with anything else.
sVEXA_XML_HELLO hello_record(const std::string& tag, const std::string& key)
{
    sVEXA_XML_HELLO rec;
    std::memset(&rec, 0, sizeof rec);
    unsigned char id[16] = {}, thumbprint[32] = {};
    unsigned short flags = 0;
    vexa_util_parse_tovik_session_tag(tag.c_str(), id, thumbprint, &flags);
    std::memcpy(rec.session_id, id, sizeof rec.session_id);
    std::memcpy(rec.thumbprint_hash, thumbprint, sizeof rec.thumbprint_hash);
    std::strcpy(rec.server_name, "client-view.kavri.test");
    vexa_xml_create_hello(&rec, key.c_str(), nullptr, nullptr);
    return rec;
}

// A plain TCP client of the signalling listener; every wait is bounded.
class RawClient {
public:
    explicit RawClient(unsigned short port) : fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { ::close(fd); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool is_connected() const { return connected; }
    // True once the peer has closed (EOF or reset) within ms.
    bool closed_within(int ms) const
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return false;
        char c;
        return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
    }

private:
    int fd;
    bool connected = false;
};

// Whether a TCP connect to 127.0.0.1:port is accepted by the kernel.
bool listening(unsigned short port)
{
    return RawClient(port).is_connected();
}

// The process's CPU time (user + system) in seconds.
double cpu_seconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// What the broker's two callbacks of one session saw.
struct BrokerEvents {
    std::mutex mutex;
    std::vector<std::string> closed;
    int states = 0;

    vexa::StateCallback state_cb()
    {
        return [this](eSESSION_STATE) {
            std::lock_guard<std::mutex> lock(mutex);
            ++states;
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
};


TestIdentity& server_identity()
{
    static TestIdentity id("server.kavri.test");
    return id;
}

class SignallingServerTest : public ::testing::Test {
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
        c.set("SSLCertKsgSni", "gw.kavri.test");
        c.set("LogLevel", "0");
        server_identity();
    }

    void SetUp() override
    {
        set("MaxConnections", "5000");
        set("SsigMaxNoActivitySeconds", "180");
        // No sweep unless a test asks for one; the dormant clock is the test's.
        timing.sweep_period = std::chrono::hours(1);
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
        if (HasFailure())
            for (const auto& line : log.lines())
                std::fprintf(stderr, "log: %s\n", line.c_str());
    }

    void make_server()
    {
        relay.reset(new vexa::UDPServer(aux_io.io, "127.0.0.1", "0", "127.0.0.1", "0"));
        server = std::make_shared<SSIGServer>(main_io.io, aux_io.io, "127.0.0.1", "0", relay, timing,
                                              leg_timings);
        server->start();
    }

    std::string add(const std::string& ctag, BrokerEvents* events = nullptr,
                    const std::string& port = "", const std::string& sg_sni = "sg.kavri.test",
                    const std::string& server_sni = "srv.kavri.test")
    {
        return server->add_connection("127.0.0.1", port.empty() ? tls.port_text() : port, sg_sni,
                                      server_sni, ctag, "conn-" + key_of(ctag), "log-" + key_of(ctag),
                                      events ? events->state_cb() : vexa::StateCallback(),
                                      events ? events->closed_cb() : vexa::ClosedCallback());
    }

    SSIGServer::Counts counts() { return server->counts(); }

    // Connects a raw client and waits until the server holds it as pending.
    std::unique_ptr<RawClient> connect_pending(size_t expected_pending)
    {
        auto c = std::make_unique<RawClient>(server->local_port());
        EXPECT_TRUE(c->is_connected());
        EXPECT_TRUE(wait_until([&] { return counts().pending == expected_pending; }))
            << "pending " << counts().pending;
        return c;
    }

    void advance_clock(int seconds) { clock_offset += seconds; }

    LogCapture log;
    IoThreads main_io{4};
    IoThreads aux_io{1};
    LoopbackTlsServer tls{server_identity()};
    std::atomic<int> clock_offset{0};
    SSIGServer::Timing timing;
    vexa::SSIGLegTimings leg_timings;
    boost::shared_ptr<vexa::UDPServer> relay;
    std::shared_ptr<SSIGServer> server;
};

// ---- construction ----

TEST_F(SignallingServerTest, ConstructionFailuresAreLoggedAndThrown)
{
    relay.reset(new vexa::UDPServer(aux_io.io, "127.0.0.1", "0", "127.0.0.1", "0"));
    const unsigned short busy = tls.port();
    struct Case {
        const char* address;
        std::string port;
    };
    for (const Case& c : {Case{"127.0.0.1", std::to_string(busy)}, Case{"not-an-address", "0"},
                          Case{"127.0.0.1", "65536"}, Case{"127.0.0.1", "-1"}}) {
        SCOPED_TRACE(std::string(c.address) + ":" + c.port);
        const size_t before = log.count("*** SSIGServer::Failed to create the SSIG server: ");
        EXPECT_ANY_THROW(SSIGServer(main_io.io, aux_io.io, c.address, c.port, relay, timing));
        EXPECT_EQ(before + 1, log.count("*** SSIGServer::Failed to create the SSIG server: "));
        // The listener's own record says which address and port failed.
        EXPECT_EQ(1u, log.count(std::string("error   : signalling listener ") + c.address + ":" + c.port + ": "));
    }
    EXPECT_EQ(1u, log.count("signalling listener 127.0.0.1:" + std::to_string(busy) + ": bind: Address already in use"));
    EXPECT_FALSE(log.contains("SSIG server is up: "));
}

TEST_F(SignallingServerTest, MaxConnectionsConversions)
{
    EXPECT_EQ(5000u, SSIGServer::parse_max_connections("5000"));
    EXPECT_EQ(500u, SSIGServer::pruning_slack(5000));
    EXPECT_EQ(0u, SSIGServer::parse_max_connections("0"));
    EXPECT_EQ(0u, SSIGServer::pruning_slack(0));
    EXPECT_EQ(0u, SSIGServer::parse_max_connections("many"));
    EXPECT_EQ(1u, SSIGServer::pruning_slack(19));
    // A negative maximum wraps to no limit; its slack does not overflow.
    const uint64_t wrapped = SSIGServer::parse_max_connections("-1");
    EXPECT_EQ(std::numeric_limits<uint64_t>::max(), wrapped);
    EXPECT_GT(SSIGServer::pruning_slack(wrapped), uint64_t(1) << 60);
}

// ---- adding connections ----

TEST_F(SignallingServerTest, AddConnectionFilesAStartedServerLegUnderTheTagKey)
{
    make_server();
    const std::vector<unsigned char> gw_der(server->get_server_ssl().get_der(),
                                            server->get_server_ssl().get_der() +
                                                server->get_server_ssl().get_der_length());
    struct Case {
        const char* name;
        std::string ctag;
        bool tovik;
        std::string sni;  // what the server sees
    };
    const std::vector<Case> cases = {
        {"tovik, server sni", tovik_tag("sessid01", server_identity().der(), 0), true, "srv.kavri.test"},
        {"tovik, sg sni", tovik_tag("sessid02", server_identity().der(), 2), true, "sg.kavri.test"},
        {"not a version-1 tag", "a-plain-broker-tag", false, ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string rtag = add(c.ctag);
        ASSERT_FALSE(rtag.empty());
        if (c.tovik) {
            EXPECT_EQ(c.ctag.size(), rtag.size());
            EXPECT_NE(c.ctag, rtag);
            // The rtag carries the thumbprint of the gateway's certificate.
            unsigned char sid[8], th[32], expected[32];
            unsigned short flags = 0;
            ASSERT_EQ(0, vexa_util_parse_tovik_session_tag(rtag.c_str(), sid, th, &flags));
            vexa_calculate_thumbprint_hash(sid, gw_der.data(), static_cast<int>(gw_der.size()), expected);
            EXPECT_EQ(0, std::memcmp(th, expected, 32));
            EXPECT_EQ(c.ctag.substr(92, 12), key_of(c.ctag));
        } else {
            EXPECT_EQ(c.ctag, rtag);
            EXPECT_EQ(c.ctag, key_of(c.ctag));
        }
        const auto leg = server->find_server_connection(key_of(c.ctag));
        ASSERT_TRUE(leg);
        EXPECT_EQ(key_of(c.ctag), leg->get_table_key());
        EXPECT_EQ(rtag, leg->get_rtag().text());
        // Started at once: the server's TLS accept comes before any client.
        ASSERT_TRUE(wait_until([&] { return tls.handshakes() == i + 1; }));
        const auto seen = tls.connections()[i];
        EXPECT_EQ(c.sni, seen.sni);
        EXPECT_EQ(gw_der, seen.client_cert_der);
        bool connected = false;
        EXPECT_TRUE(wait_until([&] { return server->is_server_ssig_connected(key_of(c.ctag), &connected) && connected; }));
    }
    EXPECT_EQ(3u, counts().tagged);
    bool connected = true;
    EXPECT_FALSE(server->is_server_ssig_connected("no-such-session", &connected));
    EXPECT_TRUE(log.contains("No matching server connection found for given session-id=no-such-session"));
}

TEST_F(SignallingServerTest, AddConnectionLimitAllowsMaxPlusOne)
{
    for (const int max : {2, 0}) {
        SCOPED_TRACE(max);
        set("MaxConnections", std::to_string(max));
        make_server();
        const size_t refused_before = log.count("Failed to add connection due to too many connections.");
        int accepted = 0;
        for (int i = 0; i < 5; ++i)
            accepted += add("limit-tag-" + std::to_string(i)).empty() ? 0 : 1;
        EXPECT_EQ(max == 0 ? 5 : max + 1, accepted);
        EXPECT_EQ(refused_before + (max == 0 ? 0u : 2u),
                  log.count("Failed to add connection due to too many connections."));
        server->shutdown();
        server->stop();
        server.reset();
        relay->stop();
        relay.reset();
    }
}

TEST_F(SignallingServerTest, AddConnectionRefusesDuplicatesAndBadInput)
{
    make_server();
    const std::string tagged_tag = tovik_tag("tagged01", server_identity().der());
    const std::string resumable_tag = tovik_tag("resume01", server_identity().der());
    const std::string tracked_tag = tovik_tag("tracked1", server_identity().der());
    ASSERT_FALSE(add(tagged_tag).empty());
    ASSERT_FALSE(add(resumable_tag).empty());

    // A resumable leg that fails goes to the resumable table.
    const auto leg = server->find_server_connection(key_of(resumable_tag));
    ASSERT_TRUE(leg);
    leg->set_resume_timeout(60);
    server->cleanup_connections_for_next_resume(key_of(resumable_tag), leg);
    ASSERT_EQ(1u, counts().resumable);

    // A session the relay still tracks, in no table.
    auto tunnel = relay->setup_client_to_server_tunnel(
        boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 5000), 0x01020304u, 7,
        std::vector<char>(16, 'k'), 0, 0, "tracked-rtag", "conn", key_of(tracked_tag), "log",
        [](eSESSION_STATE) {}, [](const std::string&) {});
    ASSERT_TRUE(tunnel);

    struct Case {
        std::string ctag;
        std::string port;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {tagged_tag, "", "Failed to add connection due to duplicate (pending) session ID: "},
        {resumable_tag, "", "Failed to add connection due to duplicate (resumable) session ID: "},
        {tracked_tag, "", "Failed to add connection due to duplicate (established) session ID: "},
        {"bad-port-tag", "70000", "*** SSIGServer::Failed to add connection: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        const auto before = counts();
        EXPECT_EQ("", add(c.ctag, nullptr, c.port));
        const std::string expected = std::string(c.logged) + (c.port.empty() ? key_of(c.ctag) : "");
        EXPECT_EQ(1u, log.count(expected));
        EXPECT_EQ(before.tagged, counts().tagged);
        EXPECT_EQ(before.resumable, counts().resumable);
    }
}

TEST_F(SignallingServerTest, UnmarkedVersionOneTagExpectsAZeroThumbprint)
{
    make_server();
    // An "SCS1" tag without the tovik magic: the parse fails after writing
    // the thumbprint; the leg must still expect all zeros and send no SNI.
    const std::string ctag = plain_tag("nomagic1", 0x5b);
    const std::string rtag = add(ctag);
    EXPECT_EQ(ctag, rtag);
    const auto leg = server->find_server_connection(key_of(ctag));
    ASSERT_TRUE(leg);
    for (unsigned char b : leg->get_thumbprint())
        EXPECT_EQ(0, b);
    EXPECT_EQ("srv.kavri.test", leg->get_sni());
    ASSERT_TRUE(wait_until([&] { return tls.handshakes() == 1; }));
    EXPECT_EQ("", tls.connections()[0].sni);
}

// ---- accepting and pruning client legs ----

TEST_F(SignallingServerTest, PruningBringsTheTotalDownToTheMaximum)
{
    set("MaxConnections", "10");  // slack 1
    make_server();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (size_t i = 1; i <= 12; ++i)
        clients.push_back(connect_pending(i));
    EXPECT_FALSE(log.contains("terminate_excess_pending_connections"));

    // 12 in all before the 13th: excess 2 > slack, the two oldest go.
    clients.push_back(connect_pending(11));
    EXPECT_EQ(1u, log.count("terminate_excess_pending_connections: 12 connections are pending but only 10 "
                            "more connections may be established; terminating 2 pending connections"));
    EXPECT_EQ(2u, log.count("terminate_excess_pending_connections: Terminating excess pending connection from 127.0.0.1:"));
    EXPECT_TRUE(clients[0]->closed_within(5000));
    EXPECT_TRUE(clients[1]->closed_within(5000));
    for (size_t i = 2; i < clients.size(); ++i)
        EXPECT_FALSE(clients[i]->closed_within(i == 2 ? 300 : 0)) << i;
    // They never got as far as TLS: released at once, not held dormant.
    EXPECT_EQ(0u, counts().dormant_clients);
    EXPECT_TRUE(wait_until([&] { return log.count("Destroying SSIGClientConnection instance") == 2; }));
}

TEST_F(SignallingServerTest, MaximumZeroNeverPrunes)
{
    // 0 is "no limit" for adding connections, and for pruning too.
    set("MaxConnections", "0");
    make_server();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (size_t i = 1; i <= 4; ++i)
        clients.push_back(connect_pending(i));
    for (const auto& c : clients)
        EXPECT_FALSE(c->closed_within(100));
    EXPECT_FALSE(log.contains("terminate_excess_pending_connections"));
}

TEST_F(SignallingServerTest, PruningCountsEachLegAcceptedAtTheSameInstant)
{
    set("MaxConnections", "10");
    const boost::posix_time::ptime instant = boost::posix_time::microsec_clock::universal_time();
    leg_timings.clock = [instant] { return instant; };
    make_server();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (size_t i = 1; i <= 12; ++i)
        clients.push_back(connect_pending(i));
    clients.push_back(std::make_unique<RawClient>(server->local_port()));
    ASSERT_TRUE(wait_until([&] { return log.contains("terminating 2 pending connections"); }));
    EXPECT_TRUE(wait_until([&] { return counts().pending == 11; })) << counts().pending;
    EXPECT_EQ(2u, log.count("Terminating excess pending connection from "));
    // The newest leg is never among them.
    EXPECT_FALSE(clients.back()->closed_within(200));
}

TEST_F(SignallingServerTest, NegativeMaximumNeitherLimitsNorPrunes)
{
    set("MaxConnections", "-1");
    make_server();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (size_t i = 1; i <= 3; ++i)
        clients.push_back(connect_pending(i));
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(add("unlimited-" + std::to_string(i)).empty());
    EXPECT_FALSE(log.contains("terminate_excess_pending_connections"));
    EXPECT_FALSE(log.contains("too many connections"));
}

// ---- the sweep ----

TEST_F(SignallingServerTest, SweepEndsAnIdleTaggedLegWithOneConnectionTimeout)
{
    set("SsigMaxNoActivitySeconds", "0");
    timing.sweep_period = 100ms;
    make_server();
    BrokerEvents events;
    const std::string ctag = tovik_tag("idleleg1", server_identity().der());
    ASSERT_FALSE(add(ctag, &events).empty());
    std::weak_ptr<vexa::SSIGServerConnection> leg = server->find_server_connection(key_of(ctag));
    ASSERT_TRUE(wait_until([&] { return !events.reasons().empty(); }));
    EXPECT_TRUE(log.contains("handle_periodic_ssig: Deleting inactive tagged SSIG server connection from "
                             "tagged connections (cannot be resumed) - " + key_of(ctag)));
    EXPECT_EQ(0u, counts().tagged);
    EXPECT_EQ(1u, counts().dormant_servers);
    // The first sweep may come before the leg has connected at all.
    EXPECT_TRUE(wait_until([&] { return tls.closed() == tls.connections().size(); }));

    // Held for its dormant period, then released: still only the one notice.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(1u, counts().dormant_servers);
    advance_clock(11);
    EXPECT_TRUE(wait_until([&] { return counts().dormant_servers == 0; }));
    EXPECT_TRUE(wait_until([&] { return leg.expired(); }));
    EXPECT_EQ(std::vector<std::string>{"ConnectionTimeout"}, events.reasons());
}

TEST_F(SignallingServerTest, SweepKeepsAResumableSessionWhileItsTunnelLives)
{
    // Idle after two silent sweeps: time enough to make the leg resumable first.
    set("SsigMaxNoActivitySeconds", "10");
    timing.sweep_period = 200ms;
    make_server();
    BrokerEvents events;
    const std::string ctag = tovik_tag("resumab1", server_identity().der());
    const std::string rtag = add(ctag, &events);
    ASSERT_FALSE(rtag.empty());
    const std::string id = key_of(ctag);
    const auto leg = server->find_server_connection(id);
    ASSERT_TRUE(leg);
    leg->set_resume_timeout(30);
    auto tunnel = relay->setup_client_to_server_tunnel(
        boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 5000), 0x0a0b0c0du, 7,
        std::vector<char>(16, 'k'), 0, 30, rtag, "conn", id, "log", [](eSESSION_STATE) {},
        [](const std::string&) {});
    ASSERT_TRUE(tunnel);
    tunnel.reset();

    ASSERT_TRUE(wait_until([&] { return counts().resumable == 1; }));
    EXPECT_TRUE(log.contains("handle_periodic_ssig: Moving tagged SSIG server connection to resumable map - " + id));
    // Several sweeps pass while the relay tracks the session.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(1u, counts().resumable);
    EXPECT_TRUE(events.reasons().empty());

    relay->remove_udp_connection(rtag);
    ASSERT_TRUE(wait_until([&] { return counts().resumable == 0; }));
    EXPECT_TRUE(log.contains("handle_periodic_ssig: Removing SSIG connection from the resumable map because "
                             "the corresponding UDP tunnel was ended - " + id));
    advance_clock(11);
    EXPECT_TRUE(wait_until([&] { return counts().dormant_servers == 0; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(std::vector<std::string>{"ResumeTimeout"}, events.reasons());
}

TEST_F(SignallingServerTest, SweepDropsAnIdlePendingLegWithoutTlsAtOnce)
{
    set("SsigMaxNoActivitySeconds", "0");
    timing.sweep_period = 50ms;
    make_server();
    RawClient client(server->local_port());
    ASSERT_TRUE(client.is_connected());
    // The sweep may drop it before a test could see it pending.
    ASSERT_TRUE(wait_until([&] {
        return log.contains("handle_periodic_ssig: Erasing pending client SSIG connection: session-id=");
    }));
    EXPECT_EQ(0u, counts().pending);
    EXPECT_TRUE(client.closed_within(5000));
    // Without TLS it holds nothing a late completion could need: released at once.
    EXPECT_EQ(0u, counts().dormant_clients);
    EXPECT_TRUE(wait_until([&] { return log.contains("Destroying SSIGClientConnection instance"); }));
}

// ---- resumption look-ups and leg failures ----

TEST_F(SignallingServerTest, RestartServerConnectionByTable)
{
    make_server();
    const std::string ctag = tovik_tag("restart1", server_identity().der());
    ASSERT_FALSE(add(ctag).empty());
    const std::string id = key_of(ctag);
    ASSERT_TRUE(wait_until([&] { return tls.handshakes() == 1; }));

    // First HELLO on a fresh tagged leg: no restart.
    EXPECT_EQ(0, server->restart_server_connection(id));
    EXPECT_TRUE(log.contains("restart_server_connection: This is the initial session establishment (not a "
                             "session resume). No need to restart the server connection - " + id));
    EXPECT_EQ(-500, server->restart_server_connection("unknown-id"));
    EXPECT_TRUE(log.contains("restart_server_connection: Bad session_id: unknown-id"));
    EXPECT_EQ(0, server->move_established_to_resumable(id));

    // A resumable leg's failure files it as resumable; a HELLO restarts it.
    const auto leg = server->find_server_connection(id);
    leg->set_resume_timeout(60);
    EXPECT_TRUE(server->is_session_resumable(id, leg));
    server->cleanup_connections_for_next_resume(id, leg);
    EXPECT_EQ(1u, counts().resumable);
    EXPECT_EQ(0u, counts().tagged);
    EXPECT_TRUE(wait_until([&] { return tls.closed() == 1; }));
    EXPECT_TRUE(server->is_session_resumable(id, leg));

    EXPECT_EQ(0, server->restart_server_connection(id));
    EXPECT_TRUE(log.contains("restart_server_connection: -- Restarting a resumable server connection - " + id));
    EXPECT_EQ(1u, counts().tagged);
    EXPECT_EQ(0u, counts().resumable);
    EXPECT_TRUE(wait_until([&] { return tls.handshakes() == 2; }));

    // Started twice now: a further HELLO restarts the tagged leg.
    EXPECT_EQ(0, server->restart_server_connection(id));
    EXPECT_TRUE(log.contains("restart_server_connection: -- Restarting a tagged server connection - " + id));
    EXPECT_TRUE(wait_until([&] { return tls.handshakes() == 3; }));
    EXPECT_EQ(leg, server->find_server_connection(id));
}

TEST_F(SignallingServerTest, LegCallsActOnlyOnEntriesHoldingTheLeg)
{
    make_server();
    const std::string ctag = tovik_tag("identity", server_identity().der());
    ASSERT_FALSE(add(ctag).empty());
    const std::string id = key_of(ctag);
    const auto filed = server->find_server_connection(id);
    ASSERT_TRUE(filed);

    // A leg of the same session id that the tables do not hold.
    const unsigned char zero[32] = {};
    auto stale = std::make_shared<vexa::SSIGServerConnection>(
        server, main_io.io, "127.0.0.1", tls.port_text(), "", "c", "l", [](eSESSION_STATE) {},
        [](const std::string&) {}, ctag, ctag, zero);
    stale->set_resume_timeout(60);
    EXPECT_FALSE(server->is_session_resumable(id, stale));
    server->cleanup_connections_for_next_resume(id, stale);
    server->remove_connection(stale->get_rtag(), stale);
    EXPECT_EQ(1u, counts().tagged);
    EXPECT_EQ(0u, counts().resumable);
    EXPECT_FALSE(filed->is_stopped());

    // The filed leg itself: a tagged session counts as resumable, and its
    // non-resumable removal puts it on the dormant list.
    EXPECT_TRUE(server->is_session_resumable(id, filed));
    server->remove_connection(filed->get_rtag(), filed);
    EXPECT_EQ(0u, counts().tagged);
    EXPECT_EQ(1u, counts().dormant_servers);
    EXPECT_TRUE(filed->is_stopped());
    EXPECT_TRUE(log.contains("===> removing a tagged SSIG connection (" + id));
    EXPECT_FALSE(server->is_session_resumable(id, filed));
}

// ---- look-ups and callbacks of the client leg's HELLO ----

// A plain TCP listener on 127.0.0.1 that never answers: a server leg
// connecting to it stays in its TLS handshake.
class SilentListener {
public:
    SilentListener() : fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 8);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~SilentListener() { ::close(fd); }
    std::string port_text() const { return std::to_string(port); }

private:
    int fd;
    unsigned short port = 0;
};

class HelloLookUpTest : public SignallingServerTest {
protected:
    // A client leg on an accepted loopback connection, never started.
    std::shared_ptr<vexa::SSIGClientConnection> client_leg()
    {
        using tcp = boost::asio::ip::tcp;
        tcp::acceptor acceptor(main_io.io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        peers.push_back(std::make_unique<RawClient>(acceptor.local_endpoint().port()));
        auto socket = std::make_shared<tcp::socket>(main_io.io);
        acceptor.accept(*socket);
        return std::make_shared<vexa::SSIGClientConnection>(server, socket, main_io.io, leg_timings);
    }

    // The leg's HELLO for the session of ctag, signed with key (the rtag
    // when empty), as the leg hands it over.
    vexa::HelloAdmission admit(const std::shared_ptr<vexa::SSIGClientConnection>& leg, const std::string& ctag,
                               const std::string& key = "")
    {
        const auto server_leg = server->find_server_connection(key_of(ctag));
        const std::string rtag = server_leg ? server_leg->get_rtag().text() : ctag;
        return server->admit_client_hello(key_of(ctag), hello_record(rtag, key.empty() ? rtag : key), leg);
    }

    // A callback that records what it was called with.
    std::function<void(bool)> recorder()
    {
        return [this](bool value) {
            std::lock_guard<std::mutex> lock(calls_mutex);
            calls.push_back(value);
        };
    }
    std::vector<bool> taken_calls()
    {
        std::lock_guard<std::mutex> lock(calls_mutex);
        std::vector<bool> out;
        out.swap(calls);
        return out;
    }

    std::vector<std::unique_ptr<RawClient>> peers;
    std::mutex calls_mutex;
    std::vector<bool> calls;
};

TEST_F(HelloLookUpTest, ServerConnectedCallbacksBelongToTheirOwner)
{
    make_server();
    SilentListener silent;
    const std::string waiting_tag = tovik_tag("waiting1", server_identity().der());
    ASSERT_FALSE(add(waiting_tag, nullptr, silent.port_text()).empty());
    const std::string id = key_of(waiting_tag);
    const auto owner = client_leg();
    const auto other = client_leg();

    // Only the leg whose HELLO verified last may wait for the session.
    server->set_server_connected_callback(id, owner, recorder());
    EXPECT_EQ(0u, counts().callbacks);
    EXPECT_TRUE(taken_calls().empty());
    ASSERT_EQ(vexa::HelloAdmission::ADMITTED, admit(owner, waiting_tag));

    // Not connected: kept until invoked, and only its owner clears it.
    server->set_server_connected_callback(id, owner, recorder());
    EXPECT_EQ(1u, counts().callbacks);
    server->clear_server_connected_callback(id, other);
    EXPECT_EQ(1u, counts().callbacks);
    server->invoke_server_connected_callback(id);
    EXPECT_EQ(std::vector<bool>{true}, taken_calls());
    EXPECT_EQ(0u, counts().callbacks);

    server->set_server_connected_callback(id, owner, recorder());
    server->clear_server_connected_callback(id, owner);
    EXPECT_EQ(0u, counts().callbacks);
    EXPECT_TRUE(taken_calls().empty());

    // A failing resumable session ends a client's wait with false.
    ASSERT_EQ(vexa::HelloAdmission::ADMITTED, admit(other, waiting_tag));
    server->set_server_connected_callback(id, owner, recorder());
    EXPECT_EQ(0u, counts().callbacks) << "the turn passed to the newer leg";
    server->set_server_connected_callback(id, other, recorder());
    const auto leg = server->find_server_connection(id);
    server->cleanup_connections_for_next_resume(id, leg);
    EXPECT_EQ(std::vector<bool>{false}, taken_calls());
    EXPECT_TRUE(log.contains("close_pending_client_connection (" + id + ") ==> deleting callback"));

    // Unknown session: dropped uncalled.
    server->set_server_connected_callback("no-such-id", owner, recorder());
    EXPECT_TRUE(log.contains("set_server_connected_callback ERROR - Failed to find session-id in tagged or "
                             "established connections maps no-such-id"));

    // Already connected: called at once, nothing kept.
    const std::string ready_tag = tovik_tag("ready001", server_identity().der());
    ASSERT_FALSE(add(ready_tag).empty());
    ASSERT_EQ(vexa::HelloAdmission::ADMITTED, admit(owner, ready_tag));
    bool connected = false;
    ASSERT_TRUE(wait_until([&] { return server->is_server_ssig_connected(key_of(ready_tag), &connected) && connected; }));
    server->set_server_connected_callback(key_of(ready_tag), owner, recorder());
    EXPECT_EQ(std::vector<bool>{true}, taken_calls());
    EXPECT_EQ(0u, counts().callbacks);
}

TEST_F(HelloLookUpTest, ConnectionInfoOfTheTaggedServerLeg)
{
    make_server();
    const std::string ctag = tovik_tag("infoleg1", server_identity().der(), 2);
    const std::string rtag = add(ctag);
    ASSERT_FALSE(rtag.empty());
    const std::string id = key_of(ctag);
    bool connected = false;
    ASSERT_TRUE(wait_until([&] { return server->is_server_ssig_connected(id, &connected) && connected; }));

    EXPECT_EQ("log-" + id, server->find_session_log_id(id));
    EXPECT_EQ("", server->find_session_log_id("no-such-id"));

    vexa::SessionTag got_ctag("");
    std::string got_rtag, got_sni;
    vexa::x509_ref cert;
    unsigned char hash[32] = {};
    ASSERT_TRUE(server->get_server_connection_info(id, &got_ctag, &got_rtag, &got_sni, &cert, &hash));
    EXPECT_EQ(ctag, got_ctag.text());
    EXPECT_EQ(rtag, got_rtag);
    EXPECT_EQ("sg.kavri.test", got_sni);
    ASSERT_TRUE(cert);
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert.get(), &der);
    EXPECT_EQ(server_identity().der(), std::vector<unsigned char>(der, der + n));
    OPENSSL_free(der);
    unsigned char expected[32];
    unsigned short flags = 0;
    ASSERT_EQ(0, vexa_util_parse_tovik_session_tag(ctag.c_str(), nullptr, expected, &flags));
    EXPECT_EQ(0, std::memcmp(expected, hash, 32));
    // Null outputs are skipped.
    EXPECT_TRUE(server->get_server_connection_info(id, nullptr, nullptr, nullptr, nullptr, nullptr));
    // The counted certificate stays valid through the leg's next handshakes
    // (ASan would see a use after free).
    server->find_server_connection(id)->restart(false);
    ASSERT_TRUE(wait_until([&] { return tls.handshakes() == 2; }));
    server->find_server_connection(id)->restart(false);
    ASSERT_TRUE(wait_until([&] { return tls.handshakes() == 3; }));
    der = nullptr;
    EXPECT_EQ(n, i2d_X509(cert.get(), &der));
    OPENSSL_free(der);

    EXPECT_FALSE(server->get_server_connection_info("no-such-id", nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(log.contains("Failed to get ctag - no matching server connection found for given session ID=no-such-id"));

    const auto client = client_leg();
    EXPECT_FALSE(server->set_xml_forwarders(id, client)) << "a leg without a verified HELLO";
    ASSERT_EQ(vexa::HelloAdmission::ADMITTED, admit(client, ctag));
    EXPECT_TRUE(server->set_xml_forwarders(id, client));
    EXPECT_TRUE(log.contains("XML forwarders set for session ID: " + id));
    EXPECT_FALSE(server->set_xml_forwarders("no-such-id", client));
    EXPECT_TRUE(log.contains("failed to set XML forwarders - no matching server connection found for given "
                             "session ID=no-such-id"));

    const auto leg = server->find_server_connection(id);
    EXPECT_FALSE(server->get_client_connection_info(id, leg, nullptr));
    EXPECT_TRUE(log.contains("Failed to get client connection info - input is NULL"));
    vexa::ssig::MitmInfoVector hops;
    EXPECT_FALSE(server->get_client_connection_info(id, nullptr, &hops));
    EXPECT_TRUE(log.contains("Failed to get client connection info - no matching client connection found for "
                             "given session ID=" + id));
    // The leg reads the hop list of the client joined to it (empty before its HELLO was rebuilt).
    EXPECT_TRUE(server->get_client_connection_info(id, leg, &hops));
    EXPECT_TRUE(hops.empty());
}

TEST_F(HelloLookUpTest, AHelloThatDoesNotVerifyChangesNothing)
{
    make_server();
    const std::string ctag = tovik_tag("victim01", server_identity().der());
    const std::string rtag = add(ctag);
    ASSERT_FALSE(rtag.empty());
    const std::string id = key_of(ctag);
    bool connected = false;
    ASSERT_TRUE(wait_until([&] { return server->is_server_ssig_connected(id, &connected) && connected; }));
    const auto victim = client_leg();
    ASSERT_EQ(vexa::HelloAdmission::ADMITTED, admit(victim, ctag));
    const auto before = counts();

    const struct {
        const char* name;
        std::string tag;
        std::string key;
        vexa::HelloAdmission verdict;
    } cases[] = {
        {"signed with the ctag", ctag, ctag, vexa::HelloAdmission::INVALID},
        {"signed with another session's rtag", ctag, tovik_tag("other001", server_identity().der()),
         vexa::HelloAdmission::INVALID},
        {"unknown session", tovik_tag("nobody01", server_identity().der()), "", vexa::HelloAdmission::UNKNOWN_SESSION},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto stranger = client_leg();
        EXPECT_EQ(c.verdict, admit(stranger, c.tag, c.key));
        EXPECT_EQ("", stranger->get_session_id());
        EXPECT_FALSE(stranger->is_hello_admitted());
        // The stranger may neither wait for the session nor be joined to it.
        server->set_server_connected_callback(id, stranger, recorder());
        EXPECT_FALSE(server->set_xml_forwarders(id, stranger));
        EXPECT_TRUE(taken_calls().empty());
        const auto now = counts();
        EXPECT_EQ(before.tagged, now.tagged);
        EXPECT_EQ(before.callbacks, now.callbacks);
        EXPECT_EQ(1u, tls.handshakes()) << "no reconnection to the server";
    }
    EXPECT_FALSE(victim->is_stopped());
    EXPECT_TRUE(server->set_xml_forwarders(id, victim));
}

TEST_F(HelloLookUpTest, AnUnversionedTagIsRefusedBeforeAnythingHappens)
{
    make_server();
    // A ctag that is not a version-1 tag files under the whole text.
    const std::string ctag = "not-a-version-one-tag";
    ASSERT_FALSE(add(ctag).empty());
    sVEXA_XML_HELLO rec;
    std::memset(&rec, 0, sizeof rec);
    EXPECT_EQ(vexa::HelloAdmission::NOT_VERSION_1, server->admit_client_hello(ctag, rec, client_leg()));
}

// ---- removal by the broker ----

TEST_F(SignallingServerTest, RemoveSsigConnectionSilencesTheSessionInEachTable)
{
    timing.sweep_period = 100ms;
    make_server();
    struct Case {
        const char* table;
        std::string sid;
        bool resumable;
    };
    for (const Case& c : {Case{"tagged", "rmtagged", false}, Case{"resumable", "rmresume", true}}) {
        SCOPED_TRACE(c.table);
        BrokerEvents events;
        const std::string ctag = tovik_tag(c.sid, server_identity().der());
        const std::string rtag = add(ctag, &events);
        ASSERT_FALSE(rtag.empty());
        const std::string id = key_of(ctag);
        std::weak_ptr<vexa::SSIGServerConnection> weak = server->find_server_connection(id);
        if (c.resumable) {
            // The relay tracks the session, so the sweep keeps it resumable.
            ASSERT_TRUE(relay->setup_client_to_server_tunnel(
                boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 5000),
                0x0e0f1011u, 7, std::vector<char>(16, 'k'), 0, 30, rtag, "conn", id, "log",
                [](eSESSION_STATE) {}, [](const std::string&) {}));
            auto leg = weak.lock();
            leg->set_resume_timeout(60);
            server->cleanup_connections_for_next_resume(id, leg);
            ASSERT_EQ(1u, counts().resumable);
        }
        server->remove_ssig_connection("no-such-rtag");
        EXPECT_EQ(c.resumable ? 0u : 1u, counts().tagged);
        EXPECT_EQ(c.resumable ? 1u : 0u, counts().resumable);

        server->remove_ssig_connection(rtag);
        EXPECT_TRUE(log.contains(std::string("===> removing a ") + c.table + " SSIG connection (session_id=" + id));
        EXPECT_EQ(0u, counts().tagged);
        EXPECT_EQ(0u, counts().resumable);
        EXPECT_EQ(1u, counts().dormant_servers);
        EXPECT_TRUE(weak.lock()->is_stopped());

        // Released after its hold; neither the sweep nor its destruction reports.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(1u, counts().dormant_servers);
        advance_clock(11);
        EXPECT_TRUE(wait_until([&] { return counts().dormant_servers == 0; }));
        EXPECT_TRUE(wait_until([&] { return weak.expired(); }));
        EXPECT_TRUE(events.reasons().empty());
        relay->remove_udp_connection(rtag);
    }
}

TEST_F(SignallingServerTest, TeardownAlsoEndsTheRelayTunnels)
{
    make_server();
    BrokerEvents events;
    const std::string ctag = tovik_tag("teardown", server_identity().der());
    const std::string rtag = add(ctag, &events);
    ASSERT_FALSE(rtag.empty());
    auto tunnel = relay->setup_client_to_server_tunnel(
        boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 5000), 0x0c0d0e0fu, 7,
        std::vector<char>(16, 'k'), 0, 0, rtag, "conn", key_of(ctag), "log", [](eSESSION_STATE) {},
        [](const std::string&) {});
    ASSERT_TRUE(tunnel);
    ASSERT_TRUE(relay->session_tracked(key_of(ctag)));
    ASSERT_TRUE(wait_until([&] { return tls.handshakes() == 1; }));
    server->teardown_connection(rtag);
    EXPECT_FALSE(relay->session_tracked(key_of(ctag)));
    EXPECT_EQ(0u, counts().tagged);
    EXPECT_TRUE(wait_until([&] { return tls.closed() == 1; }));
    EXPECT_TRUE(events.reasons().empty());
}

// ---- statistics and settings ----

TEST_F(SignallingServerTest, StatisticsPassTheRelayCountersThrough)
{
    make_server();
    const auto stats = server->get_statistics();
    EXPECT_EQ(relay->get_statistics(), stats);
    EXPECT_TRUE(log.contains("get_statistics returning 0 UDP connections currently working; 0 UDP "
                             "connections as high-water-mark."));
    std::string json, direct;
    server->populate_json_session_statistics(json);
    relay->populate_json_session_statistics(direct);
    EXPECT_EQ(direct, json);
    server->set_external_ip("192.0.2.7");
    server->set_external_port("4711");
    EXPECT_EQ("192.0.2.7", vexa::Config::get_instance()->get("ConnectionServerExternalRoutableIP"));
    EXPECT_EQ("4711", vexa::Config::get_instance()->get("ConnectionServerExternalRoutablePort"));
}

// ---- shutdown and the accept ----

TEST_F(SignallingServerTest, ShutdownStopsEverySessionAndTheAcceptForGood)
{
    make_server();
    BrokerEvents events;
    ASSERT_FALSE(add(tovik_tag("shutdown", server_identity().der()), &events).empty());
    ASSERT_TRUE(wait_until([&] { return tls.handshakes() == 1; }));
    auto client = connect_pending(1);

    server->shutdown();
    EXPECT_TRUE(wait_until([&] { return tls.closed() == 1; }));
    EXPECT_TRUE(client->closed_within(5000));
    const auto c = counts();
    EXPECT_EQ(0u, c.tagged + c.pending + c.resumable + c.established + c.callbacks);
    EXPECT_EQ(0u, c.dormant_clients + c.dormant_servers);
    EXPECT_TRUE(wait_until([&] { return !listening(server->local_port()); }));

    // A closed acceptor is not re-armed: the loop threads stay idle.
    const double before = cpu_seconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpu_seconds() - before, 0.5);

    server->shutdown();
    EXPECT_EQ(2u, log.count("Shutting down SSIG server -- clearing 0 resumable connections."));
}

TEST_F(SignallingServerTest, FailedAcceptIsRetriedAfterAPause)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' runtime needs descriptors of its own (UBSan probes
    // memory through a pipe) and misreports once they are all taken.
    GTEST_SKIP() << "descriptor exhaustion confuses the sanitizer runtime";
#endif
    make_server();
    rlimit saved{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
    // The client's socket is made first; then every free descriptor below the
    // lowered limit is taken, so only the server's accept fails (EMFILE).
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    int highest = fd;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::atoi(e.path().filename().c_str()));
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(highest + 1);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &lowered));
    std::vector<int> fillers;
    for (int d; (d = ::dup(fd)) >= 0;)
        fillers.push_back(d);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(server->local_port());
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    const double cpu_before = cpu_seconds();
    std::this_thread::sleep_for(500ms);
    const double cpu_used = cpu_seconds() - cpu_before;
    const size_t pending_while_limited = counts().pending;
    for (int d : fillers)
        ::close(d);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &saved));
    EXPECT_TRUE(connected);
    EXPECT_EQ(0u, pending_while_limited);
    // No spinning on the failing accept, and a later one succeeds.
    EXPECT_LT(cpu_used, 0.3);
    EXPECT_TRUE(wait_until([&] { return counts().pending == 1; }, 5s));
    ::close(fd);
}

}  // namespace
