// The REJECTED loop: a client leg that sent a REJECT (the server's
// certificate did not match the tag) waits for the server leg's next
// handshake and validates the HELLO again on it, sending the HELLO or a
// REJECT again; a stanza relayed meanwhile ends the wait; no reconnection
// within the wait closes the client. First the client leg alone with a fake
// host, then both legs over loopback TLS, the scripted server answering
// REJECT with REJECTED.
#include "LegTestSupport.h"

#include "FailReply.h"
#include "HelloHop.h"
#include "ReceivedHello.h"
#include "ServerReplies.h"
#include "SsigFrame.h"
#include "TestIdentity.h"
#include "TlsTestClient.h"
#include "TlsTestServer.h"
#include "vexa_xml_version.h"

#include <gtest/gtest.h>

using namespace legtest;
using kavri_test::SsigFrame;
using vexa::SSIGClientConnection;
using vexa::SSIGServerConnection;
namespace replies = kavri_test::server_replies;

namespace {

const std::vector<Hop> kClientHops = {{"client.mitm", "1.0", 0}};

// --- the client leg alone -------------------------------------------------------

class ClientRejectLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        identity();
        host = std::make_shared<FakeHost>();
        host->ctag = make_ctag(identity().server_cert.der());
        host->rtag = make_rtag(host->ctag);
        // The server leg's certificate does not match the tag.
        host->server_cert = identity().other_cert.cert.get();
        host->hash = thumbprint_of(identity().server_cert.der());
        timings.hello_wait = boost::posix_time::milliseconds(800);
    }
    void TearDown() override
    {
        if (leg)
            leg->stop();
        threads.stop();
        host->clear();
        leg.reset();
    }
    // A client whose HELLO was answered by a REJECT to the server.
    void rejected()
    {
        client = std::make_unique<TlsClient>(acceptor.local_endpoint().port());
        auto socket = std::make_shared<boost::asio::ip::tcp::socket>(threads.io);
        acceptor.accept(*socket);
        leg = std::make_shared<SSIGClientConnection>(host, socket, threads.io, timings);
        leg->start();
        ASSERT_TRUE(client->handshake());
        ASSERT_TRUE(client->send(make_hello(host->rtag, kClientHops)));
        ASSERT_TRUE(wait_until([&] { return host->forwards().size() == 1; })) << host->calls();
        ASSERT_EQ(host->forwards()[0].type, VEXA_XML_TYPE_REJECT);
    }
    std::string log_text() { return log.text(); }
    bool logged(const std::string& s) { return log.text().find(s) != std::string::npos; }

    LegLog log;
    IoThreads threads;
    boost::asio::ip::tcp::acceptor acceptor{threads.io, {boost::asio::ip::address_v4::loopback(), 0}};
    std::shared_ptr<FakeHost> host;
    vexa::SSIGLegTimings timings;
    std::shared_ptr<SSIGClientConnection> leg;
    std::unique_ptr<TlsClient> client;
};

TEST_F(ClientRejectLoopTest, TheNextHandshakeValidatesTheHelloAgain)
{
    rejected();
    // The wait for the next handshake is registered after the first wait's
    // own registration was dropped, so it is still there.
    const std::string calls = host->calls();
    const std::size_t cleared = calls.find("clear_connected_cb(ASNFZ4mrze8A);");
    const std::size_t registered = calls.find("set_reconnected_cb(ASNFZ4mrze8A);");
    ASSERT_NE(cleared, std::string::npos) << calls;
    ASSERT_NE(registered, std::string::npos) << calls;
    EXPECT_LT(cleared, registered);
    EXPECT_TRUE(host->callback_stored());
    EXPECT_TRUE(client->silent_for(100));

    // Reconnected, still the wrong certificate: a REJECT again, and the next wait.
    ASSERT_TRUE(host->fire_connected(true));
    ASSERT_TRUE(wait_until([&] { return host->forwards().size() == 2; })) << host->calls();
    EXPECT_EQ(host->forwards()[1].type, VEXA_XML_TYPE_REJECT);
    EXPECT_TRUE(wait_until([&] { return host->callback_stored(); }));

    // Reconnected with the right one: the HELLO goes, signed for the server.
    host->server_cert = identity().server_cert.cert.get();
    ASSERT_TRUE(host->fire_connected(true));
    ASSERT_TRUE(wait_until([&] { return host->forwards().size() == 3; })) << host->calls();
    const FakeHost::Forward hello = host->forwards()[2];
    EXPECT_EQ(hello.type, VEXA_XML_TYPE_HELLO);
    const auto received = kavri_test::ReceivedHello::parse(hello.text);
    ASSERT_TRUE(received.has_value()) << hello.text;
    EXPECT_EQ(received->validate(host->ctag), 0);
    ASSERT_EQ(received->hops().size(), 2u);
    EXPECT_EQ(received->hops()[1].name, "gw.kavri.test");
    // Each round wired the forwarders again (a restart clears the server leg's).
    std::size_t wired = 0;
    for (std::size_t p = host->calls().find("set_forwarders("); p != std::string::npos;
         p = host->calls().find("set_forwarders(", p + 1))
        ++wired;
    EXPECT_EQ(wired, 3u);
    EXPECT_EQ(leg->get_last_xml_sent(), VEXA_XML_TYPE_HELLO);
    // Nothing waits any more: the wait's time passes without closing the client.
    EXPECT_FALSE(host->callback_stored());
    EXPECT_TRUE(client->silent_for(1200));
    EXPECT_EQ(host->removed_clients(), 0u);
}

TEST_F(ClientRejectLoopTest, AStanzaRelayedMeanwhileEndsTheWait)
{
    rejected();
    leg->handle_server_xml_ssig(replies::fail(1036, "not now").c_str(), VEXA_XML_TYPE_FAIL, {});
    const std::string frame = client->read_http_frame(5000);
    EXPECT_EQ(parse_fail(frame).code, 1036u) << frame;
    EXPECT_TRUE(wait_until([&] { return !host->callback_stored(); }));
    EXPECT_TRUE(logged("A stanza from the server ends the wait for its reconnection"));
    // Well past the wait: the client is still there.
    EXPECT_TRUE(client->silent_for(1500));
    EXPECT_EQ(host->removed_clients(), 0u);
    EXPECT_FALSE(host->fire_connected(true));
}

TEST_F(ClientRejectLoopTest, NoReconnectionWithinTheWaitClosesTheClient)
{
    rejected();
    EXPECT_TRUE(wait_until([&] { return host->removed_clients() == 1; }, 5s));
    EXPECT_TRUE(client->wait_closed());
    EXPECT_TRUE(logged("handle_wait_for_server_connection: No server connection detected (timeout) while processing "
                       "KAVRI_HELLO XML. Closing client-side connection"));
    EXPECT_EQ(host->forwards().size(), 1u);
}

// --- both legs ---------------------------------------------------------------------

// Joins a real server leg and a real client leg as the signalling server
// would: look-ups answer from the legs, forwarders cross-wire them, and the
// server-connected callback is kept and fired as the server leg's handshakes
// complete.
class LoopHost : public FakeHost {
public:
    std::shared_ptr<SSIGServerConnection> server_leg;
    std::weak_ptr<SSIGClientConnection> client_leg;

    bool get_server_connection_info(const std::string& id, vexa::SessionTag* ctag_out, std::string* rtag_out,
                                    std::string* sni_out, vexa::x509_ref* cert_out,
                                    unsigned char (*hash_out)[32]) override
    {
        FakeHost::get_server_connection_info(id, ctag_out, rtag_out, sni_out, cert_out, hash_out);
        const auto server = leg();
        *ctag_out = server->get_ctag();
        *rtag_out = server->get_rtag().text();
        *sni_out = server->get_sni();
        *cert_out = server->get_server_certificate();
        std::memcpy(*hash_out, server->get_thumbprint().data(), 32);
        return true;
    }
    bool set_xml_forwarders(const std::string& id, const std::shared_ptr<SSIGClientConnection>& client) override
    {
        FakeHost::set_xml_forwarders(id, client);
        const auto server = leg();
        server->set_ssig_xml_forwarder([client](const char* xml, eVEXA_XML_TYPE type, vexa::ssig_complete_handler_t c) {
            client->handle_server_xml_ssig(xml, type, std::move(c));
        });
        client->set_ssig_xml_forwarder([server](const char* xml, eVEXA_XML_TYPE type, vexa::ssig_complete_handler_t c) {
            server->handle_client_xml_ssig(xml, type, std::move(c));
        });
        return true;
    }
    void set_server_connected_callback(const std::string& id, const std::weak_ptr<SSIGClientConnection>& owner,
                                       std::function<void(bool)> callback) override
    {
        std::lock_guard<std::mutex> l(m_loop);
        if (leg()->is_connected()) {
            callback(true);
            return;
        }
        m_callback = std::move(callback);
        m_owner = owner;
        (void)id;
    }
    void set_server_reconnected_callback(const std::string& id, const std::weak_ptr<SSIGClientConnection>& owner,
                                         std::function<void(bool)> callback) override
    {
        FakeHost::set_server_reconnected_callback(id, owner, nullptr);
        std::lock_guard<std::mutex> l(m_loop);
        m_callback = std::move(callback);
        m_owner = owner;
    }
    void clear_server_connected_callback(const std::string& id,
                                         const std::shared_ptr<SSIGClientConnection>& owner) override
    {
        FakeHost::clear_server_connected_callback(id, owner);
        std::function<void(bool)> dropped;
        std::lock_guard<std::mutex> l(m_loop);
        if (m_owner.lock() == owner)
            dropped.swap(m_callback);
    }
    void invoke_server_connected_callback(const std::string& id) override
    {
        FakeHost::invoke_server_connected_callback(id);
        std::function<void(bool)> callback;
        std::lock_guard<std::mutex> l(m_loop);
        callback.swap(m_callback);
        if (callback)
            callback(true);
    }
    bool get_client_connection_info(const std::string& id, const std::shared_ptr<SSIGServerConnection>& server,
                                    vexa::ssig::MitmInfoVector* out) override
    {
        FakeHost::get_client_connection_info(id, server, nullptr);
        auto client = client_leg.lock();
        if (!client)
            return false;
        client->get_mitm_info(out);
        return true;
    }
    // Drops the callback (it holds the client leg).
    void drop()
    {
        std::function<void(bool)> callback;
        std::lock_guard<std::mutex> l(m_loop);
        callback.swap(m_callback);
    }

private:
    std::shared_ptr<SSIGServerConnection> leg()
    {
        std::lock_guard<std::mutex> l(m_legs);
        return server_leg;
    }
    std::mutex m_legs;
    std::mutex m_loop;
    std::function<void(bool)> m_callback;
    std::weak_ptr<SSIGClientConnection> m_owner;
};

class RejectedLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        identity();
        good = kavri_test::TestIdentity::self_signed("server.kavri.test");
        bad = kavri_test::TestIdentity::self_signed("mitm.kavri.test");
        ctag = make_ctag(good->der());
        rtag = make_rtag(ctag);
        host = std::make_shared<LoopHost>();
        // The tags the HELLO is checked against.
        host->ctag = ctag;
        host->rtag = rtag;
        server = std::make_unique<kavri_test::TlsTestServer>(bad);
        client_timings.hello_wait = boost::posix_time::seconds(2);
    }
    void TearDown() override
    {
        if (server_leg)
            server_leg->stop();
        if (client_leg)
            client_leg->stop();
        threads.stop();
        host->drop();
        host->clear();
        host->server_leg.reset();
        server_leg.reset();
        client_leg.reset();
        server->stop();
    }
    // Both legs up: the server leg connected to the test server, the
    // client's TLS done; the client's HELLO sent.
    void start(const std::vector<kavri_test::TestIdentity::ptr>& identities)
    {
        server->set_identities(identities);
        unsigned char th[32];
        std::memcpy(th, thumbprint_of(good->der()).data(), 32);
        server_leg = std::make_shared<SSIGServerConnection>(
            host, threads.io, "127.0.0.1", std::to_string(server->port()), "server.sni.test", "conn-1", "log-1",
            [](eSESSION_STATE) {}, [](const std::string&) {}, ctag, rtag, th);
        host->server_leg = server_leg;
        server_leg->start();
        conn = server->accept();
        ASSERT_TRUE(conn);

        boost::asio::ip::tcp::acceptor acceptor(threads.io, {boost::asio::ip::address_v4::loopback(), 0});
        bool handshake = false;
        std::thread connecting([&] { handshake = client.connect(acceptor.local_endpoint().port()); });
        auto socket = std::make_shared<boost::asio::ip::tcp::socket>(threads.io);
        acceptor.accept(*socket);
        client_leg = std::make_shared<SSIGClientConnection>(host, socket, threads.io, client_timings);
        host->client_leg = client_leg;
        client_leg->start();
        connecting.join();
        ASSERT_TRUE(handshake);
        ASSERT_TRUE(wait_until([&] { return server_leg->is_connected(); }));
        ASSERT_TRUE(client.send(make_hello(rtag, kClientHops)));
    }
    // The next frame on the current server connection.
    std::optional<SsigFrame> server_reads()
    {
        return conn->read_frame(std::chrono::milliseconds(5000));
    }
    bool is_reject(const std::optional<SsigFrame>& f)
    {
        return f && f->kind == SsigFrame::Kind::Post && f->body.find("<REJECT") != std::string::npos;
    }
    bool logged(const std::string& s) { return log.text().find(s) != std::string::npos; }

    LegLog log;
    kavri_test::TestIdentity::ptr good, bad;
    std::string ctag, rtag;
    std::shared_ptr<LoopHost> host;
    std::unique_ptr<kavri_test::TlsTestServer> server;
    std::shared_ptr<kavri_test::TlsServerConnection> conn;
    kavri_test::TlsTestClient client;
    vexa::SSIGLegTimings client_timings;
    std::shared_ptr<SSIGServerConnection> server_leg;
    std::shared_ptr<SSIGClientConnection> client_leg;
    IoThreads threads;
};

TEST_F(RejectedLoopTest, OneRejectedThenTheRightCertificateAndTheNegotiationGoesOn)
{
    start({bad, good});
    ASSERT_TRUE(is_reject(server_reads()));
    ASSERT_TRUE(conn->send(replies::rejected()));
    conn = server->accept();
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->accept_index(), 1u);
    // On the new connection the client's HELLO arrives, signed for the server.
    const auto frame = server_reads();
    ASSERT_TRUE(frame && frame->kind == SsigFrame::Kind::Post);
    const auto hello = kavri_test::ReceivedHello::parse(frame->bytes);
    ASSERT_TRUE(hello.has_value()) << frame->bytes;
    EXPECT_EQ(hello->validate(ctag), 0);
    EXPECT_TRUE(logged("Attempting to restart SSIG connection to the server (KAVRI_REJECTED count = 1)"));

    // And the server's VERSION reaches the client, signed with the rtag.
    ASSERT_TRUE(conn->send(replies::version(ctag, "1.1", "1.0", hello->hops())));
    const auto version = client.read_frame();
    ASSERT_TRUE(version && version->kind == SsigFrame::Kind::Reply);
    sVEXA_XML_VERSION rec{};
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    ASSERT_EQ(vexa_xml_parse_version(version->bytes.c_str(), version->bytes.size(), &type, &rec), 0);
    EXPECT_EQ(vexa_xml_validate_version(&rec, rtag.c_str()), 0);
    EXPECT_EQ(host->removed_servers() + host->removed_clients(), 0u);
}

TEST_F(RejectedLoopTest, SevenRejectedGiveTheClientFail1037AndTheSessionStays)
{
    start({bad});
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        if (i > 0) {
            conn = server->accept();
            ASSERT_TRUE(conn);
        }
        ASSERT_TRUE(is_reject(server_reads()));
        ASSERT_TRUE(conn->send(replies::rejected()));
    }
    const auto frame = client.read_frame();
    ASSERT_TRUE(frame.has_value());
    const auto fail = kavri_test::FailReply::parse(*frame);
    ASSERT_TRUE(fail.has_value()) << frame->bytes;
    EXPECT_EQ(fail->code, 1037u);
    EXPECT_EQ(fail->reason, "Security Gateway received too many KAVRI_REJECTED from the MITM devices");
    ASSERT_EQ(fail->hops.size(), 2u);
    EXPECT_EQ(fail->hops[0].name, "client.mitm");
    EXPECT_EQ(fail->hops[1].name, "gw.kavri.test");
    // No eighth connection; the FAIL ended the client's wait, so the wait's
    // time passes with both connections open.
    EXPECT_TRUE(server->no_connection_for(std::chrono::milliseconds(2500)));
    EXPECT_EQ(server->tcp_accepts(), 7u);
    EXPECT_TRUE(client.open_and_silent(std::chrono::milliseconds(100)));
    EXPECT_TRUE(conn->open_and_silent(std::chrono::milliseconds(100)));
    EXPECT_EQ(host->removed_servers() + host->removed_clients(), 0u);
}

}  // namespace
