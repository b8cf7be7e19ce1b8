// The fixture of the whole-session process tests: the real binary on
// loopback ports, a scripted broker, a test server and test clients, and UDP
// peers for the media; each step of a session's road as one call.
//
// Threads: one test thread drives a fixture; the test server and the
// broker run their own threads behind their locks.
#pragma once

#include "ControlBroker.h"
#include "FailReply.h"
#include "GatewayProcess.h"
#include "HelloBuilder.h"
#include "KsdpMessage.h"
#include "MediaSender.h"
#include "ReceivedHello.h"
#include "ReceivedVersion.h"
#include "ServerReplies.h"
#include "TestSessionTag.h"
#include "TlsTestClient.h"
#include "TlsTestServer.h"
#include "UdpPeer.h"
#include "media_crypto.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

namespace session_test {

using namespace kavri_test;
using namespace std::chrono_literals;
using bytes = std::vector<unsigned char>;
using ms = std::chrono::milliseconds;

// A frame that needs the gateway to complete a TLS handshake first; generous
// for sanitizer builds.
constexpr auto FRAME_WAIT = 15s;
// How long a removed session is watched for a stray connection-closed: at
// least three 5-second sweeps, so a leg released from the 10-second dormant
// hold would have spoken by then.
constexpr auto NO_NOTIFICATION_WAIT = 15s;
// A short idle limit ends a silent leg at the second or third sweep.
constexpr auto IDLE_CLOSE_WAIT = 30s;
constexpr auto MEDIA_WAIT = 5s;
constexpr auto BLOCKED_WAIT = 1s;

const char* const GATEWAY_NAME = "gw.kavri.test";
const char* const SERVER_SNI = "server.kavri.test";
const char* const CLIENT_VIEW = "client-view.kavri.test";
// The media address a server announces; the client must never see it.
const char* const SERVER_MEDIA_ADDRESS = "192.0.2.10";
const HelloHop CLIENT_HOP{"1.0", "client-proxy.kavri.test", 0};
const HelloHop GATEWAY_HOP{"1.0", GATEWAY_NAME, 0};

inline const TestIdentity::ptr& server_identity()
{
    static const auto id = TestIdentity::self_signed(SERVER_SNI);
    return id;
}

// A certificate other than the one the session tag names.
inline const TestIdentity::ptr& impostor_identity()
{
    static const auto id = TestIdentity::self_signed("impostor.kavri.test");
    return id;
}

inline std::string hex(const TestSessionTag::hash& h)
{
    return TestSessionTag::hex(h.data(), h.size());
}

// One session as the test drives it.
struct Session {
    TestSessionTag tag = TestSessionTag::tovik(server_identity()->der());
    std::string connection_id = "conn-1";
    std::string rtag;
    std::shared_ptr<TlsServerConnection> server;  // the gateway's server leg, as the server sees it
    std::unique_ptr<TlsTestClient> client;
    std::optional<ReceivedHello> hello;           // as the server received it
    MediaKeys client_keys = MediaKeys::random();
    MediaKeys server_keys = MediaKeys::random();
    KsdpMessage invite_ok;                        // as the client received it
    std::optional<MediaSender> client_media;
    std::optional<MediaSender> server_media;

    // New keys for both directions, as a resumption negotiates them.
    void rekey()
    {
        client_keys = MediaKeys::random();
        server_keys = MediaKeys::random();
        client_media.reset();
        server_media.reset();
    }
};

class SessionProcess : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (gw) {
            // Sanitizer builds: a finding in the gateway fails the test that
            // provoked it.
            const std::string out = gw->output_text();
            for (const char* finding : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"})
                EXPECT_EQ(out.find(finding), std::string::npos) << "the gateway reported:\n" << out;
        }
        if (HasFailure() && gw) {
            // The end of the log says what the gateway did last.
            const std::string log = gw->log();
            const std::size_t from = log.size() > 40000 ? log.size() - 40000 : 0;
            std::fprintf(stderr, "--- gateway log (tail) ---\n%s\n--- stdout ---\n%s\n",
                         log.substr(from).c_str(), gw->output_text().c_str());
            if (!gw->running())
                std::fprintf(stderr, "--- the gateway had ended (signal %d) ---\n", gw->signal());
        }
    }

    // Starts the gateway with extra configuration lines (later lines win)
    // and brings the broker online.
    void start(const std::vector<std::string>& extra = {})
    {
        GatewayProcess::Options o;
        o.config = GatewayProcess::loopback_config();
        for (const char* line :
             {"LogLevel=0", "SSLCertKsgSni=gw.kavri.test", "TCPControlSendStateChangedNotifications=1"})
            o.config.push_back(line);
        o.config.insert(o.config.end(), extra.begin(), extra.end());
        gw = std::make_unique<GatewayProcess>(o);
        ASSERT_TRUE(gw->wait_listening(gw->external_tcp_port())) << "signalling port never listened";
        ASSERT_TRUE(gw->wait_listening(gw->control_port())) << "control port never listened";
        ASSERT_TRUE(broker.connect(gw->control_port()));
        ASSERT_TRUE(broker.init());
        ASSERT_TRUE(client_udp.is_bound() && server_udp.is_bound());
    }

    // The next server leg to reach the test server.
    std::shared_ptr<TlsServerConnection> server_leg()
    {
        auto c = server.accept(FRAME_WAIT);
        if (!c)
            ADD_FAILURE() << "the server was not connected: " << server.tcp_accepts() << " TCP accepts, "
                          << server.failed_handshakes() << " failed handshakes";
        return c;
    }

    // add-connection, and the server leg that follows at once.
    void add(Session& s)
    {
        AddConnection a = AddConnection::of(server.port(), s.tag.text(), s.connection_id);
        a.server_sni = SERVER_SNI;
        s.rtag = broker.add_connection(a);
        ASSERT_FALSE(s.rtag.empty()) << "add-connection refused";
        s.server = server_leg();
        ASSERT_TRUE(s.server);
    }

    void connect_client(Session& s)
    {
        s.client = std::make_unique<TlsTestClient>();
        ASSERT_TRUE(s.client->connect(gw->external_tcp_port(), std::string(GATEWAY_NAME)));
    }

    // A new client sends its HELLO (signed with the rtag); the server
    // receives it rewritten and signed with the ctag, on a new connection
    // when the gateway has to reconnect first.
    void hello(Session& s, bool new_server_connection = false)
    {
        ASSERT_NO_FATAL_FAILURE(connect_client(s));
        ASSERT_TRUE(s.client->send(HelloBuilder::for_tag(s.rtag, CLIENT_VIEW).hops({CLIENT_HOP}).frame(s.rtag)));
        if (new_server_connection) {
            s.server = server_leg();
            ASSERT_TRUE(s.server);
        }
        const auto frame = s.server->read_frame(FRAME_WAIT);
        ASSERT_TRUE(frame) << "no HELLO reached the server";
        s.hello = ReceivedHello::parse(frame->bytes);
        ASSERT_TRUE(s.hello) << "not a HELLO: " << frame->bytes;
        ASSERT_EQ(s.hello->validate(s.tag.text()), 0) << frame->bytes;
    }

    // The server answers with a VERSION signed with the ctag; the client
    // receives one signed with the rtag.
    void version(Session& s)
    {
        ASSERT_TRUE(s.server->send(server_replies::version_for(*s.hello, s.tag.text())));
        const auto frame = s.client->read_frame(FRAME_WAIT);
        ASSERT_TRUE(frame) << "no VERSION reached the client";
        const auto v = ReceivedVersion::parse(frame->bytes);
        ASSERT_TRUE(v) << "not a VERSION: " << frame->bytes;
        ASSERT_EQ(v->validate(s.rtag), 0) << frame->bytes;
    }

    void negotiate(Session& s)
    {
        ASSERT_NO_FATAL_FAILURE(hello(s));
        ASSERT_NO_FATAL_FAILURE(version(s));
    }

    // The client's INVITE; what the server received.
    KsdpMessage invite(Session& s, const KsdpMessage& sent)
    {
        EXPECT_TRUE(s.client->send(sent.frame(SsigFrame::INVITE)));
        const auto frame = s.server->read_frame(FRAME_WAIT);
        if (!frame || frame->kind != SsigFrame::Kind::Tlv || frame->tlv_command() != SsigFrame::INVITE) {
            ADD_FAILURE() << "no INVITE reached the server" << (frame ? ": " + frame->bytes : "");
            return {};
        }
        return KsdpMessage::from(*frame);
    }

    // The server's INVITE_OK; the client's copy goes into the session.
    void invite_ok(Session& s, const KsdpMessage& sent)
    {
        ASSERT_TRUE(s.server->send(sent.frame(SsigFrame::INVITE_OK)));
        const auto frame = s.client->read_frame(FRAME_WAIT);
        ASSERT_TRUE(frame) << "no INVITE_OK reached the client";
        ASSERT_EQ(frame->kind, SsigFrame::Kind::Tlv) << frame->bytes;
        ASSERT_EQ(frame->tlv_command(), SsigFrame::INVITE_OK);
        s.invite_ok = KsdpMessage::from(*frame);
    }

    KsdpMessage typical_invite_ok(const Session& s, std::optional<uint32_t> resume = std::nullopt)
    {
        KsdpMessage ok = KsdpMessage::invite_ok(s.server_keys, SERVER_MEDIA_ADDRESS, server_udp.port());
        if (resume)
            ok.resume(*resume);
        return ok;
    }

    // HELLO, VERSION, INVITE and INVITE_OK with the session's keys.
    void establish(Session& s, std::optional<uint32_t> resume = std::nullopt)
    {
        ASSERT_NO_FATAL_FAILURE(negotiate(s));
        invite(s, KsdpMessage::invite(s.tag.text(), s.client_keys));
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_NO_FATAL_FAILURE(invite_ok(s, typical_invite_ok(s, resume)));
    }

    // The gateway's media port as the rewritten INVITE_OK announces it.
    unsigned short client_media_target(const Session& s)
    {
        return KsdpMessage::read_be16(s.invite_ok.value("cprt")).value_or(gw->external_udp_port());
    }

    // Drops datagrams left over from earlier steps.
    static void drain(const UdpPeer& peer)
    {
        while (!peer.receive(0ms).empty()) {
        }
    }

    // True when expected arrives at peer within the wait (others are skipped).
    static bool arrives(const UdpPeer& peer, const bytes& expected, ms wait = MEDIA_WAIT)
    {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            const auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            if (peer.receive(left) == expected)
                return true;
        }
    }

    // A datagram from the client through the relay, byte for byte.
    bytes client_to_server(Session& s)
    {
        if (!s.client_media)
            s.client_media.emplace(s.client_keys);
        const bytes d = s.client_media->next();
        EXPECT_TRUE(client_udp.send_to(client_media_target(s), d));
        EXPECT_TRUE(arrives(server_udp, d)) << "client datagram (SPI " << s.client_keys.spi_hex()
                                            << ") not relayed to the server";
        return d;
    }

    bytes server_to_client(Session& s)
    {
        if (!s.server_media)
            s.server_media.emplace(s.server_keys);
        const bytes d = s.server_media->next();
        EXPECT_TRUE(server_udp.send_to(gw->internal_udp_port(), d));
        EXPECT_TRUE(arrives(client_udp, d)) << "server datagram (SPI " << s.server_keys.spi_hex()
                                            << ") not relayed to the client";
        return d;
    }

    // Client first: the server direction learns the client's address from it.
    void media_both_ways(Session& s)
    {
        client_to_server(s);
        server_to_client(s);
    }

    // Valid datagrams under keys reach nobody.
    void expect_blocked(const MediaKeys& client_keys, const MediaKeys& server_keys)
    {
        drain(server_udp);
        drain(client_udp);
        MediaSender c(client_keys, 1000), sv(server_keys, 1000);
        ASSERT_TRUE(client_udp.send_to(gw->external_udp_port(), c.next()));
        ASSERT_TRUE(server_udp.send_to(gw->internal_udp_port(), sv.next()));
        EXPECT_TRUE(server_udp.receive(BLOCKED_WAIT).empty()) << "client SPI " << client_keys.spi_hex()
                                                              << " still relayed";
        EXPECT_TRUE(client_udp.receive(BLOCKED_WAIT).empty()) << "server SPI " << server_keys.spi_hex()
                                                              << " still relayed";
    }

    // A client's HELLO for the session is answered with FAIL 1043: the
    // gateway no longer knows the session.
    void expect_session_gone(const Session& s)
    {
        TlsTestClient late;
        ASSERT_TRUE(late.connect(gw->external_tcp_port()));
        ASSERT_TRUE(late.send(HelloBuilder::for_tag(s.rtag, CLIENT_VIEW).frame(s.rtag)));
        const auto frame = late.read_frame(FRAME_WAIT);
        ASSERT_TRUE(frame) << "the HELLO was not answered";
        const auto fail = FailReply::parse(*frame);
        ASSERT_TRUE(fail) << frame->bytes;
        EXPECT_EQ(fail->code, 1043u) << fail->reason;
    }

    // The FAIL the client receives next.
    std::optional<FailReply> client_fail(Session& s)
    {
        const auto frame = s.client->read_frame(FRAME_WAIT);
        if (!frame) {
            ADD_FAILURE() << "nothing reached the client";
            return std::nullopt;
        }
        auto fail = FailReply::parse(*frame);
        if (!fail)
            ADD_FAILURE() << "not a FAIL: " << frame->bytes;
        return fail;
    }

    // Every notification within wait.
    std::vector<BrokerMessage> notifications_within(ms wait)
    {
        std::vector<BrokerMessage> out;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            const auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return out;
            auto m = broker.next_notification(left);
            if (!m)
                return out;
            out.push_back(std::move(*m));
        }
    }

    // The reasons of the connection-closed notifications that arrive until
    // count have come or wait passes, then until quiet passes without one.
    std::vector<std::string> closed_reasons(std::size_t count, ms wait, ms quiet)
    {
        std::vector<std::string> reasons;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (reasons.size() < count) {
            const auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            const auto m = broker.next_connection_closed(left);
            if (!m)
                break;
            reasons.push_back(m->element("reason").value_or("<none>"));
        }
        for (const auto& m : broker.connection_closed_within(quiet))
            reasons.push_back(m.element("reason").value_or("<none>"));
        return reasons;
    }

    bool logged(const std::string& text, ms timeout = 5s) { return gw->wait_for_log(text, timeout); }

    std::unique_ptr<GatewayProcess> gw;
    ControlBroker broker;
    TlsTestServer server{server_identity()};
    UdpPeer client_udp;  // the client's media socket
    UdpPeer server_udp;  // the server's media socket (its cprt)
};

// "name":N of the first such field after `after` in text.
}  // namespace session_test
