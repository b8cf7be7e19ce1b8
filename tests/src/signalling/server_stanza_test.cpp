// The server leg's handling of the server's stanzas and INVITE_OK, against
// a scripted loopback TLS server and a fake host: the test plays the client
// leg (what it sends through the leg, and recording forwarders that complete
// at once, as a client leg's write does).
#include "LegTestSupport.h"

#include "FailReply.h"
#include "HelloHop.h"
#include "ServerReplies.h"
#include "SsigFrame.h"
#include "TestIdentity.h"
#include "TlsTestServer.h"
#include "golden_values.h"
#include "vexa_xml_version.h"

#include <gtest/gtest.h>

#include <map>

using namespace legtest;
using kavri_test::HelloHop;
using kavri_test::SsigFrame;
using vexa::SSIGServerConnection;
using vexa::ssig::SSIGMap;
namespace replies = kavri_test::server_replies;

namespace {

using Element = SsigFrame::Element;

sVEXA_XML_MITM_HELLO hop(const std::string& version, const std::string& name, uint64_t spi = 0)
{
    sVEXA_XML_MITM_HELLO h{};
    std::strncpy(h.version, version.c_str(), sizeof h.version - 1);
    std::strncpy(h.name, name.c_str(), sizeof h.name - 1);
    h.spi = spi;
    return h;
}

// A frame in the reply form, split as a test peer reads it.
SsigFrame reply_frame(const std::string& text)
{
    SsigFrame f;
    f.kind = SsigFrame::Kind::Reply;
    f.bytes = text;
    const std::size_t end = text.find("\r\n\r\n");
    f.header = end == std::string::npos ? text : text.substr(0, end + 4);
    f.body = end == std::string::npos ? "" : text.substr(end + 4);
    return f;
}

std::string bytes_of(std::initializer_list<int> v)
{
    std::string s;
    for (int b : v)
        s += char(b);
    return s;
}

// The client's HELLO as the gateway rebuilt it: one upstream hop, then the gateway.
const std::vector<HelloHop> kExpectedHops = {{"1.0", "client.mitm", 0}, {"1.0", "gw.kavri.test", 0}};

std::string hex(const uint8_t* p, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

// A VERSION (reply form) the stanza library validates with key but refuses
// to write again: its upstream hop has an empty name, signed as it stands.
std::string unwritable_version(const std::string& key)
{
    std::string body = replies::version(key, "1.1", "1.0", kExpectedHops, 300);
    body = body.substr(body.find("<KAVRI>"));
    const std::string named = "name=\"client.mitm\"";
    body.replace(body.find(named), named.size(), "name=\"\"");
    sVEXA_XML_VERSION rec{};
    std::strcpy(rec.requested_version, "1.1");
    std::strcpy(rec.version, "1.0");
    rec.spi = 300;
    HelloHop::to(kExpectedHops, rec.mitm_hellos);
    rec.mitm_hellos.mitm[0].name[0] = '\0';
    uint8_t requested[32], negotiated[32];
    if (!xml_intern_version_signatures(&rec, key.c_str(), requested, negotiated))
        return "";
    for (const auto& [tag, sig] : {std::make_pair(std::string("REQUESTED>"), requested),
                                   std::make_pair(std::string("NEGOTIATED>"), negotiated)}) {
        const std::size_t at = body.find("<" + tag) + tag.size() + 1;
        body.replace(at, 64, hex(sig, 32));
    }
    return SsigFrame::reply(body);
}

class ServerStanzaTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        identity();
        ctag = make_ctag(identity().server_cert.der());
        rtag = make_rtag(ctag);
        fresh();
    }
    // A new case on the same event loop: a new host, server and leg.
    void fresh()
    {
        if (leg)
            leg->stop();
        leg.reset();
        if (host)
            host->clear();
        if (server)
            server->stop();
        host = std::make_shared<FakeHost>();
        for (const HelloHop& h : kExpectedHops)
            host->client_hops.push_back(hop(h.version, h.name, h.spi));
        server = std::make_unique<kavri_test::TlsTestServer>(server_identity());
        std::lock_guard<std::mutex> l(m);
        xml.clear();
        maps.clear();
        states.clear();
        closed.clear();
        mark = log.text().size();
    }
    void TearDown() override
    {
        if (leg)
            leg->stop();
        threads.stop();
        leg.reset();  // a leg's strand must go before the event loop
        host->clear();
        server->stop();
    }

    static kavri_test::TestIdentity::ptr server_identity()
    {
        static kavri_test::TestIdentity::ptr id = kavri_test::TestIdentity::self_signed("server.kavri.test");
        return id;
    }

    void make_leg()
    {
        unsigned char th[32] = {0};
        leg = std::make_shared<SSIGServerConnection>(
            host, threads.io, "127.0.0.1", std::to_string(server->port()), "server.sni.test", "conn-1", "log-1",
            [this](eSESSION_STATE s) {
                std::lock_guard<std::mutex> l(m);
                states.push_back(s);
            },
            [this](const std::string& reason) {
                std::lock_guard<std::mutex> l(m);
                closed.push_back(reason);
            },
            ctag, rtag, th);
    }
    // The client leg's side of the wiring: what the leg relays is recorded
    // and its write completes at once.
    void wire_forwarders()
    {
        leg->set_ssig_xml_forwarder([this](const char* text, eVEXA_XML_TYPE type, vexa::ssig_complete_handler_t c) {
            {
                std::lock_guard<std::mutex> l(m);
                xml.push_back({text, type, {}});
            }
            c(boost::system::error_code());
        });
        leg->set_ssig_ksdp_forwarder([this](const SSIGMap& map, vexa::ssig_complete_handler_t c) {
            {
                std::lock_guard<std::mutex> l(m);
                maps.push_back(map);
            }
            c(boost::system::error_code());
        });
    }
    // Starts the leg and sends the client's stanza (HELLO, REJECT, or none
    // for -99) through it; the server's end of the connection, having read it.
    std::shared_ptr<kavri_test::TlsServerConnection> open(int sent, bool forwarders = true)
    {
        make_leg();
        if (forwarders)
            wire_forwarders();
        leg->start();
        auto conn = server->accept();
        if (!conn)
            return conn;
        if (sent == VEXA_XML_TYPE_HELLO || sent == VEXA_XML_TYPE_REJECT)
            send_client_stanza(*conn, eVEXA_XML_TYPE(sent));
        return conn;
    }
    void send_client_stanza(kavri_test::TlsServerConnection& conn, eVEXA_XML_TYPE type)
    {
        leg->handle_client_xml_ssig(type == VEXA_XML_TYPE_HELLO ? golden::kHelloFull : golden::kRejectFull, type, {});
        auto f = conn.read_frame();
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->kind, SsigFrame::Kind::Post);
    }

    std::size_t xml_count()
    {
        std::lock_guard<std::mutex> l(m);
        return xml.size();
    }
    FakeHost::Forward relayed(std::size_t i)
    {
        std::lock_guard<std::mutex> l(m);
        return xml.at(i);
    }
    std::vector<SSIGMap> relayed_maps()
    {
        std::lock_guard<std::mutex> l(m);
        return maps;
    }
    bool removed() { return wait_until([&] { return host->removed_servers() > 0; }); }
    // Nothing more is relayed or removed for a while.
    bool quiet_for(std::size_t relayed_count, std::chrono::milliseconds wait = 400ms)
    {
        std::this_thread::sleep_for(wait);
        return xml_count() == relayed_count && host->removed_servers() == 0;
    }
    // Records of the current case.
    std::string log_text() { return log.text().substr(mark); }
    bool logged(const std::string& s) { return log_text().find(s) != std::string::npos; }

    std::string version(const std::vector<HelloHop>& hops, const std::string& key = "",
                        const std::string& negotiated = "1.0")
    {
        return replies::version(key.empty() ? ctag : key, "1.1", negotiated, hops, 300);
    }

    LegLog log;
    std::size_t mark = 0;
    std::shared_ptr<FakeHost> host;
    std::string ctag, rtag;
    std::unique_ptr<kavri_test::TlsTestServer> server;
    std::mutex m;
    std::vector<FakeHost::Forward> xml;
    std::vector<SSIGMap> maps;
    std::vector<eSESSION_STATE> states;
    std::vector<std::string> closed;
    std::shared_ptr<SSIGServerConnection> leg;
    IoThreads threads;
};

std::vector<std::string> names(const std::vector<HelloHop>& hops)
{
    std::vector<std::string> out;
    for (const auto& h : hops)
        out.push_back(h.name);
    return out;
}

// --- VERSION ----------------------------------------------------------------------

TEST_F(ServerStanzaTest, AVersionIsRelayedSignedWithTheRtag)
{
    // The server answered the gateway's SPI preference: only name and version are compared.
    std::vector<HelloHop> hops = kExpectedHops;
    hops[1].spi = 4096;
    auto conn = open(VEXA_XML_TYPE_HELLO);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(conn->send(version(hops)));
    ASSERT_TRUE(wait_until([&] { return xml_count() == 1; })) << log_text();
    const FakeHost::Forward f = relayed(0);
    EXPECT_EQ(f.type, VEXA_XML_TYPE_VERSION);
    EXPECT_EQ(f.text.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << f.text;
    sVEXA_XML_VERSION rec{};
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    ASSERT_EQ(vexa_xml_parse_version(f.text.c_str(), f.text.size(), &type, &rec), 0) << f.text;
    EXPECT_EQ(vexa_xml_validate_version(&rec, rtag.c_str()), 0);
    EXPECT_NE(vexa_xml_validate_version(&rec, ctag.c_str()), 0);
    EXPECT_EQ(HelloHop::from(rec.mitm_hellos), hops);
    EXPECT_EQ(rec.spi, 300u);
    EXPECT_TRUE(logged("Received KAVRI_VERSION message from the server"));
    EXPECT_TRUE(host->called("get_client_info(ASNFZ4mrze8A);"));

    // The leg reads on: a later FAIL that keeps the session is relayed too.
    ASSERT_TRUE(conn->send(replies::fail(1036, "later")));
    ASSERT_TRUE(wait_until([&] { return xml_count() == 2; })) << log_text();
    EXPECT_EQ(parse_fail(relayed(1).text).code, 1036u);
    EXPECT_EQ(host->removed_servers(), 0u);
}

TEST_F(ServerStanzaTest, EveryVersionFailureAnswersFail1035AndRemovesTheSession)
{
    std::vector<HelloHop> renamed = kExpectedHops, reversioned = kExpectedHops;
    renamed[1].name = "gw.kavri.tesT";
    reversioned[1].version = "1.1";
    // A stanza the library accepts whose relayed form no longer fits a
    // frame: the merge refuses it (the reason is cut to 79 characters).
    std::string big = version(kExpectedHops);
    big = big.substr(big.find("<KAVRI>"));
    const std::string pad_open = "<PADDING>", pad_close = "</PADDING>";
    const std::size_t close_at = big.find("</VERSION>");
    big.insert(close_at, pad_open + std::string(4000 - big.size() - pad_open.size() - pad_close.size(), 'p') + pad_close);

    const struct {
        const char* name;
        std::string frame;
        bool client_known;
        std::string reason;
    } cases[] = {
        {"unparsable", SsigFrame::reply("<KAVRI><VERSION spi=\"300\"></VERSION></KAVRI>"), true,
         "SG receive an invalid KAVRI_VERSION (error in parsing VERSION)"},
        {"signed with the rtag", version(kExpectedHops, rtag), true,
         "SG received invalid KAVRI_VERSION message (failed to validate XML)"},
        {"negotiated 2.0", version(kExpectedHops, "", "2.0"), true,
         "SG received invalid KAVRI_VERSION message (failed to validate XML)"},
        {"gateway hop missing", version({kExpectedHops[0]}), true,
         "SG received invalid KAVRI_VERSION message (detected tampered MITM entries)"},
        {"gateway hop renamed", version(renamed), true,
         "SG received invalid KAVRI_VERSION message (detected tampered MITM entries)"},
        {"gateway hop version changed", version(reversioned), true,
         "SG received invalid KAVRI_VERSION message (detected tampered MITM entries)"},
        {"client's hops unknown", version(kExpectedHops), false,
         "SG received invalid KAVRI_VERSION message (detected tampered MITM entries)"},
        {"cannot be written again", unwritable_version(ctag), true,
         std::string("SG detected invalid KAVRI_VERSION message (failed to generate KAVRI_VERSION message to "
                     "forward)").substr(0, 79)},
        {"relayed form too large", SsigFrame::reply(big), true,
         std::string("SG detected invalid KAVRI_VERSION message (failed to merge the KAVRI_VERSION message to "
                     "forward)").substr(0, 79)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        host->have_client = c.client_known;
        if (!c.client_known)
            host->client_hops.clear();
        auto conn = open(VEXA_XML_TYPE_HELLO);
        ASSERT_TRUE(conn);
        ASSERT_FALSE(c.frame.empty());
        ASSERT_TRUE(conn->send(c.frame));
        ASSERT_TRUE(wait_until([&] { return xml_count() == 1; })) << log_text();
        const FakeHost::Forward f = relayed(0);
        EXPECT_EQ(f.type, VEXA_XML_TYPE_FAIL);
        EXPECT_EQ(f.text.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
        const ParsedFail fail = parse_fail(f.text);
        ASSERT_TRUE(fail.ok) << f.text;
        EXPECT_EQ(fail.code, 1035u);
        EXPECT_EQ(fail.reason, c.reason);
        EXPECT_EQ(fail.hop_names, c.client_known ? names(kExpectedHops) : std::vector<std::string>());
        // (The FAIL was relayed before the removal silenced the leg.)
        EXPECT_TRUE(removed());
        const std::map<std::string, const char*> error_lines = {
            {"unparsable", "failed to parse XML VERSION, xml="},
            {"cannot be written again", "failed to rewrite XML VERSION for Kavri client, xml="},
            {"relayed form too large", "failed to merge rewritten XML VERSION for Kavri client, xml="},
        };
        if (error_lines.count(c.name)) {
            EXPECT_TRUE(logged(error_lines.at(c.name))) << log_text();
        }
        if (std::string(c.name) == "gateway hop renamed") {
            EXPECT_TRUE(logged("KAVRI_VERSION XML invalid: Kavri Security Gateway fails to find its MITM entry in "
                               "the KAVRI_VERSION from Kavri server.  XML: "));
            EXPECT_TRUE(logged("Expected MITMs: MITM[0]: name - client.mitm; version - 1.0 MITM[1]: name - "
                               "gw.kavri.test; version - 1.0"));
        }
    }
}

TEST_F(ServerStanzaTest, WithoutAForwarderNothingIsRelayedAndTheSessionIsRemoved)
{
    const struct {
        const char* name;
        int sent;
        std::string frame;
        const char* log_line;
    } cases[] = {
        {"VERSION", VEXA_XML_TYPE_HELLO, "", "failed to find client to send XML VERSION to, xml="},
        {"FAIL", VEXA_XML_TYPE_HELLO, replies::fail(1036, "x"), "failed to find client to send KAVRI_FAIL XML to, xml="},
        {"REJECTED", VEXA_XML_TYPE_REJECT, replies::rejected(),
         "failed to find client when handling KAVRI_REJECTED XML, xml="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        auto conn = open(c.sent, false);
        ASSERT_TRUE(conn);
        ASSERT_TRUE(conn->send(c.frame.empty() ? version(kExpectedHops) : c.frame));
        EXPECT_TRUE(removed());
        EXPECT_TRUE(wait_until([&] { return logged(c.log_line); })) << log_text();
        // No reconnection either.
        EXPECT_TRUE(server->no_connection_for(300ms));
        EXPECT_EQ(xml_count(), 0u);
    }
}

// --- FAIL -------------------------------------------------------------------------

TEST_F(ServerStanzaTest, ServerFailsAreRelayedAndOnlySomeEndTheSession)
{
    const std::vector<HelloHop> server_hops = {{"1.0", "client.mitm", 0}, {"1.0", "gw.kavri.test", 0},
                                               {"1.1", "server.side", 512}};
    const struct {
        const char* name;
        int sent;
        std::string frame;
        bool relayed;
        bool kept;
    } cases[] = {
        {"1033 kept", VEXA_XML_TYPE_HELLO, replies::fail(1033, "server said 1033", server_hops), true, true},
        {"1036 kept", VEXA_XML_TYPE_HELLO, replies::fail(1036, "server said 1036", server_hops), true, true},
        {"1038 kept", VEXA_XML_TYPE_HELLO, replies::fail(1038, "server said 1038", server_hops), true, true},
        {"1034 ends it", VEXA_XML_TYPE_HELLO, replies::fail(1034, "server said 1034", server_hops), true, false},
        {"after a REJECT", VEXA_XML_TYPE_REJECT, replies::fail(1040, "server said 1040", server_hops), true, false},
        {"unparsable", VEXA_XML_TYPE_HELLO, SsigFrame::reply("<KAVRI><FAIL></FAIL></KAVRI>"), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        auto conn = open(c.sent);
        ASSERT_TRUE(conn);
        ASSERT_TRUE(conn->send(c.frame));
        if (c.relayed) {
            ASSERT_TRUE(wait_until([&] { return xml_count() == 1; })) << log_text();
            const FakeHost::Forward f = relayed(0);
            EXPECT_EQ(f.type, VEXA_XML_TYPE_FAIL);
            EXPECT_EQ(f.text.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
            const auto reply = kavri_test::FailReply::parse(reply_frame(f.text));
            ASSERT_TRUE(reply.has_value()) << f.text;
            EXPECT_TRUE(reply->reply_form);
            const auto sent = kavri_test::FailReply::parse(reply_frame(c.frame));
            EXPECT_EQ(reply->code, sent->code);
            EXPECT_EQ(reply->reason, sent->reason);
            EXPECT_EQ(reply->hops, server_hops);
        }
        if (!c.kept) {
            EXPECT_TRUE(removed());
            if (!c.relayed) {
                EXPECT_TRUE(logged("failed to parse KAVRI_FAIL XML from Kavri server, xml="));
            }
            EXPECT_EQ(xml_count(), c.relayed ? 1u : 0u);
            continue;
        }
        // Kept: the leg reads on, and a VERSION is still accepted.
        ASSERT_TRUE(conn->send(version(kExpectedHops)));
        ASSERT_TRUE(wait_until([&] { return xml_count() == 2; })) << log_text();
        EXPECT_EQ(relayed(1).type, VEXA_XML_TYPE_VERSION);
        EXPECT_EQ(host->removed_servers(), 0u);
    }
}

// --- unexpected stanzas -------------------------------------------------------------

TEST_F(ServerStanzaTest, AStanzaTheNegotiationDoesNotExpectIsDroppedAndNothingMoreIsRead)
{
    const struct {
        const char* name;
        int sent;
        std::string frame;
        const char* log_line;
    } cases[] = {
        {"VERSION before any client stanza", -99, "",
         "Unexpected XML (type 1) received from Kavri server. Last XML type to server: -99; Received XML: <KAVRI>"},
        {"VERSION after a REJECT", VEXA_XML_TYPE_REJECT, "",
         "Unexpected XML (type 1) received from Kavri server. Last XML type to server: 2; Received XML: <KAVRI>"},
        {"REJECTED after a HELLO", VEXA_XML_TYPE_HELLO, replies::rejected(),
         "Unexpected XML (type 4) received from Kavri server. Last XML type to server: 0; Received XML: "},
        {"a HELLO", VEXA_XML_TYPE_HELLO, SsigFrame::reply(golden::kHelloBody),
         "Unexpected XML (type 0) received from Kavri server. Last XML type to server: 0; Received XML: "},
        {"an unknown stanza", VEXA_XML_TYPE_HELLO, SsigFrame::reply("<KAVRI><RENEW /></KAVRI>"),
         "Unexpected XML (type -98) received from Kavri server. Last XML type to server: 0; Received XML: "},
        {"not XML", VEXA_XML_TYPE_HELLO, SsigFrame::reply("hello there"),
         "received from Kavri server. Last XML type to server: 0; Received XML: hello there"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        auto conn = open(c.sent);
        ASSERT_TRUE(conn);
        ASSERT_TRUE(conn->send(c.frame.empty() ? version(kExpectedHops) : c.frame));
        EXPECT_TRUE(wait_until([&] { return logged(c.log_line); })) << log_text();
        // Not even a FAIL that would be relayed is read now.
        ASSERT_TRUE(conn->send(replies::fail(1036, "unread")));
        EXPECT_TRUE(quiet_for(0));
        EXPECT_TRUE(conn->open_and_silent(100ms));
    }
}

// --- REJECTED ---------------------------------------------------------------------

TEST_F(ServerStanzaTest, RejectedReconnectsUpToSixTimesThenTheClientGetsFail1037)
{
    auto conn = open(VEXA_XML_TYPE_REJECT);
    ASSERT_TRUE(conn);
    for (int i = 1; i <= 6; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(conn->send(replies::rejected()));
        // The old connection is closed and a new one made...
        EXPECT_TRUE(conn->wait_closed(5000ms));
        conn = server->accept();
        ASSERT_TRUE(conn) << log_text();
        ASSERT_TRUE(wait_until([&] { return leg->is_connected(); }));
        EXPECT_TRUE(logged("Attempting to restart SSIG connection to the server (KAVRI_REJECTED count = " +
                           std::to_string(i) + ")"));
        EXPECT_EQ(leg->get_rejected_count(), unsigned(i));
        // ... on which the client leg wires itself again and sends its REJECT again.
        wire_forwarders();
        send_client_stanza(*conn, VEXA_XML_TYPE_REJECT);
    }
    ASSERT_TRUE(conn->send(replies::rejected()));
    ASSERT_TRUE(wait_until([&] { return xml_count() == 1; })) << log_text();
    const FakeHost::Forward f = relayed(0);
    EXPECT_EQ(f.type, VEXA_XML_TYPE_FAIL);
    const ParsedFail fail = parse_fail(f.text);
    EXPECT_EQ(fail.code, 1037u);
    EXPECT_EQ(fail.reason, "Security Gateway received too many KAVRI_REJECTED from the MITM devices");
    EXPECT_EQ(fail.hop_names, names(kExpectedHops));
    EXPECT_TRUE(logged("Failed to connect to server. Received 6 KAVRI_REJECTED messages (MITM is sending untrusted "
                       "certificate) - ASNFZ4mrze8A"));
    EXPECT_TRUE(logged("Maximum number of KAVRI_REJECTED retries has been reached - 6"));
    // No seventh reconnection; the session is kept and the leg reads on.
    EXPECT_TRUE(server->no_connection_for(300ms));
    EXPECT_TRUE(leg->is_connected());
    EXPECT_EQ(server->tcp_accepts(), 7u);
    ASSERT_TRUE(conn->send(replies::fail(1036, "after 1037")));
    ASSERT_TRUE(wait_until([&] { return xml_count() == 2; })) << log_text();
    EXPECT_EQ(parse_fail(relayed(1).text).code, 1036u);
    EXPECT_EQ(host->removed_servers(), 0u);
    EXPECT_EQ(host->calls().find("remove_connection;"), std::string::npos);
}

TEST_F(ServerStanzaTest, ARejectedRestartLeavesAStoppedLegStopped)
{
    auto conn = open(-99);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(wait_until([&] { return leg->is_connected(); }));
    leg->stop();
    EXPECT_FALSE(leg->restart(true));
    EXPECT_TRUE(leg->is_stopped());
    EXPECT_EQ(leg->get_rejected_count(), 0u);
    EXPECT_TRUE(server->no_connection_for(300ms));
    // A resumption's restart is what revives a stopped leg.
    EXPECT_TRUE(leg->restart(false));
    EXPECT_FALSE(leg->is_stopped());
    EXPECT_TRUE(server->accept());
}

// --- INVITE_OK ----------------------------------------------------------------------

// Restores the settings an INVITE_OK test changes.
class ConfigScope {
public:
    void set(const std::string& key, const std::string& value)
    {
        vexa::Config& c = *vexa::Config::get_instance();
        m_saved.emplace_back(key, c.get(key));
        c.set(key, value);
    }
    ~ConfigScope()
    {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it)
            vexa::Config::get_instance()->set(it->first, it->second);
    }

private:
    std::vector<std::pair<std::string, std::string>> m_saved;
};

SSIGMap client_invite(const std::vector<std::pair<const char*, std::vector<uint8_t>>>& elements)
{
    SSIGMap m;
    m.command_value = 0;
    for (const auto& e : elements) {
        uint32_t type = 0;
        for (int i = 0; i < 4; ++i)
            type = (type << 8) | uint8_t(e.first[i]);
        m.add(type, e.second);
    }
    return m;
}

std::vector<uint8_t> seq(std::size_t n, uint8_t first)
{
    std::vector<uint8_t> b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = uint8_t(first + i);
    return b;
}

std::string text(const std::vector<uint8_t>& v)
{
    return std::string(v.begin(), v.end());
}

const std::vector<uint8_t> kClientKey1 = seq(16, 0x80), kClientSpi1 = {0xC1, 0xC2, 0xC3, 0xC4},
                           kClientSalt1 = {0x11, 0x12, 0x13, 0x14};
const std::vector<uint8_t> kClientKey2 = seq(32, 0x90), kClientSpi2 = {0xD1, 0xD2, 0xD3, 0xD4},
                           kClientSalt2 = {0x21, 0x22, 0x23, 0x24};

SSIGMap both_client_sets()
{
    return client_invite({{"1key", kClientKey1}, {"1spi", kClientSpi1}, {"1slt", kClientSalt1},
                          {"2key", kClientKey2}, {"2spi", kClientSpi2}, {"2slt", kClientSalt2}});
}

uint32_t wire(const std::vector<uint8_t>& b)
{
    uint32_t v = 0;
    std::memcpy(&v, b.data(), 4);
    return v;
}

std::vector<Element> server_set(int n, std::size_t key_size = 16)
{
    const std::string k = std::to_string(n);
    return {{k + "key", text(seq(key_size, uint8_t(0x10 * n)))},
            {k + "spi", bytes_of({0xA0 + n, 0xA1, 0xA2, 0xA3})},
            {k + "slt", bytes_of({0x01, 0x02, 0x03, n})}};
}

class InviteOkTest : public ServerStanzaTest {
protected:
    // The client's INVITE through the leg, read by the server; then the
    // server's INVITE_OK, and what the leg relayed of it.
    SSIGMap exchange(kavri_test::TlsServerConnection& conn, const SSIGMap& invite, std::vector<Element> invite_ok)
    {
        const std::size_t before = relayed_maps().size();
        leg->handle_client_ksdp_ssig(invite, {});
        auto f = conn.read_frame();
        EXPECT_TRUE(f && f->kind == SsigFrame::Kind::Tlv && f->tlv_command() == SsigFrame::INVITE);
        EXPECT_TRUE(conn.send(SsigFrame::tlv(SsigFrame::INVITE_OK, invite_ok)));
        EXPECT_TRUE(wait_until([&] { return relayed_maps().size() == before + 1; })) << log_text();
        const auto all = relayed_maps();
        return all.empty() ? SSIGMap() : all.back();
    }
    ConfigScope config;
};

TEST_F(InviteOkTest, TheTunnelsGoToTheConnectedServerAndTheClientGetsTheGatewaysAddress)
{
    config.set("ExternalRoutableIP", "198.51.100.7");
    config.set("ExternalRoutableUDPPort", "0");
    config.set("ConnectionServerExternalRoutablePort", "4173");
    config.set("DisableAES128GCM", "0");
    auto conn = open(-99);
    ASSERT_TRUE(conn);
    std::vector<Element> ok = server_set(1);
    ok.insert(ok.end(), {{"ksrp", bytes_of({0, 0, 0, 0x3C})},
                         {"stag", "t"},
                         {"cprt", bytes_of({0x1F, 0x90})},
                         {"cipa", "10.9.8.7"},
                         {"kclr", bytes_of({1})}});
    const SSIGMap relayed_ok = exchange(*conn, both_client_sets(), ok);

    EXPECT_TRUE(logged("Received SSIG INVITE_OK message from the server"));
    EXPECT_EQ(relayed_ok.command_value, 1u);
    EXPECT_EQ(text(*relayed_ok.find(SSIGMap::type_of("cipa"))), "198.51.100.7");
    EXPECT_EQ(*relayed_ok.find(SSIGMap::type_of("cprt")), (std::vector<uint8_t>{0x10, 0x4D}));
    EXPECT_EQ(relayed_ok.find(SSIGMap::type_of("1key"))->size(), 16u);
    EXPECT_EQ(leg->get_resume_timeout(), 60u);
    EXPECT_TRUE(leg->is_resumable());

    const auto tunnels = host->tunnels();
    ASSERT_EQ(tunnels.size(), 1u);
    const FakeHost::Tunnel& t = tunnels[0];
    // The media address is the signalling connection's, not the cipa.
    EXPECT_EQ(t.server_udp, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 8080));
    EXPECT_EQ(t.client_key, kClientKey1);
    EXPECT_EQ(t.client_spi, wire(kClientSpi1));
    EXPECT_EQ(t.client_salt, 0x11121314u);
    EXPECT_EQ(t.server_key, seq(16, 0x10));
    EXPECT_EQ(t.server_spi, wire({0xA1, 0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(t.server_salt, 0x01020301u);
    EXPECT_EQ(t.clear_header, 1);
    EXPECT_EQ(t.resume_timeout, 60u);
    EXPECT_EQ(t.rtag, rtag);
    EXPECT_EQ(t.connection_id, "conn-1");
    EXPECT_EQ(t.session_id, kSidB64);
    EXPECT_EQ(t.session_log_id, "log-1");
    ASSERT_TRUE(t.state_callback);
    ASSERT_TRUE(t.closed_callback);
    // The relay's copy of the closed callback reaches the broker.
    t.closed_callback("ConnectionTimeout");
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(closed, std::vector<std::string>{"ConnectionTimeout"});
}

TEST_F(InviteOkTest, WhatTheTunnelsCameToTheClientGetsTheRewrittenInviteOk)
{
    config.set("ExternalRoutableIP", "198.51.100.7");
    config.set("ExternalRoutableUDPPort", "5000");
    const struct {
        const char* name;
        std::vector<Element> ok;
        std::string tunnel_error;
        const char* log_line;
    } cases[] = {
        {"no port", server_set(1), "", "Could not retrieve port from Kavri server INVITE_OK message"},
        {"key of 24 bytes", [] {
             auto v = server_set(1, 24);
             v.push_back({"cprt", bytes_of({0x1F, 0x90})});
             v.push_back({"cipa", "10.9.8.7"});
             return v;
         }(),
         "", "Kavri server INVITE_OK message has wrong key size 24"},
        {"the relay refuses", [] {
             auto v = server_set(1);
             v.push_back({"cprt", bytes_of({0x1F, 0x90})});
             v.push_back({"cipa", "10.9.8.7"});
             return v;
         }(),
         "duplicate SPI", "Failed to set up UDP tunnel: duplicate SPI"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        host->tunnel_error = c.tunnel_error;
        auto conn = open(-99);
        ASSERT_TRUE(conn);
        const SSIGMap relayed_ok = exchange(*conn, both_client_sets(), c.ok);
        EXPECT_TRUE(logged(c.log_line)) << log_text();
        EXPECT_TRUE(host->tunnels().empty());
        EXPECT_EQ(host->called("setup_tunnel("), !c.tunnel_error.empty());
        const auto* cipa = relayed_ok.find(SSIGMap::type_of("cipa"));
        const auto* cprt = relayed_ok.find(SSIGMap::type_of("cprt"));
        if (cipa) {
            EXPECT_EQ(text(*cipa), "198.51.100.7");
        }
        // An element the server did not send is not added.
        EXPECT_EQ(cprt == nullptr, std::string(c.name) == "no port");
        if (cprt) {
            EXPECT_EQ(*cprt, (std::vector<uint8_t>{0x13, 0x88}));
        }
        EXPECT_EQ(host->removed_servers(), 0u);
    }
}

TEST_F(InviteOkTest, KeySetsNeverCarryOverToTheNextNegotiation)
{
    config.set("DisableAES128GCM", "0");
    config.set("EnableResumeWithoutStag", "0");
    auto conn = open(-99);
    ASSERT_TRUE(conn);
    const Element port = {"cprt", bytes_of({0x1F, 0x90})};

    // 1: the server answers with set 2: the client's set 2 goes with it.
    auto ok = server_set(2, 32);
    ok.push_back(port);
    ok.push_back({"ksrp", bytes_of({0, 0, 0, 0x3C})});
    ok.push_back({"stag", "t"});
    exchange(*conn, both_client_sets(), ok);
    ASSERT_EQ(host->tunnels().size(), 1u);
    EXPECT_EQ(host->tunnels()[0].client_key, kClientKey2);
    EXPECT_EQ(host->tunnels()[0].server_key.size(), 32u);
    EXPECT_EQ(leg->get_resume_timeout(), 60u);

    // 2: a new INVITE offers set 1 only; an answer with set 2 finds no
    // client set 2 (the last INVITE's is gone). ksrp without stag: not resumable.
    const SSIGMap set1_only =
        client_invite({{"1key", kClientKey1}, {"1spi", kClientSpi1}, {"1slt", kClientSalt1}});
    ok = server_set(2, 32);
    ok.push_back(port);
    ok.push_back({"ksrp", bytes_of({0, 0, 0, 0x3C})});
    exchange(*conn, set1_only, ok);
    EXPECT_TRUE(logged("Kavri client INVITE message has wrong key size: 0"));
    EXPECT_TRUE(logged("SSIG server did not send stag KSDP; current configuration does not permit session resume "
                       "without it."));
    EXPECT_EQ(leg->get_resume_timeout(), 0u);
    EXPECT_EQ(host->tunnels().size(), 1u);

    // 3: set 1 both ways: set 1's values, nothing of the first negotiation.
    ok = server_set(1);
    ok.push_back(port);
    exchange(*conn, set1_only, ok);
    ASSERT_EQ(host->tunnels().size(), 2u);
    const FakeHost::Tunnel t = host->tunnels()[1];
    EXPECT_EQ(t.client_key, kClientKey1);
    EXPECT_EQ(t.client_spi, wire(kClientSpi1));
    EXPECT_EQ(t.server_key, seq(16, 0x10));
    EXPECT_EQ(t.resume_timeout, 0u);
}

// --- session states ---------------------------------------------------------------------

TEST_F(ServerStanzaTest, OnlyChangesReachTheBrokerAndOnlyTheStatesItWants)
{
    make_leg();
    const eSESSION_STATE reports[] = {ACTIVE, ACTIVE, INTERRUPTED, PENDING_RESUME, PENDING_RESUME,
                                      NEGOTIATING, PENDING_INIT, ACTIVE};
    for (eSESSION_STATE s : reports)
        leg->udp_state_change_callback(s);
    {
        std::lock_guard<std::mutex> l(m);
        EXPECT_EQ(states, (std::vector<eSESSION_STATE>{ACTIVE, INTERRUPTED, PENDING_RESUME, ACTIVE}));
    }
    EXPECT_EQ(leg->get_session_state(), ACTIVE);
    EXPECT_TRUE(logged("Session state transition: PENDING_INIT --> ACTIVE"));
    EXPECT_TRUE(logged("Session state transition: PENDING_RESUME --> NEGOTIATING"));
    leg->udp_state_change_callback(eSESSION_STATE(9));
    EXPECT_TRUE(logged("Session state transition: ACTIVE --> UNKNOWN"));

    // After the broker removed the session, nothing reaches it.
    leg->clear_broker_callbacks();
    leg->udp_state_change_callback(INTERRUPTED);
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(states.size(), 4u);
}

TEST_F(ServerStanzaTest, ConcurrentReportsOfOneChangeNotifyOnce)
{
    make_leg();
    const int rounds = 200, reporters = 6;
    std::atomic<int> ready{0}, round{-1};
    std::vector<std::thread> threads_;
    for (int t = 0; t < reporters; ++t)
        threads_.emplace_back([&] {
            for (int r = 0; r < rounds; ++r) {
                while (round.load() < r)
                    std::this_thread::yield();
                leg->udp_state_change_callback(r % 2 ? INTERRUPTED : ACTIVE);
                ++ready;
            }
        });
    for (int r = 0; r < rounds; ++r) {
        round = r;
        while (ready.load() < (r + 1) * reporters)
            std::this_thread::yield();
    }
    for (auto& t : threads_)
        t.join();
    std::lock_guard<std::mutex> l(m);
    ASSERT_EQ(states.size(), std::size_t(rounds));
    for (int r = 0; r < rounds; ++r)
        EXPECT_EQ(states[r], r % 2 ? INTERRUPTED : ACTIVE) << r;
}

TEST_F(ServerStanzaTest, TheBrokerMayLeaveWhileTheRelayReports)
{
    make_leg();
    std::atomic<bool> done{false};
    std::thread reporter([&] {
        for (int i = 0; !done; ++i)
            leg->udp_state_change_callback(i % 2 ? INTERRUPTED : ACTIVE);
    });
    std::this_thread::sleep_for(20ms);
    leg->clear_broker_callbacks();
    std::size_t after_clear;
    {
        std::lock_guard<std::mutex> l(m);
        after_clear = states.size();
    }
    std::this_thread::sleep_for(20ms);
    done = true;
    reporter.join();
    std::lock_guard<std::mutex> l(m);
    // At most the report that had copied the callback before the clear.
    EXPECT_LE(states.size(), after_clear + 1);
    EXPECT_GT(states.size(), 0u);
}

}  // namespace
