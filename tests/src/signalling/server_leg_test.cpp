// Server leg against a scripted loopback TLS server and a fake host: the
// connect and handshake with the gateway's certificate and the SNI, the
// reads and their bounds, the queued first write, the failure actions, and
// stop and restart by epoch.
#include "LegTestSupport.h"
#include "golden_values.h"

#include <gtest/gtest.h>

using namespace legtest;
using vexa::SSIGServerConnection;

namespace {

// A port nothing listens on.
unsigned short closed_port()
{
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::address_v4::loopback(), 0});
    return a.local_endpoint().port();
}

// Accepts TCP connections and closes each after a moment (a failed TLS handshake).
class ClosingListener {
public:
    ClosingListener() : m_acceptor(m_io, {boost::asio::ip::address_v4::loopback(), 0})
    {
        m_thread = std::thread([this] {
            boost::system::error_code ec;
            for (int i = 0; i < 4 && !m_stop; ++i) {
                m_acceptor.non_blocking(true);
                boost::asio::ip::tcp::socket s(m_io);
                while (!m_stop && m_acceptor.accept(s, ec) && ec == boost::asio::error::would_block)
                    std::this_thread::sleep_for(5ms);
                if (!ec) {
                    // Late enough for a message to be queued behind the handshake.
                    std::this_thread::sleep_for(300ms);
                    s.close();
                }
            }
        });
    }
    ~ClosingListener()
    {
        m_stop = true;
        m_thread.join();
    }
    unsigned short port() const { return m_acceptor.local_endpoint().port(); }

private:
    boost::asio::io_context m_io;
    boost::asio::ip::tcp::acceptor m_acceptor;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct RefusedFrame {
    const char* name;
    std::string bytes;
    const char* log_line;
};

class ServerLegTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        identity();
        mark = log.text().size();
        if (host)
            host->clear();
        host = std::make_shared<FakeHost>();
        ctag = make_ctag(identity().server_cert.der());
        rtag = make_rtag(ctag);
        thumb = thumbprint_of(identity().server_cert.der());
    }
    void TearDown() override
    {
        if (leg)
            leg->stop();
        threads.stop();
        leg.reset();  // a leg's strand must go before the event loop
        host->clear();
        // The recorded completions may hold the last reference to a leg,
        // whose destructor reports through the closed callback (which locks m).
        std::vector<FakeHost::Forward> old_xml;
        std::vector<std::pair<vexa::ssig::SSIGMap, vexa::ssig_complete_handler_t>> old_maps;
        {
            std::lock_guard<std::mutex> l(m);
            old_xml.swap(xml);
            old_maps.swap(maps);
        }
    }

    std::shared_ptr<SSIGServerConnection> make_leg(const std::string& port, const std::string& sni = "server.sni.test",
                                                   const std::string& leg_rtag = "")
    {
        unsigned char th[32];
        std::memcpy(th, thumb.data(), 32);
        auto l = std::make_shared<SSIGServerConnection>(
            host, threads.io, "127.0.0.1", port, sni, "conn-1", "log-1",
            [](eSESSION_STATE) {}, [this](const std::string& reason) {
                std::lock_guard<std::mutex> g(m);
                closed.push_back(reason);
            },
            ctag, leg_rtag.empty() ? rtag : leg_rtag, th, timings);
        return l;
    }
    // Installs recording forwarders towards the (absent) client leg.
    void record_forwards()
    {
        leg->set_ssig_xml_forwarder([this](const char* text, eVEXA_XML_TYPE type, vexa::ssig_complete_handler_t c) {
            std::lock_guard<std::mutex> l(m);
            xml.push_back({text, type, std::move(c)});
        });
        leg->set_ssig_ksdp_forwarder([this](const vexa::ssig::SSIGMap& map, vexa::ssig_complete_handler_t c) {
            std::lock_guard<std::mutex> l(m);
            maps.emplace_back(map, std::move(c));
        });
    }
    std::size_t xml_count()
    {
        std::lock_guard<std::mutex> l(m);
        return xml.size();
    }
    std::size_t map_count()
    {
        std::lock_guard<std::mutex> l(m);
        return maps.size();
    }
    bool removed() { return wait_until([&] { return host->removed_servers() > 0; }); }

    // Records since the last SetUp (one capture for the whole test: its sink
    // must outlive the legs' threads).
    std::string log_text() { return log.text().substr(mark); }
    bool logged(const std::string& s) { return log_text().find(s) != std::string::npos; }
    std::size_t log_count(const std::string& s)
    {
        std::size_t n = 0;
        const std::string t = log_text();
        for (std::size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + 1))
            ++n;
        return n;
    }
    LegLog log;
    std::size_t mark = 0;
    std::shared_ptr<FakeHost> host;
    std::string ctag, rtag;
    std::vector<unsigned char> thumb;
    vexa::SSIGLegTimings timings;

    std::mutex m;
    std::vector<FakeHost::Forward> xml;
    std::vector<std::pair<vexa::ssig::SSIGMap, vexa::ssig_complete_handler_t>> maps;
    std::vector<std::string> closed;
    std::shared_ptr<SSIGServerConnection> leg;
    // Last: its handlers hold legs whose callbacks use the members above.
    IoThreads threads;
};

// --- connect and TLS -------------------------------------------------------------

TEST_F(ServerLegTest, ConnectsAtOncePresentingTheGatewayCertificateAndTheServerName)
{
    const struct {
        const char* name;
        std::string sni;
        bool plain_tag;
        std::string expected_sni;
    } cases[] = {
        {"tovik rtag", "server.sni.test", false, "server.sni.test"},
        {"tovik rtag, empty name", "", false, ""},
        {"not a tovik rtag", "server.sni.test", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        TlsServer server(identity().server_cert, [](TlsServer::Peer& p) { p.wait_closed(10000); });
        leg = make_leg(std::to_string(server.port()), c.sni, c.plain_tag ? "plain-rtag" : "");
        leg->start();
        ASSERT_TRUE(wait_until([&] { return leg->is_connected(); })) << log_text();
        ASSERT_TRUE(wait_until([&] { return server.accepted_count() == 1; }));
        const TlsServer::Accepted a = server.accepted(0);
        EXPECT_TRUE(a.handshake_ok);
        EXPECT_EQ(a.sni, c.expected_sni);
        EXPECT_EQ(a.client_der, identity().gateway_der());
        EXPECT_TRUE(host->called("invoke_connected(ASNFZ4mrze8A);"));
        vexa::x509_ref cert = leg->get_server_certificate();
        ASSERT_TRUE(cert);
        EXPECT_EQ(der_of(cert.get()), identity().server_cert.der());
        EXPECT_NE(leg->get_server_subject().find("CN=server.kavri.test"), std::string::npos);
        EXPECT_EQ(leg->get_table_key(), kSidB64);
        EXPECT_EQ(leg->get_server_endpoint().port(), server.port());
        EXPECT_EQ(leg->get_resume_count(), 0);
        EXPECT_TRUE(logged(c.plain_tag ? "Server-facing connection does not have tovik tag: using default certificate"
                                              : "Server-facing connection has tovik tag: using default certificate"));
        leg->stop();
        leg.reset();
    }
}

TEST_F(ServerLegTest, APortBeyond65535IsAConstructionError)
{
    EXPECT_THROW(make_leg("65536"), std::invalid_argument);
    EXPECT_THROW(make_leg("123456"), std::invalid_argument);
    EXPECT_NO_THROW(make_leg("65535"));
}

TEST_F(ServerLegTest, FailuresToReachTheServer)
{
    // Resolution fails: removed without asking about resumption.
    leg = make_leg("no-such-service-kavri");
    leg->start();
    EXPECT_TRUE(removed());
    EXPECT_TRUE(logged("Could not connect to Kavri server.  Resolved failed:"));
    EXPECT_FALSE(host->called("is_resumable;"));
    leg->stop();

    // Connect refused: the leg-failure action, resumable or not.
    for (bool resumable : {false, true}) {
        SCOPED_TRACE(resumable);
        SetUp();
        host->resumable = resumable;
        leg = make_leg(std::to_string(closed_port()));
        leg->start();
        EXPECT_TRUE(wait_until([&] { return host->called(resumable ? "cleanup;" : "remove_connection;"); }))
            << host->calls();
        EXPECT_TRUE(host->called("is_resumable;"));
        EXPECT_TRUE(logged("Could not connect to Kavri server.  No more endpoints.  Connect failed:"));
        leg->stop();
    }
}

TEST_F(ServerLegTest, HandshakeFailureWithAndWithoutAQueuedMessage)
{
    for (bool queued : {false, true}) {
        SCOPED_TRACE(queued);
        SetUp();
        ClosingListener listener;
        leg = make_leg(std::to_string(listener.port()));
        std::atomic<int> calls{0};
        std::atomic<bool> failed{false};
        leg->start();
        if (queued)
            leg->handle_client_xml_ssig(golden::kHelloFull, VEXA_XML_TYPE_HELLO, [&](const boost::system::error_code& ec) {
                ++calls;
                failed = bool(ec);
            });
        EXPECT_TRUE(removed());
        EXPECT_TRUE(logged("SSL handshake with Kavri server failed:"));
        EXPECT_TRUE(logged(queued ? "handle_handshake failed @ 2. Deleting all session info."
                                         : "handle_handshake failed @ 3. Deleting all session info."))
            << log_text();
        EXPECT_EQ(calls.load(), queued ? 1 : 0);
        EXPECT_EQ(failed.load(), queued);
        leg->stop();
    }
}

// --- reads -------------------------------------------------------------------------

TEST_F(ServerLegTest, FramesAreForwardedOneAtATime)
{
    // After the HELLO, the server's FAIL is a stanza the leg relays.
    TlsServer server(identity().server_cert, [&](TlsServer::Peer& p) {
        p.send(tlv_frame(24, tlv_value(5, "abcd")));
        p.send(golden::kFailReplyFull);
        p.wait_closed(10000);
    });
    leg = make_leg(std::to_string(server.port()));
    record_forwards();
    leg->handle_client_xml_ssig(golden::kHelloFull, VEXA_XML_TYPE_HELLO, {});
    leg->start();
    ASSERT_TRUE(wait_until([&] { return map_count() == 1; })) << log_text();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(xml_count(), 0u);  // the next frame waits for the forward's completion
    {
        std::lock_guard<std::mutex> l(m);
        EXPECT_EQ(maps[0].first.command_value, 5u);
        maps[0].second(boost::system::error_code());
    }
    ASSERT_TRUE(wait_until([&] { return xml_count() == 1; }));
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(parse_fail(xml[0].text).code, 1033u);
    EXPECT_EQ(xml[0].type, VEXA_XML_TYPE_FAIL);
    EXPECT_EQ(host->removed_servers(), 0u);
}

TEST_F(ServerLegTest, TlvOf4096IsReadAndForwarded)
{
    const std::string value = tlv_value(5, std::string(4096 - 20, 'v'));
    TlsServer server(identity().server_cert, [&](TlsServer::Peer& p) {
        p.send(tlv_frame(4096, value));
        p.wait_closed(10000);
    });
    leg = make_leg(std::to_string(server.port()));
    record_forwards();
    leg->start();
    ASSERT_TRUE(wait_until([&] { return map_count() == 1; }));
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(maps[0].first.find(vexa::ssig::SSIGMap::type_of("data"))->size(), 4076u);
}

TEST_F(ServerLegTest, RefusedFramesRemoveTheSession)
{
    const std::string reject = "<KAVRI><REJECT /></KAVRI>";
    const RefusedFrame cases[] = {
        {"TLV length 0", tlv_frame(0, ""), "SSIG server connection error while reading SSIG APDU header: invalid size"},
        {"TLV length 4097", tlv_frame(4097, std::string(64, 'x')),
         "SSIG server connection error while reading SSIG APDU header: invalid size"},
        {"Content-Length 0", post_frame(reject, 0),
         "SSIG server connection error: HTTP/POST header contains invalid content length"},
        {"Content-Length 4001", post_frame(std::string(100, ' '), 4001),
         "SSIG server connection error: HTTP/POST header contains invalid content length"},
        {"body held beyond Content-Length", post_frame(reject, 5),
         "SSIG server connection error: HTTP/POST header contains invalid content length"},
        {"bogus type", "ABCD" + std::string(20, 'z'), "Unknown SSIG packet type detected: "},
    };
    for (const RefusedFrame& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        std::atomic<bool> closed_by_gateway{false};
        TlsServer server(identity().server_cert, [&](TlsServer::Peer& p) {
            p.send(c.bytes);
            closed_by_gateway = p.wait_closed(5000);
        });
        leg = make_leg(std::to_string(server.port()));
        record_forwards();
        leg->start();
        EXPECT_TRUE(removed());
        EXPECT_TRUE(wait_until([&] { return closed_by_gateway.load(); }));
        EXPECT_TRUE(logged(c.log_line)) << log_text();
        EXPECT_FALSE(host->called("is_resumable;"));
        EXPECT_EQ(map_count() + xml_count(), 0u);
        leg->stop();
        leg.reset();
    }
}

TEST_F(ServerLegTest, TheServerClosingTakesTheLegFailureAction)
{
    TlsServer server(identity().server_cert, [](TlsServer::Peer&) {});
    leg = make_leg(std::to_string(server.port()));
    leg->start();
    EXPECT_TRUE(wait_until([&] { return host->called("remove_connection;"); })) << host->calls();
    EXPECT_TRUE(host->called("is_resumable;"));
    EXPECT_TRUE(logged("SSIG server connection error while reading SSIG packet type: "));
}

// --- writes ------------------------------------------------------------------------

TEST_F(ServerLegTest, AMessageBeforeTheHandshakeIsQueuedAndSentRightAfterIt)
{
    const std::string hello = golden::kHelloFull;
    std::string received;
    std::atomic<bool> got{false};
    TlsServer server(
        identity().server_cert,
        [&](TlsServer::Peer& p) {
            std::string r;
            p.read_exact(r, hello.size());
            received = r;
            got = true;
            p.wait_closed(10000);
        },
        300);
    leg = make_leg(std::to_string(server.port()));
    std::atomic<int> completions{0};
    leg->start();
    leg->handle_client_xml_ssig(hello.c_str(), VEXA_XML_TYPE_HELLO, [&](const boost::system::error_code& ec) {
        EXPECT_FALSE(ec);
        ++completions;
    });
    EXPECT_TRUE(wait_until([&] { return completions.load() == 1; })) << log_text();
    EXPECT_TRUE(logged("Queuing a message for Sending SSIG message to the server: "));
    EXPECT_TRUE(logged("Sending pending SSIG message to the server ..."));
    EXPECT_TRUE(logged("handle_handshake: ---SS---> Changing the session state to NEGOTIATING - ASNFZ4mrze8A"));
    EXPECT_EQ(leg->get_session_state(), NEGOTIATING);
    leg->stop();
    ASSERT_TRUE(wait_until([&] { return got.load(); }));
    EXPECT_EQ(received, hello);
}

TEST_F(ServerLegTest, WritesKeepTheirOrder)
{
    std::string received;
    std::atomic<bool> got{false};
    vexa::ssig::SSIGMap a, b;
    a.command_value = 2;
    a.add(vexa::ssig::SSIGMap::type_of("1spi"), {1, 2, 3, 4});
    b.command_value = 3;
    b.add(vexa::ssig::SSIGMap::type_of("data"), std::vector<uint8_t>(2000, 'b'));
    const std::size_t total = (8 + 12 + 8 + 4) + std::string(golden::kRejectFull).size() + (8 + 12 + 8 + 2000);
    TlsServer server(identity().server_cert, [&](TlsServer::Peer& p) {
        std::string r;
        p.read_exact(r, total);
        received = r;
        got = true;
        p.wait_closed(10000);
    });
    leg = make_leg(std::to_string(server.port()));
    leg->start();
    ASSERT_TRUE(wait_until([&] { return leg->is_connected(); }));
    std::vector<int> order;
    std::mutex om;
    auto note = [&](int i) {
        return [&, i](const boost::system::error_code&) {
            std::lock_guard<std::mutex> l(om);
            order.push_back(i);
        };
    };
    leg->handle_client_ksdp_ssig(a, note(1));
    leg->handle_client_xml_ssig(golden::kRejectFull, VEXA_XML_TYPE_REJECT, note(2));
    leg->handle_client_ksdp_ssig(b, note(3));
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> l(om);
        return order.size() == 3;
    }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    ASSERT_TRUE(wait_until([&] { return got.load(); }));
    ASSERT_EQ(received.size(), total);
    EXPECT_EQ(received.substr(32, std::string(golden::kRejectFull).size()), golden::kRejectFull);
    EXPECT_EQ(received[32 + std::string(golden::kRejectFull).size()], '\0');
}

// --- stop and restart -------------------------------------------------------------

TEST_F(ServerLegTest, RestartConnectsAfreshAndTheOldConnectionsCompletionsAreIgnored)
{
    std::atomic<int> closed_by_gateway{0};
    TlsServer server(identity().server_cert, [&](TlsServer::Peer& p) {
        if (p.wait_closed(10000))
            ++closed_by_gateway;
    });
    leg = make_leg(std::to_string(server.port()));
    leg->start();
    ASSERT_TRUE(wait_until([&] { return leg->is_connected(); }));
    ASSERT_TRUE(leg->restart(false));
    EXPECT_TRUE(wait_until([&] { return closed_by_gateway.load() == 1; }));
    ASSERT_TRUE(wait_until([&] { return server.accepted_count() == 2 && leg->is_connected(); })) << log_text();
    EXPECT_TRUE(server.accepted(1).handshake_ok);
    // The server would resume; the leg offers no session of the first link.
    EXPECT_FALSE(server.accepted(1).resumed);
    EXPECT_EQ(leg->get_resume_count(), 1);
    EXPECT_TRUE(logged("Attempting to restart SSIG connection to the server (resume attempt count = 1)"));
    std::this_thread::sleep_for(200ms);
    // The old connection's aborted read reached no failure action.
    EXPECT_FALSE(host->called("remove_connection;"));
    EXPECT_FALSE(host->called("cleanup;"));
    EXPECT_FALSE(host->called("is_resumable;"));
}

TEST_F(ServerLegTest, RejectedRestartsAreLimitedAndAResumeResetsTheCount)
{
    // Each restart reconnects; a closed port makes every attempt fail fast.
    leg = make_leg(std::to_string(closed_port()));
    leg->start();
    for (unsigned i = 0; i < 6; ++i)
        EXPECT_TRUE(leg->restart(true)) << i;
    EXPECT_EQ(leg->get_rejected_count(), 6u);
    EXPECT_FALSE(leg->restart(true));
    EXPECT_TRUE(logged("Maximum number of KAVRI_REJECTED retries has been reached - 6"));
    EXPECT_EQ(leg->get_rejected_count(), 6u);
    EXPECT_TRUE(leg->restart(false));
    EXPECT_EQ(leg->get_rejected_count(), 0u);
    EXPECT_EQ(leg->get_resume_count(), 7);
}

TEST_F(ServerLegTest, StopSilencesTheLegAndClosesTheConnection)
{
    std::atomic<bool> closed_by_gateway{false};
    TlsServer server(identity().server_cert, [&](TlsServer::Peer& p) { closed_by_gateway = p.wait_closed(10000); });
    leg = make_leg(std::to_string(server.port()));
    leg->start();
    ASSERT_TRUE(wait_until([&] { return leg->is_connected(); }));
    leg->stop();
    EXPECT_TRUE(leg->is_stopped());
    EXPECT_FALSE(leg->is_connected());
    EXPECT_TRUE(wait_until([&] { return closed_by_gateway.load(); }));
    std::atomic<int> late{0};
    leg->handle_client_xml_ssig(golden::kHelloFull, VEXA_XML_TYPE_HELLO, [&](const boost::system::error_code&) { ++late; });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(late.load(), 0);
    EXPECT_FALSE(host->called("remove_connection;"));
    EXPECT_FALSE(host->called("is_resumable;"));
}

TEST_F(ServerLegTest, TheClosedCallbackFiresOnce)
{
    {
        auto l = make_leg("1");
        l->notify_termination("ConnectionTimeout");
        l->notify_termination("ResumeTimeout");
    }
    {
        auto l = make_leg("1");
    }
    {
        auto l = make_leg("1");
        l->clear_broker_callbacks();
    }
    std::lock_guard<std::mutex> g(m);
    EXPECT_EQ(closed, (std::vector<std::string>{"ConnectionTimeout", "Unknown"}));
}

}  // namespace

// A slow server: every frame arrives one byte per TLS record, the last one
// is cut off by a close; each complete frame is handled, the cut one removes
// the session.
TEST_F(ServerLegTest, FramesDribbledByteByByteThenACloseMidFrame)
{
    const std::string first = tlv_frame(24, tlv_value(5, "abcd"));
    const std::string fail = golden::kFailReplyFull;
    TlsServer server(identity().server_cert, [&](TlsServer::Peer& p) {
        for (const std::string& f : {first, fail, first.substr(0, 10)})
            for (char ch : f) {
                if (!p.send(std::string(1, ch)))
                    return;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
    });
    leg = make_leg(std::to_string(server.port()));
    record_forwards();
    leg->handle_client_xml_ssig(golden::kHelloFull, VEXA_XML_TYPE_HELLO, {});
    leg->start();
    ASSERT_TRUE(wait_until([&] { return map_count() == 1; })) << log_text();
    {
        std::lock_guard<std::mutex> l(m);
        EXPECT_EQ(maps[0].first.command_value, 5u);
        maps[0].second(boost::system::error_code());
    }
    ASSERT_TRUE(wait_until([&] { return xml_count() == 1; }));
    {
        std::lock_guard<std::mutex> l(m);
        EXPECT_EQ(parse_fail(xml[0].text).code, 1033u);
        xml[0].completion(boost::system::error_code());
    }
    EXPECT_TRUE(wait_until([&] { return host->called("remove_connection;"); })) << host->calls();
}
