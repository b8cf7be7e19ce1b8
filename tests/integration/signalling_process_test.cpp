// The signalling gateway as a broker, a Kavri server and Kavri clients meet
// it, over the real binary on loopback: add-connection files a session and
// connects its server at once with the gateway's certificate and the right
// server name; a client's HELLO reaches the server rewritten and signed with
// the ctag; no client resumes a TLS session; the limits, duplicates and
// pruning; idle and removed sessions; busy ports; the control channel over
// TLS; and shutdown.
#include "CertTestTools.h"
#include "ControlBroker.h"
#include "FailReply.h"
#include "GatewayProcess.h"
#include "HelloBuilder.h"
#include "ReceivedHello.h"
#include "TempDir.h"
#include "TestSessionTag.h"
#include "TlsTestClient.h"
#include "TlsTestServer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <thread>

namespace {

using namespace kavri_test;
using namespace std::chrono_literals;

// How long a removed or timed-out session is watched for a stray
// connection-closed: at least three 5-second sweeps, so a leg released from
// the 10-second dormant hold would have spoken by then.
constexpr auto NO_NOTIFICATION_WAIT = 15s;

const char* const GATEWAY_NAME = "gw.kavri.test";
const char* const SERVER_SNI = "server.kavri.test";
const char* const SG_SNI = "sg.kavri.test";

const TestIdentity::ptr& server_identity()
{
    static const auto id = TestIdentity::self_signed(SERVER_SNI);
    return id;
}

std::string hex(const TestSessionTag::hash& h)
{
    return TestSessionTag::hex(h.data(), h.size());
}

class SignallingProcess : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (HasFailure() && gw) {
            // The end of the log says what the gateway did last.
            const std::string log = gw->log();
            const std::size_t from = log.size() > 30000 ? log.size() - 30000 : 0;
            std::fprintf(stderr, "--- gateway log (tail) ---\n%s\n--- stdout ---\n%s\n",
                         log.substr(from).c_str(), gw->output_text().c_str());
            if (!gw->running())
                std::fprintf(stderr, "--- the gateway had ended (signal %d) ---\n", gw->signal());
        }
    }

    static GatewayProcess::Options options(const std::vector<std::string>& extra)
    {
        GatewayProcess::Options o;
        o.config = GatewayProcess::loopback_config();
        for (const char* line : {"LogLevel=0", "SSLCertKsgSni=gw.kavri.test",
                                 "DefaultServerSni=default-server.kavri.test",
                                 "DefaultSgSni=default-sg.kavri.test"})
            o.config.push_back(line);
        o.config.insert(o.config.end(), extra.begin(), extra.end());
        return o;
    }

    // Starts the gateway, waits for its signalling and control ports, and
    // brings the broker online.
    void start(const std::vector<std::string>& extra = {}, bool tls_broker = false)
    {
        gw = std::make_unique<GatewayProcess>(options(extra));
        ASSERT_TRUE(gw->wait_listening(gw->external_tcp_port())) << "signalling port never listened";
        ASSERT_TRUE(gw->wait_listening(gw->control_port())) << "control port never listened";
        ASSERT_TRUE(broker.connect(gw->control_port(), tls_broker));
        ASSERT_TRUE(broker.init());
    }

    AddConnection to_server(const TestSessionTag& tag, const std::string& connection_id = "conn-1")
    {
        AddConnection a = AddConnection::of(server.port(), tag.text(), connection_id);
        a.server_sni = SERVER_SNI;
        a.sg_sni = SG_SNI;
        return a;
    }

    // The next server leg to reach the test server; a failure says how far
    // the attempts got.
    std::shared_ptr<TlsServerConnection> server_leg()
    {
        auto c = server.accept(15s);
        if (!c)
            ADD_FAILURE() << "the server was not connected: " << server.tcp_accepts() << " TCP accepts, "
                          << server.failed_handshakes() << " failed handshakes";
        return c;
    }

    bool logged(const std::string& text, std::chrono::milliseconds timeout = 5s)
    {
        return gw->wait_for_log(text, timeout);
    }

    std::unique_ptr<GatewayProcess> gw;
    ControlBroker broker;
    TlsTestServer server{server_identity()};
};

struct SniCase {
    const char* name;
    bool tovik;
    uint8_t flags;
    std::optional<std::string> expected_sni;
};

void PrintTo(const SniCase& c, std::ostream* os)
{
    *os << c.name;
}

class AddConnectionSni : public SignallingProcess, public ::testing::WithParamInterface<SniCase> {};

TEST_P(AddConnectionSni, ServerIsConnectedAtOnceWithTheGatewayCertificate)
{
    const SniCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(start());
    const auto tag = c.tovik ? TestSessionTag::tovik(server_identity()->der(), c.flags) : TestSessionTag::plain();
    const std::string rtag = broker.add_connection(to_server(tag));
    ASSERT_FALSE(rtag.empty());

    // No client exists yet: the server leg connects on its own.
    const auto conn = server_leg();
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->sni(), c.expected_sni);
    EXPECT_EQ(conn->protocol(), "TLSv1.2");
    const auto& gateway_der = conn->client_certificate_der();
    ASSERT_FALSE(gateway_der.empty()) << "the server leg presented no certificate";

    if (c.tovik)
        EXPECT_EQ(rtag, tag.rtag_for(gateway_der)) << "the rtag carries the thumbprint of the certificate "
                                                      "the server received, flags 1";
    else
        EXPECT_EQ(rtag, tag.text());

    // It is the certificate clients meet on the signalling port.
    TlsTestClient client;
    ASSERT_TRUE(client.connect(gw->external_tcp_port(), std::string(GATEWAY_NAME)));
    EXPECT_EQ(client.server_certificate_der(), gateway_der);
    EXPECT_TRUE(conn->open_and_silent(300ms));
}

INSTANTIATE_TEST_SUITE_P(
    Tags, AddConnectionSni,
    ::testing::Values(SniCase{"tovik_server_sni", true, 0, std::string(SERVER_SNI)},
                      SniCase{"tovik_flag_bit_1_sg_sni", true, 2, std::string(SG_SNI)},
                      SniCase{"tovik_other_flags_server_sni", true, 1, std::string(SERVER_SNI)},
                      SniCase{"not_tovik_no_sni", false, 0, std::nullopt}),
    [](const ::testing::TestParamInfo<SniCase>& i) { return std::string(i.param.name); });

TEST_F(SignallingProcess, ClientHelloReachesTheServerRewrittenAndSignedWithTheCtag)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const auto tag = TestSessionTag::tovik(server_identity()->der());
    const std::string rtag = broker.add_connection(to_server(tag));
    ASSERT_FALSE(rtag.empty());
    const auto conn = server_leg();
    ASSERT_TRUE(conn);

    const HelloHop client_hop{"1.0", "client-proxy.kavri.test", 0};
    TlsTestClient client;
    ASSERT_TRUE(client.connect(gw->external_tcp_port(), std::string(GATEWAY_NAME)));
    ASSERT_TRUE(client.send(HelloBuilder::for_tag(rtag, "client-view.kavri.test")
                                .hops({client_hop})
                                .frame(rtag)));

    const auto frame = conn->read_frame(15s);
    ASSERT_TRUE(frame) << "no HELLO reached the server";
    EXPECT_EQ(frame->kind, SsigFrame::Kind::Post);
    const auto hello = ReceivedHello::parse(frame->bytes);
    ASSERT_TRUE(hello) << frame->bytes;
    EXPECT_EQ(hello->validate(tag.text()), 0) << frame->bytes;
    EXPECT_TRUE(hello->signed_with(tag.text())) << "signature = SHA-256(ctag || thumbprint || serverName)";
    EXPECT_EQ(hex(hello->thumbprint()), hex(TestSessionTag::thumbprint(tag.session_id(), server_identity()->der())));
    EXPECT_EQ(hello->server_name(), conn->sni().value_or("<none>"));
    EXPECT_EQ(hello->server_name(), SERVER_SNI);
    EXPECT_EQ(hello->session_id(), tag.session_id());
    EXPECT_EQ(hello->version(), "1.0");
    EXPECT_EQ(hello->hops(), (std::vector<HelloHop>{client_hop, {"1.0", GATEWAY_NAME, 0}}));
    // The client hears nothing until the server answers.
    EXPECT_TRUE(client.open_and_silent(300ms));
}

TEST_F(SignallingProcess, HelloForAnUnknownSessionIsAnsweredWithFail1043)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const auto never_added = TestSessionTag::tovik(server_identity()->der());
    TlsTestClient client;
    ASSERT_TRUE(client.connect(gw->external_tcp_port()));
    ASSERT_TRUE(client.send(HelloBuilder::for_tag(never_added.text(), "x").frame(never_added.text())));
    const auto frame = client.read_frame(10s);
    ASSERT_TRUE(frame);
    const auto fail = FailReply::parse(*frame);
    ASSERT_TRUE(fail) << frame->bytes;
    EXPECT_EQ(fail->code, 1043u);
    EXPECT_EQ(fail->reason, "SG received an invalid session-id in a KAVRI_HELLO");
    EXPECT_TRUE(fail->hops.empty());
    EXPECT_TRUE(fail->reply_form) << frame->header;
    // After a FAIL the leg stays open and reads no more.
    EXPECT_TRUE(client.open_and_silent(500ms));
}

TEST_F(SignallingProcess, SessionLimitAdmitsOneMoreThanTheMaximum)
{
    ASSERT_NO_FATAL_FAILURE(start({"MaxConnections=2"}));
    for (int i = 0; i < 3; ++i) {
        const auto tag = TestSessionTag::tovik(server_identity()->der());
        EXPECT_FALSE(broker.add_connection(to_server(tag, "conn-" + std::to_string(i))).empty()) << i;
        EXPECT_TRUE(server_leg()) << i;
    }
    const auto fourth = TestSessionTag::tovik(server_identity()->der());
    EXPECT_EQ(broker.add_connection(to_server(fourth, "conn-3")), "");
    EXPECT_TRUE(logged("Failed to add connection due to too many connections."));
    EXPECT_TRUE(server.no_connection_for(1s));
}

TEST_F(SignallingProcess, DuplicateSessionIdIsRefused)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const auto tag = TestSessionTag::tovik(server_identity()->der());
    ASSERT_FALSE(broker.add_connection(to_server(tag, "first")).empty());
    ASSERT_TRUE(server_leg());
    // The same session id under another tag text is the same session.
    const auto same_id = TestSessionTag::tovik(server_identity()->der(), 2, tag.session_id());
    ASSERT_NE(same_id.text(), tag.text());
    for (const auto* t : {&tag, &same_id})
        EXPECT_EQ(broker.add_connection(to_server(*t, "again")), "");
    EXPECT_TRUE(logged("Failed to add connection due to duplicate (pending) session ID: " + tag.session_id_text()));
    EXPECT_TRUE(server.no_connection_for(1s));
}

TEST_F(SignallingProcess, ExcessPendingClientsArePrunedOldestFirst)
{
    // Maximum 2, slack 0: the fourth accept finds three pending legs and
    // closes the oldest.
    ASSERT_NO_FATAL_FAILURE(start({"MaxConnections=2"}));
    std::vector<std::unique_ptr<TlsTestClient>> clients;
    // The gateway's side of each handshake ends after the client's; until
    // it does, a leg ranks as one without TLS and would be pruned first.
    const auto tls_done = [&] {
        const std::string log = gw->log();
        std::size_t n = 0;
        for (std::size_t at = log.find("SSL handshake completed with Kavri client"); at != std::string::npos;
             at = log.find("SSL handshake completed with Kavri client", at + 1))
            ++n;
        return n;
    };
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<TlsTestClient>());
        ASSERT_TRUE(clients.back()->connect(gw->external_tcp_port())) << i;
        std::this_thread::sleep_for(20ms);  // distinct accept times
        if (i < 3) {
            for (int wait = 0; wait < 250 && tls_done() < std::size_t(i + 1); ++wait)
                std::this_thread::sleep_for(20ms);
        }
    }
    EXPECT_TRUE(clients[0]->wait_closed(5s));
    for (int i = 1; i < 4; ++i)
        EXPECT_TRUE(clients[static_cast<std::size_t>(i)]->open_and_silent(300ms)) << i;
    EXPECT_TRUE(logged("terminate_excess_pending_connections: 3 connections are pending but only 2 more "
                       "connections may be established; terminating 1 pending connections"));
}

TEST_F(SignallingProcess, UnpairedTaggedConnectionTimesOutExactlyOnce)
{
    ASSERT_NO_FATAL_FAILURE(start({"SsigMaxNoActivitySeconds=5"}));
    const auto tag = TestSessionTag::tovik(server_identity()->der());
    ASSERT_FALSE(broker.add_connection(to_server(tag, "idle-1")).empty());
    const auto conn = server_leg();
    ASSERT_TRUE(conn);

    // Idle for more than one 5-second tick: dropped within about 15 s.
    const auto closed = broker.next_connection_closed(25s);
    ASSERT_TRUE(closed) << "no connection-closed";
    EXPECT_EQ(closed->element("reason"), std::optional<std::string>("ConnectionTimeout"));
    EXPECT_EQ(closed->element("connection-id"), std::optional<std::string>("idle-1"));
    EXPECT_TRUE(logged(": Deleting inactive tagged SSIG server connection from tagged connections (cannot be "
                       "resumed) - " + tag.session_id_text()));
    EXPECT_TRUE(conn->wait_closed(5s)) << "the server leg stayed open";
    EXPECT_TRUE(broker.connection_closed_within(NO_NOTIFICATION_WAIT).empty());
    EXPECT_TRUE(broker.command("get-info")) << "the control connection is still there";
}

TEST_F(SignallingProcess, RemovedTaggedConnectionClosesItsServerLegSilently)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const auto tag = TestSessionTag::tovik(server_identity()->der());
    const std::string rtag = broker.add_connection(to_server(tag, "removed-1"));
    ASSERT_FALSE(rtag.empty());
    const auto conn = server_leg();
    ASSERT_TRUE(conn);

    ASSERT_TRUE(broker.remove_connection(rtag));
    EXPECT_TRUE(conn->wait_closed(5s)) << "the server leg stayed open";
    EXPECT_TRUE(broker.connection_closed_within(NO_NOTIFICATION_WAIT).empty());
    ASSERT_TRUE(broker.command("get-info")) << "the control connection is still there";
    // The session id is free again.
    EXPECT_FALSE(broker.add_connection(to_server(tag, "removed-2")).empty());
    EXPECT_TRUE(server_leg());
}

// openssl s_client -reconnect makes a full handshake, then five more
// offering that session: every one must be a new session, as when each
// client leg had a context of its own, while tickets and session ids are
// still handed out.
TEST_F(SignallingProcess, NoClientResumesATlsSessionByTicketOrSessionId)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string client = "openssl s_client -connect 127.0.0.1:" + std::to_string(gw->external_tcp_port()) +
                               " -servername " + GATEWAY_NAME + " -tls1_2 -reconnect";
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    for (const bool tickets : {true, false}) {
        SCOPED_TRACE(tickets ? "ticket" : "session id");
        const auto r = run_command(client + (tickets ? "" : " -no_ticket") + " < /dev/null");
        EXPECT_EQ(count(r.output, "\nNew, TLSv1.2"), 6u) << r.output;
        EXPECT_EQ(count(r.output, "\nReused, "), 0u) << r.output;
        EXPECT_EQ(count(r.output, "TLS session ticket lifetime hint"), tickets ? 6u : 0u) << r.output;
        // A session id of 32 bytes each time, never an empty one.
        EXPECT_EQ(count(r.output, "    Session-ID: \n"), 0u) << r.output;
        EXPECT_EQ(count(r.output, "    Session-ID: "), 6u) << r.output;
    }
}

TEST_F(SignallingProcess, BusyTcpPortIsAFatalStartFailure)
{
    for (const char* key : {"TCPControlPort", "ExternalTCPPort"}) {
        SCOPED_TRACE(key);
        // The test server's listener occupies the port.
        GatewayProcess busy(options({std::string(key) + "=" + std::to_string(server.port())}));
        EXPECT_EQ(1, busy.wait_exit().value_or(-1)) << busy.log();
        EXPECT_NE(std::string::npos, busy.log().find("> fatal   : Failed to start the Security Gateway: "))
            << busy.log();
        EXPECT_NE(std::string::npos, busy.log().find("> info    : VevareviDiravad exiting...\n"));
    }
}

TEST_F(SignallingProcess, ControlChannelOverTls)
{
    TempDir certs;
    const auto ca = TestIdentity::authority("Kavri Test Broker CA");
    const auto control = TestIdentity::issued_by(*ca, "control.kavri.test");
    const auto broker_id = TestIdentity::issued_by(*ca, "broker.kavri.test");
    certs.write("ca.pem", ca->certificate_pem());
    control->write_pem(certs.slash() + "control.pem", certs.slash() + "control.key");
    broker_id->write_pem(certs.slash() + "broker.pem", certs.slash() + "broker.key");
    broker.set_client_certificate(certs.slash() + "broker.pem", certs.slash() + "broker.key");

    ASSERT_NO_FATAL_FAILURE(start({"TCPControlCertPath=" + certs.slash(), "TCPControlLinuxExtCert=control.pem",
                                   "TCPControlLinuxExtPriv=control.key", "TCPControlLinuxExtCA=ca.pem"},
                                  true));
    EXPECT_TRUE(logged("TLS enabled on XMLTCP control channel."));
    const auto tag = TestSessionTag::tovik(server_identity()->der());
    EXPECT_FALSE(broker.add_connection(to_server(tag)).empty());
    EXPECT_TRUE(server_leg());

    // A broker speaking plain TCP gets no answer.
    ControlBroker plain;
    ASSERT_TRUE(plain.connect(gw->control_port()));
    EXPECT_FALSE(plain.init(2s));
}

TEST_F(SignallingProcess, BrokerCommandsAndServerHandshakesRunSideBySide)
{
    // The control thread parses each command's connection id while the main
    // loop checks the certificates of server legs handshaking meanwhile; a
    // thread-sanitizer build must see nothing to report (it halts the
    // gateway when it does).
    ASSERT_NO_FATAL_FAILURE(start());
    constexpr int SESSIONS = 40;
    std::vector<std::string> rtags;
    for (int i = 0; i < SESSIONS; ++i) {
        const auto tag = TestSessionTag::tovik(server_identity()->der());
        rtags.push_back(broker.add_connection(to_server(tag, "11111111-2222-3333-4444-" + std::to_string(100000000000 + i))));
        ASSERT_FALSE(rtags.back().empty()) << i;
    }
    std::vector<std::shared_ptr<TlsServerConnection>> legs;
    for (int i = 0; i < SESSIONS; ++i) {
        auto leg = server_leg();
        ASSERT_TRUE(leg) << i;
        legs.push_back(std::move(leg));
    }
    for (const auto& rtag : rtags)
        ASSERT_TRUE(broker.remove_connection(rtag));
    EXPECT_TRUE(broker.command("get-info")) << "the control connection is still there";
    EXPECT_TRUE(gw->running()) << gw->output_text();
    EXPECT_EQ(gw->output_text().find("ThreadSanitizer"), std::string::npos) << gw->output_text();
}

TEST_F(SignallingProcess, ShutdownClosesBothLegsAndLeavesTheProcessIdle)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const auto tag = TestSessionTag::tovik(server_identity()->der());
    const std::string rtag = broker.add_connection(to_server(tag));
    ASSERT_FALSE(rtag.empty());
    const auto conn = server_leg();
    ASSERT_TRUE(conn);
    TlsTestClient client;
    ASSERT_TRUE(client.connect(gw->external_tcp_port()));
    ASSERT_TRUE(client.send(HelloBuilder::for_tag(rtag, "client-view.kavri.test").frame(rtag)));
    ASSERT_TRUE(conn->read_frame(15s)) << "the HELLO was not forwarded";

    ASSERT_TRUE(broker.shutdown());
    EXPECT_TRUE(conn->wait_closed(5s)) << "server leg";
    EXPECT_TRUE(client.wait_closed(5s)) << "client leg";
    EXPECT_TRUE(broker.wait_closed(5s)) << "control connection";

    // New clients are refused once the listener is closed.
    bool refused = false;
    for (int i = 0; i < 50 && !refused; ++i) {
        TlsTestClient late;
        refused = !late.connect_tcp(gw->external_tcp_port(), 1s);
        if (!refused)
            std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(refused);

    // Idle: CPU time grows by less than 1 % of the wall time.
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(gw->running());
    const auto cpu0 = gw->cpu_time();
    const auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(6s);
    const auto cpu = gw->cpu_time() - cpu0;
    const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - wall0);
    EXPECT_LT(cpu.count() * 100, wall.count()) << cpu.count() << " ms of CPU in " << wall.count() << " ms";
    EXPECT_TRUE(gw->running());
}

}  // namespace
