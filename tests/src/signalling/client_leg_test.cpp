// Client leg over real loopback TLS with a fake host: the frame reader's
// bounds, the server name, writes after stop, write ordering, and the HELLO
// check and rewrite.
#include "LegTestSupport.h"
#include "golden_values.h"

#include <gtest/gtest.h>

using namespace legtest;
using vexa::SSIGClientConnection;

namespace {

const std::string kReject = "<KAVRI><REJECT /></KAVRI>";

class ClientLegTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        identity();
        mark = log.text().size();
        set_config("SSLRefuseClientOnSniMismatch", "0");
        if (host)
            host->clear();
        host = std::make_shared<FakeHost>();
        host->ctag = make_ctag(identity().server_cert.der());
        host->rtag = make_rtag(host->ctag);
        host->server_cert = identity().server_cert.cert.get();
        host->hash = thumbprint_of(identity().server_cert.der());
        timings.hello_wait = boost::posix_time::seconds(10);
    }
    void TearDown() override
    {
        if (leg)
            leg->stop();
        threads.stop();
        host->clear();
        leg.reset();
    }

    // Accepts one client and starts a leg on it; the client's handshake result.
    bool open(const std::string& sni = "")
    {
        client = std::make_unique<TlsClient>(acceptor.local_endpoint().port());
        auto socket = std::make_shared<boost::asio::ip::tcp::socket>(threads.io);
        acceptor.accept(*socket);
        leg = std::make_shared<SSIGClientConnection>(host, socket, threads.io, timings);
        leg->start();
        return client->handshake(sni);
    }
    bool removed() { return wait_until([&] { return host->removed_clients() > 0; }); }

    // The HELLO forwarded to the server, once it is.
    FakeHost::Forward wait_forward()
    {
        EXPECT_TRUE(wait_until([&] { return !host->forwards().empty(); })) << host->calls();
        return host->forwards().empty() ? FakeHost::Forward{} : host->forwards().front();
    }

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
    IoThreads threads;
    boost::asio::ip::tcp::acceptor acceptor{threads.io, {boost::asio::ip::address_v4::loopback(), 0}};
    std::shared_ptr<FakeHost> host;
    vexa::SSIGLegTimings timings;
    std::shared_ptr<SSIGClientConnection> leg;
    std::unique_ptr<TlsClient> client;
};

// --- frame reader --------------------------------------------------------------

struct RefusedCase {
    const char* name;
    std::string bytes;
    const char* log_line;
};

TEST_F(ClientLegTest, RefusedFramesRemoveTheLeg)
{
    const RefusedCase cases[] = {
        {"TLV length 0", tlv_frame(0, ""), "SSIG client connection error while reading SSIG APDU header: invalid length"},
        {"TLV length 4097", tlv_frame(4097, std::string(64, 'x')),
         "SSIG client connection error while reading SSIG APDU header: invalid length"},
        {"header without terminator", "POST " + std::string(4200, 'a'),
         "SSIG client connection error while reading SSIG HTTP/POST header: too long or missing terminator"},
        {"Content-Length 0", post_frame(kReject, 0),
         "SSIG client connection error: HTTP/POST header contains invalid content length"},
        {"Content-Length 4001", post_frame(std::string(100, ' '), 4001),
         "SSIG client connection error: HTTP/POST header contains invalid content length"},
        {"body held beyond Content-Length", post_frame(kReject, 5),
         "SSIG client connection error: HTTP/POST header contains invalid content length"},
        {"no Content-Length", "POST / HTTP/1.0\r\nContent-Type: text/xml\r\n\r\n" + kReject,
         "SSIG client connection error: HTTP/POST header contains invalid content length"},
        {"bogus type", "ABCD" + std::string(20, 'z'), "Unknown SSIG packet type detected: "},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ASSERT_TRUE(open());
        ASSERT_TRUE(client->send(c.bytes));
        EXPECT_TRUE(removed());
        EXPECT_TRUE(client->wait_closed());
        EXPECT_TRUE(logged(c.log_line)) << log_text();
        leg->stop();
        leg.reset();
    }
}

TEST_F(ClientLegTest, AcceptedHttpFramesReachTheStanzaHandling)
{
    // A REJECT as first stanza is answered with FAIL 1033: proof the frame was read whole.
    std::string padded = kReject + std::string(4000 - kReject.size(), ' ');
    const struct {
        const char* name;
        std::vector<std::string> writes;
    } cases[] = {
        {"Content-Length 4000", {post_frame(padded)}},
        {"body inside the header's read", {post_frame(kReject)}},
        {"split header and body", {post_frame(kReject).substr(0, 30), post_frame(kReject).substr(30, 50),
                                   post_frame(kReject).substr(80)}},
        {"the library's padded Content-Length", {std::string(golden::kRejectFull)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ASSERT_TRUE(open());
        for (const std::string& w : c.writes) {
            ASSERT_TRUE(client->send(w));
            std::this_thread::sleep_for(30ms);
        }
        const ParsedFail fail = parse_fail(client->read_http_frame());
        EXPECT_TRUE(fail.ok);
        EXPECT_EQ(fail.code, 1033u);
        EXPECT_EQ(fail.reason, "Kavri Security Gateway received KAVRI_REJECT");
        EXPECT_TRUE(fail.hop_names.empty());
        EXPECT_EQ(host->removed_clients(), 0u);
        leg->stop();
        leg.reset();
    }
}

TEST_F(ClientLegTest, TlvOfLength4096IsForwardedAndTheNextReadWaitsForItsCompletion)
{
    ASSERT_TRUE(open());
    std::mutex m;
    std::vector<vexa::ssig::SSIGMap> maps;
    std::vector<vexa::ssig_complete_handler_t> completions;
    leg->set_ssig_ksdp_forwarder([&](const vexa::ssig::SSIGMap& map, vexa::ssig_complete_handler_t c) {
        std::lock_guard<std::mutex> l(m);
        maps.push_back(map);
        completions.push_back(std::move(c));
    });
    const std::string data(4096 - 20, 'd');
    const std::string value = tlv_value(5, data);
    ASSERT_EQ(value.size(), 4096u);
    ASSERT_TRUE(client->send(tlv_frame(4096, value)));
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> l(m);
        return !maps.empty();
    }));
    {
        std::lock_guard<std::mutex> l(m);
        const auto* v = maps[0].find(vexa::ssig::SSIGMap::type_of("data"));
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(std::string(v->begin(), v->end()), data);
        EXPECT_EQ(maps[0].command_value, 5u);
    }
    // No read until the forward completes: a second frame waits.
    ASSERT_TRUE(client->send(tlv_frame(12 + 12, tlv_value(6, "abcd"))));
    std::this_thread::sleep_for(200ms);
    {
        std::lock_guard<std::mutex> l(m);
        EXPECT_EQ(maps.size(), 1u);
        completions[0](boost::system::error_code());
    }
    EXPECT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> l(m);
        return maps.size() == 2;
    }));
    EXPECT_EQ(host->removed_clients(), 0u);
}

TEST_F(ClientLegTest, TlvBeforeAnyForwarderIsDroppedAndNothingMoreIsRead)
{
    ASSERT_TRUE(open());
    ASSERT_TRUE(client->send(tlv_frame(24, tlv_value(6, "abcd"))));
    ASSERT_TRUE(wait_until([&] { return logged("SSIG client connection no SSIG forwarding function defined"); }));
    // A frame that would be refused is not even read.
    ASSERT_TRUE(client->send("ABCD"));
    EXPECT_TRUE(client->silent_for(300));
    EXPECT_EQ(host->removed_clients(), 0u);
}

TEST_F(ClientLegTest, InviteGoesToTheHost)
{
    ASSERT_TRUE(open());
    ASSERT_TRUE(client->send(tlv_frame(24, tlv_value(0, "abcd"))));
    EXPECT_TRUE(wait_until([&] { return host->called("invite;"); }));
    EXPECT_TRUE(logged("Received SSIG INVITE message from the client"));
}

// --- server name ---------------------------------------------------------------

TEST_F(ClientLegTest, ServerNameAndTheRefusalOnMismatch)
{
    const struct {
        const char* sni;
        const char* refuse;
        bool refused;
        const char* seen;
    } cases[] = {
        {"", "0", false, "empty"},
        {"foo.kavri.test", "0", false, "foo.kavri.test"},
        {"foo.kavri.test", "1", true, "foo.kavri.test"},
        {"gw.kavri.test", "1", false, "gw.kavri.test"},
        {"", "1", true, "empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.sni) + " refuse=" + c.refuse);
        SetUp();
        set_config("SSLRefuseClientOnSniMismatch", c.refuse);
        ASSERT_TRUE(open(c.sni));
        if (c.refused) {
            EXPECT_TRUE(removed());
            EXPECT_TRUE(client->wait_closed());
            EXPECT_TRUE(logged(std::string("Client refused due to SNI mismatch: (SNI: ") + c.seen + " )"));
        } else {
            EXPECT_TRUE(wait_until([&] {
                return logged(std::string("SSL handshake completed with Kavri client (SNI: ") + c.seen + ")");
            })) << log_text();
            EXPECT_EQ(host->removed_clients(), 0u);
        }
        EXPECT_EQ(leg->get_sni(), c.seen);
        if (std::string(c.sni).empty()) {
            EXPECT_TRUE(logged("ssl_ksg_client_facing_sni_cback: Received no SNI value. Using default certificate."));
        } else {
            EXPECT_TRUE(logged(std::string("ssl_ksg_client_facing_sni_cback: incoming Tovik client, sni is \"") +
                                     c.sni + "\" using default certificate."));
        }
        leg->stop();
        leg.reset();
    }
    set_config("SSLRefuseClientOnSniMismatch", "0");
}

// The legs share one context and its server-name callback: each handshake
// must reach its own leg, also when several run at once.
TEST_F(ClientLegTest, ServerNamesOfHandshakesAtOnceReachTheirOwnLegs)
{
    constexpr int kLegs = 8;
    std::vector<std::unique_ptr<TlsClient>> clients;
    std::vector<std::shared_ptr<SSIGClientConnection>> legs;
    for (int i = 0; i < kLegs; ++i) {
        clients.push_back(std::make_unique<TlsClient>(acceptor.local_endpoint().port()));
        auto socket = std::make_shared<boost::asio::ip::tcp::socket>(threads.io);
        acceptor.accept(*socket);
        legs.push_back(std::make_shared<SSIGClientConnection>(host, socket, threads.io, timings));
    }
    std::vector<std::thread> handshakes;
    std::atomic<int> completed{0};
    for (int i = 0; i < kLegs; ++i) {
        legs[i]->start();
        handshakes.emplace_back([&, i] {
            if (clients[i]->handshake("leg" + std::to_string(i) + ".kavri.test"))
                ++completed;
        });
    }
    for (auto& t : handshakes)
        t.join();
    EXPECT_EQ(completed.load(), kLegs);
    for (int i = 0; i < kLegs; ++i) {
        EXPECT_EQ(legs[i]->get_sni(), "leg" + std::to_string(i) + ".kavri.test");
        legs[i]->stop();
    }
}

TEST_F(ClientLegTest, HandshakeFailureRemovesTheLeg)
{
    client = std::make_unique<TlsClient>(acceptor.local_endpoint().port());
    auto socket = std::make_shared<boost::asio::ip::tcp::socket>(threads.io);
    acceptor.accept(*socket);
    leg = std::make_shared<SSIGClientConnection>(host, socket, threads.io, timings);
    leg->start();
    ASSERT_TRUE(client->send_plain("this is not TLS\r\n\r\n"));
    EXPECT_TRUE(removed());
    EXPECT_TRUE(logged("*** SSIGClientConnection::SSL handshake failure: "));
}

// --- writes ----------------------------------------------------------------------

TEST_F(ClientLegTest, AFrameHandedOverBeforeStopIsWrittenALateOneCallsNoCompletion)
{
    ASSERT_TRUE(open());
    std::atomic<int> before{0}, late{0};
    leg->handle_server_xml_ssig(golden::kRejectedFull, VEXA_XML_TYPE_REJECTED,
                                [&](const boost::system::error_code&) { ++before; });
    leg->stop();
    leg->handle_server_xml_ssig(golden::kRejectedFull, VEXA_XML_TYPE_REJECTED,
                                [&](const boost::system::error_code&) { ++late; });
    const std::string frame = client->read_http_frame();
    EXPECT_NE(frame.find("<KAVRI><REJECTED /></KAVRI>"), std::string::npos) << frame << log_text();
    EXPECT_TRUE(client->wait_closed());
    std::this_thread::sleep_for(200ms);
    // The first completion runs only if its write ended before the stop.
    EXPECT_LE(before.load(), 1);
    EXPECT_EQ(late.load(), 0);
    leg->stop();  // idempotent
}

TEST_F(ClientLegTest, FramesFromSeveralWritersKeepTheirOrderAndEachCompletionRunsOnce)
{
    ASSERT_TRUE(open());
    std::mutex m;
    std::vector<int> completed;
    auto completion = [&](int i) {
        return [&, i](const boost::system::error_code& ec) {
            EXPECT_FALSE(ec);
            std::lock_guard<std::mutex> l(m);
            completed.push_back(i);
        };
    };
    vexa::ssig::SSIGMap big, small;
    big.add(vexa::ssig::SSIGMap::type_of("data"), std::vector<uint8_t>(3000, 'b'));
    small.add(vexa::ssig::SSIGMap::type_of("data"), std::vector<uint8_t>(10, 's'));
    big.command_value = 7;
    small.command_value = 8;
    // A forwarded frame, the client's own REJECT answered with a FAIL, and a
    // FAIL without completion, all in flight together.
    ASSERT_TRUE(client->send(post_frame(kReject)));
    leg->handle_server_ksdp_ssig(big, completion(1));
    leg->handle_server_xml_ssig(golden::kFailReplyFull, VEXA_XML_TYPE_FAIL, vexa::ssig_complete_handler_t());
    leg->handle_server_ksdp_ssig(small, completion(2));

    std::vector<std::string> frames;
    for (int i = 0; i < 4; ++i) {
        std::string tlv_or_http;
        const auto deadline = Clock::now() + 5s;
        while (tlv_or_http.empty() && Clock::now() < deadline) {
            tlv_or_http = client->peek_is_tlv() ? client->read_tlv_frame(100) : client->read_http_frame(100);
        }
        frames.push_back(tlv_or_http);
    }
    std::vector<std::string> tlvs, fails;
    for (const auto& f : frames) {
        ASSERT_FALSE(f.empty());
        if (f[0] == '\0')
            tlvs.push_back(f);
        else
            fails.push_back(f);
    }
    ASSERT_EQ(tlvs.size(), 2u);
    EXPECT_EQ(tlvs[0].size(), 8u + 12u + 8u + 3000u);
    EXPECT_EQ(tlvs[1].size(), 8u + 12u + 8u + 12u);
    ASSERT_EQ(fails.size(), 2u);
    for (const auto& f : fails)
        EXPECT_TRUE(parse_fail(f).ok) << f;
    // The two frames of the writer keep their order around the FAIL between them.
    const auto pos = [&](const std::string& f) { return std::find(frames.begin(), frames.end(), f) - frames.begin(); };
    EXPECT_LT(pos(tlvs[0]), pos(tlvs[1]));
    EXPECT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> l(m);
        return completed.size() == 2;
    }));
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(completed, (std::vector<int>{1, 2}));
    EXPECT_TRUE(wait_until([&] { return log_count("handle_write SSIGClientConnection has no write handler") == 2; }));
}

// --- the HELLO -------------------------------------------------------------------

std::vector<Hop> hops(int n, uint64_t spi = 0)
{
    std::vector<Hop> out;
    for (int i = 0; i < n; ++i)
        out.push_back(Hop{"hop" + std::to_string(i), "1.0", spi ? spi + i : 0});
    return out;
}

sVEXA_XML_HELLO parse_forwarded(const std::string& text)
{
    sVEXA_XML_HELLO rec;
    std::memset(&rec, 0, sizeof rec);
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    EXPECT_EQ(vexa_xml_parse_hello(text.c_str(), text.size(), &type, &rec), 0) << text;
    return rec;
}

TEST_F(ClientLegTest, HelloWithNineHopsIsForwardedWithTheGatewayAsTenthSignedWithTheCtag)
{
    ASSERT_TRUE(open());
    const std::string sent = make_hello(host->rtag, hops(9));
    ASSERT_TRUE(client->send(sent));
    const FakeHost::Forward fwd = wait_forward();
    // Whoever reads the log cannot replay the client's HELLO: its signature is never logged.
    const std::size_t sig = sent.find("<SIGNATURE>") + 11;
    const std::string signature = sent.substr(sig, sent.find("</SIGNATURE>") - sig);
    ASSERT_GT(signature.size(), 8u);
    EXPECT_TRUE(logged("Received a KAVRI_HELLO message: "));
    EXPECT_EQ(log_text().find(signature), std::string::npos);
    EXPECT_EQ(fwd.type, VEXA_XML_TYPE_HELLO);
    const sVEXA_XML_HELLO rec = parse_forwarded(fwd.text);
    EXPECT_EQ(vexa_xml_validate_hello(&rec, host->ctag.c_str()), 0);
    EXPECT_STREQ(rec.server_name, "server.sni.test");
    EXPECT_EQ(std::vector<unsigned char>(rec.thumbprint_hash, rec.thumbprint_hash + 32), host->hash);
    ASSERT_EQ(rec.mitm_hellos.count, 10);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(std::string(rec.mitm_hellos.mitm[i].name), "hop" + std::to_string(i));
    EXPECT_STREQ(rec.mitm_hellos.mitm[9].name, "gw.kavri.test");
    EXPECT_STREQ(rec.mitm_hellos.mitm[9].version, "1.0");
    // The host's calls came in the order the check needs them.
    const std::string calls = host->calls();
    EXPECT_LT(calls.find("admit(ASNFZ4mrze8A)"), calls.find("set_connected_cb("));
    EXPECT_LT(calls.find("set_connected_cb("), calls.find("get_info("));
    EXPECT_EQ(leg->get_session_id(), kSidB64);
    EXPECT_EQ(leg->get_session_log_id(), "11111111-2222-3333-4444-555555555555");
    vexa::ssig::MitmInfoVector list;
    leg->get_mitm_info(&list);
    ASSERT_EQ(list.size(), 10u);
    EXPECT_STREQ(list[9].name, "gw.kavri.test");
    EXPECT_TRUE(client->silent_for(100));
}

TEST_F(ClientLegTest, HelloWithTenHopsIsForwardedWithExactlyTheClientsHops)
{
    ASSERT_TRUE(open());
    ASSERT_TRUE(client->send(make_hello(host->rtag, hops(10, 0x300), 0x700)));
    const FakeHost::Forward fwd = wait_forward();
    const sVEXA_XML_HELLO rec = parse_forwarded(fwd.text);
    EXPECT_EQ(vexa_xml_validate_hello(&rec, host->ctag.c_str()), 0);
    ASSERT_EQ(rec.mitm_hellos.count, 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(std::string(rec.mitm_hellos.mitm[i].name), "hop" + std::to_string(i));
        EXPECT_EQ(rec.mitm_hellos.mitm[i].spi, 0x300u + i) << i;
    }
    EXPECT_EQ(fwd.text.find("gw.kavri.test"), std::string::npos);
    EXPECT_TRUE(logged("Cannot add itself to the MITM XML array as the max allowed MITM has been reached"));
}

TEST_F(ClientLegTest, SpiPreferenceComesFromTheNearestUpstreamHopElseTheClient)
{
    const struct {
        const char* name;
        std::vector<Hop> hops;
        uint64_t client_spi;
        uint64_t expected;
        const char* log_line;
    } cases[] = {
        {"upstream beats client", {{"a", "1.0", 0x400}, {"b", "1.0", 0x500}, {"c", "1.0", 0}}, 0x700, 0x500,
         "Detected MITM SPI preference in the KAVRI_HELLO - name=\"b\", version=1.0 spi=500"},
        {"client when no hop has one", {{"a", "1.0", 0}}, 0x700, 0x700,
         "Client SPI preference in the KAVRI_HELLO - spi=1792"},
        {"none", {{"a", "1.0", 0}}, 0, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ASSERT_TRUE(open());
        ASSERT_TRUE(client->send(make_hello(host->rtag, c.hops, c.client_spi)));
        const sVEXA_XML_HELLO rec = parse_forwarded(wait_forward().text);
        ASSERT_EQ(rec.mitm_hellos.count, c.hops.size() + 1);
        // Upstream hops keep their own; the preference goes into the gateway's hop.
        for (std::size_t i = 0; i < c.hops.size(); ++i)
            EXPECT_EQ(rec.mitm_hellos.mitm[i].spi, c.hops[i].spi);
        EXPECT_EQ(rec.mitm_hellos.mitm[c.hops.size()].spi, c.expected);
        vexa::ssig::MitmInfoVector list;
        leg->get_mitm_info(&list);
        EXPECT_EQ(list.back().spi, 0u);
        if (c.log_line) {
            EXPECT_TRUE(logged(c.log_line)) << log_text();
        }
        leg->stop();
        leg.reset();
    }
}

TEST_F(ClientLegTest, FailAnswersOfTheHelloCheck)
{
    const struct {
        const char* name;
        std::function<void(FakeHost&)> configure;
        std::function<std::string(FakeHost&)> hello;
        uint32_t code;
        const char* reason;
        std::vector<std::string> hop_names;
        bool admitted = false;  // the HELLO verified before the refusal
    } cases[] = {
        {"unparsable", [](FakeHost&) {},
         [](FakeHost&) { return post_frame("<KAVRI><HELLO></HELLO></KAVRI>"); }, 1034,
         "Received invalid HELLO. SG could not parse the received HELLO message.", {}},
        {"unknown session", [](FakeHost& h) { h.restart_result = -500; },
         [](FakeHost& h) { return make_hello(h.rtag, hops(2)); }, 1043,
         "SG received an invalid session-id in a KAVRI_HELLO", {}},
        {"validation fails (signed with the ctag)", [](FakeHost&) {},
         [](FakeHost& h) { return make_hello(h.ctag, hops(2)); }, 1034,
         "Security Gateway received invalid KAVRI_HELLO (HELLO validation failed)", {"hop0", "hop1"}},
        // Below ten the gateway would have added itself and sent all but its
        // own hop; at ten it adds nothing and all but the last go.
        {"validation fails with nine hops", [](FakeHost&) {},
         [](FakeHost& h) { return make_hello(h.ctag, hops(9)); }, 1034,
         "Security Gateway received invalid KAVRI_HELLO (HELLO validation failed)",
         {"hop0", "hop1", "hop2", "hop3", "hop4", "hop5", "hop6", "hop7", "hop8"}},
        {"validation fails with ten hops", [](FakeHost&) {},
         [](FakeHost& h) { return make_hello(h.ctag, hops(10)); }, 1034,
         "Security Gateway received invalid KAVRI_HELLO (HELLO validation failed)",
         {"hop0", "hop1", "hop2", "hop3", "hop4", "hop5", "hop6", "hop7", "hop8"}},
        {"forwarders cannot be set", [](FakeHost& h) { h.forwarders_ok = false; },
         [](FakeHost& h) { return make_hello(h.rtag, hops(1)); }, 1034,
         "Invalid KAVRI_HELLO. SG detected an internal error (while setting the SSIG forw", {"hop0"}, true},
        {"merged HELLO beyond 4095", [](FakeHost&) {},
         [](FakeHost& h) {
             const std::string full = make_hello(h.rtag, hops(1));
             std::string body = full.substr(full.find("\r\n\r\n") + 4);
             const std::string extra = "<EXTRA>" + std::string(3990 - body.size() - 15, 'x') + "</EXTRA>";
             body.insert(body.rfind("</KAVRI>"), extra);
             return post_frame(body);
         },
         1034, "Invalid KAVRI_HELLO. SG failed to rewrite the KAVRI_HELLO being forwarded to th", {"hop0"}, true},
        {"REJECT first", [](FakeHost&) {}, [](FakeHost&) { return post_frame(kReject); }, 1033,
         "Kavri Security Gateway received KAVRI_REJECT", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.configure(*host);
        ASSERT_TRUE(open());
        ASSERT_TRUE(client->send(c.hello(*host)));
        const ParsedFail fail = parse_fail(client->read_http_frame());
        EXPECT_TRUE(fail.ok);
        EXPECT_EQ(fail.code, c.code);
        EXPECT_EQ(fail.reason, c.reason);
        EXPECT_EQ(fail.hop_names, c.hop_names);
        EXPECT_TRUE(host->forwards().empty());
        // Refused before it was admitted: it waits for nothing and keeps no session.
        if (!c.admitted) {
            EXPECT_FALSE(host->called("set_connected_cb(")) << host->calls();
            EXPECT_EQ("", leg->get_session_id());
        }
        // The leg stays open and reads no more.
        EXPECT_TRUE(client->silent_for(150));
        EXPECT_EQ(host->removed_clients(), 0u);
        EXPECT_TRUE(wait_until([&] { return logged("handle_write SSIGClientConnection has no write handler"); }));
        leg->stop();
        leg.reset();
    }
}

// A stranger's connection may not hold a descriptor for long: each deadline
// closes and removes the leg, counted by its reason; a first frame in time
// ends the deadlines.
TEST_F(ClientLegTest, DeadlinesCloseLegsThatDoNotGetOn)
{
    const struct {
        const char* name;
        // What the client does after its TCP connect.
        std::function<bool(TlsClient&, FakeHost&)> act;
        const char* counted;  // nullptr: the leg stays open
    } cases[] = {
        {"no TLS", [](TlsClient&, FakeHost&) { return true; }, "deadline_close(without_tls);"},
        {"half a ClientHello",
         [](TlsClient& c, FakeHost&) { return c.send_plain(std::string("\x16\x03\x01\x02\x00\x01\x00", 7)); },
         "deadline_close(without_tls);"},
        {"TLS and no frame", [](TlsClient& c, FakeHost&) { return c.handshake(); },
         "deadline_close(without_first_frame);"},
        {"half a frame", [](TlsClient& c, FakeHost&) { return c.handshake() && c.send("POST / HT"); },
         "deadline_close(without_first_frame);"},
        // Frames the leg drops without reading on do not get it on either.
        {"a stanza other than HELLO or REJECT",
         [](TlsClient& c, FakeHost&) { return c.handshake() && c.send(post_frame("<KAVRI><VERSION /></KAVRI>")); },
         "deadline_close(without_first_frame);"},
        {"a TLV other than INVITE",
         [](TlsClient& c, FakeHost&) { return c.handshake() && c.send(tlv_frame(24, tlv_value(6, "abcd"))); },
         "deadline_close(without_first_frame);"},
        {"a FAIL", [](TlsClient& c, FakeHost&) {
             return c.handshake() && c.send(post_frame(kReject)) &&
                    parse_fail(c.read_http_frame()).code == 1033;
         },
         "deadline_close(after_fail);"},
        {"a HELLO in time",
         [](TlsClient& c, FakeHost& h) { return c.handshake() && c.send(make_hello(h.rtag, hops(1))); },
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        timings.handshake_deadline = boost::posix_time::milliseconds(300);
        timings.first_frame_deadline = boost::posix_time::milliseconds(600);
        timings.fail_close_delay = boost::posix_time::milliseconds(300);
        client = std::make_unique<TlsClient>(acceptor.local_endpoint().port());
        auto socket = std::make_shared<boost::asio::ip::tcp::socket>(threads.io);
        acceptor.accept(*socket);
        leg = std::make_shared<SSIGClientConnection>(host, socket, threads.io, timings);
        leg->start();
        ASSERT_TRUE(c.act(*client, *host));
        if (c.counted) {
            EXPECT_TRUE(client->plain_closed_within(3000));
            EXPECT_TRUE(removed());
            const std::string calls = host->calls();
            EXPECT_NE(calls.find(c.counted), std::string::npos) << calls;
            EXPECT_EQ(calls.find("deadline_close("), calls.rfind("deadline_close(")) << "counted once: " << calls;
        } else {
            // Well past every deadline, still open and forwarding.
            EXPECT_TRUE(client->silent_for(900));
            EXPECT_EQ(host->removed_clients(), 0u);
            EXPECT_FALSE(host->called("deadline_close(")) << host->calls();
            EXPECT_EQ(host->forwards().size(), 1u);
        }
        leg->stop();
        leg.reset();
    }
}

// A stop in the middle of the handshake releases the leg while OpenSSL
// still works on it (under ASan: no use after free).
TEST_F(ClientLegTest, AStopMidHandshakeIsSafe)
{
    for (int i = 0; i < 20; ++i) {
        SetUp();
        client = std::make_unique<TlsClient>(acceptor.local_endpoint().port());
        auto socket = std::make_shared<boost::asio::ip::tcp::socket>(threads.io);
        acceptor.accept(*socket);
        leg = std::make_shared<SSIGClientConnection>(host, socket, threads.io, timings);
        leg->start();
        std::thread shaking([&] { client->handshake(); });
        std::this_thread::sleep_for(std::chrono::microseconds(200 * i));
        leg->stop();
        std::weak_ptr<SSIGClientConnection> weak = leg;
        leg.reset();
        shaking.join();
        EXPECT_TRUE(wait_until([&] { return weak.expired(); })) << i;
    }
}

TEST_F(ClientLegTest, ThumbprintMismatchSendsRejectToTheServerAndNothingToTheClient)
{
    host->server_cert = identity().other_cert.cert.get();
    ASSERT_TRUE(open());
    ASSERT_TRUE(client->send(make_hello(host->rtag, hops(1))));
    const FakeHost::Forward fwd = wait_forward();
    EXPECT_EQ(fwd.type, VEXA_XML_TYPE_REJECT);
    EXPECT_NE(fwd.text.find("<KAVRI><REJECT /></KAVRI>"), std::string::npos);
    EXPECT_TRUE(logged("Kavri server thumbprint hash and certificate validation failed; sending REJECT to server"));
    EXPECT_TRUE(client->silent_for(200));
}

TEST_F(ClientLegTest, ASecondHelloIsUnexpectedAndUnanswered)
{
    ASSERT_TRUE(open());
    ASSERT_TRUE(client->send(make_hello(host->rtag, hops(1))));
    FakeHost::Forward fwd = wait_forward();
    fwd.completion(boost::system::error_code());  // the server leg wrote it: read on
    ASSERT_TRUE(wait_until([&] {
        return logged("Forwarded the received SSIG client message to the server. Waiting for response from server ...");
    }));
    const std::string again = make_hello(host->rtag, hops(1));
    ASSERT_TRUE(client->send(again));
    EXPECT_TRUE(wait_until([&] {
        return logged("Unexpected XML (type 0) received from Kavri client. Last sent XML type: 0; Received XML: ");
    })) << log_text();
    EXPECT_TRUE(client->silent_for(200));
    EXPECT_EQ(host->forwards().size(), 1u);
    // The client's own HELLO, good for a replay while the session lasts:
    // its signature stays out of the log here too.
    const std::size_t sig = again.find("<SIGNATURE>") + 11;
    const std::string signature = again.substr(sig, again.find("</SIGNATURE>") - sig);
    ASSERT_GT(signature.size(), 8u);
    EXPECT_EQ(log_text().find(signature), std::string::npos);
    EXPECT_TRUE(logged("<SIGNATURE>"));
}

TEST_F(ClientLegTest, TheWaitForTheServerLeg)
{
    // Connected later: the HELLO goes on when the callback comes.
    host->connected_mode = FakeHost::Connected::STORED;
    ASSERT_TRUE(open());
    ASSERT_TRUE(client->send(make_hello(host->rtag, hops(1))));
    ASSERT_TRUE(wait_until([&] { return host->callback_stored(); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(host->forwards().empty());
    ASSERT_TRUE(host->fire_connected(true));
    EXPECT_EQ(wait_forward().type, VEXA_XML_TYPE_HELLO);
    EXPECT_TRUE(logged("handle_wait_for_server_connection: Detected a server connection"));
    EXPECT_TRUE(host->called("clear_connected_cb(ASNFZ4mrze8A);"));
}

TEST_F(ClientLegTest, AFailedServerLegEndsTheWaitWithoutValidationOrFail)
{
    host->connected_mode = FakeHost::Connected::STORED;
    ASSERT_TRUE(open());
    ASSERT_TRUE(client->send(make_hello(host->rtag, hops(1))));
    ASSERT_TRUE(wait_until([&] { return host->callback_stored(); }));
    ASSERT_TRUE(host->fire_connected(false));
    EXPECT_TRUE(wait_until([&] { return logged("server_connected_cback: Failed to connect to the server"); }));
    EXPECT_TRUE(client->silent_for(300));
    EXPECT_TRUE(host->forwards().empty());
    EXPECT_FALSE(host->called("get_info("));
}

TEST_F(ClientLegTest, NoServerConnectionWithinTheWaitClosesWithoutFail)
{
    host->connected_mode = FakeHost::Connected::STORED;
    timings.hello_wait = boost::posix_time::milliseconds(300);
    ASSERT_TRUE(open());
    ASSERT_TRUE(client->send(make_hello(host->rtag, hops(1))));
    EXPECT_TRUE(client->wait_closed());
    EXPECT_TRUE(removed());
    EXPECT_TRUE(logged("handle_wait_for_server_connection: No server connection detected (timeout) while "
                             "processing KAVRI_HELLO XML. Closing client-side connection"));
    EXPECT_TRUE(host->forwards().empty());
    EXPECT_FALSE(host->callback_stored());
}

TEST_F(ClientLegTest, NoTaggedServerLegClosesWithoutFail)
{
    host->have_server = false;
    ASSERT_TRUE(open());
    ASSERT_TRUE(client->send(make_hello(host->rtag, hops(1))));
    EXPECT_TRUE(client->wait_closed());
    EXPECT_TRUE(removed());
    EXPECT_TRUE(logged("Failed to find a connection with the specified session-id in the received HELLO message. "
                             "Closing the client connection. Received session-id = ASNFZ4mrze8A"));
}

TEST_F(ClientLegTest, AStoppedLegNeitherValidatesNorForwards)
{
    host->connected_mode = FakeHost::Connected::STORED;
    ASSERT_TRUE(open());
    ASSERT_TRUE(client->send(make_hello(host->rtag, hops(1))));
    ASSERT_TRUE(wait_until([&] { return host->callback_stored(); }));
    leg->stop();
    host->fire_connected(true);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(host->called("get_info("));
    EXPECT_TRUE(host->forwards().empty());
}

}  // namespace

// A slow client: frames arrive one byte per TLS record, the last one is cut
// off by a close.
TEST_F(ClientLegTest, FramesDribbledByteByByteThenACloseMidFrame)
{
    ASSERT_TRUE(open());
    std::mutex mm;
    std::vector<vexa::ssig::SSIGMap> got;
    std::vector<vexa::ssig_complete_handler_t> done;
    leg->set_ssig_ksdp_forwarder([&](const vexa::ssig::SSIGMap& map, vexa::ssig_complete_handler_t c) {
        std::lock_guard<std::mutex> l(mm);
        got.push_back(map);
        done.push_back(std::move(c));
    });
    auto dribble = [&](const std::string& bytes) {
        for (char ch : bytes) {
            if (!client->send(std::string(1, ch)))
                return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    };
    for (uint32_t i = 0; i < 4; ++i) {
        const std::string data(10 + i * 37, char('a' + i));
        ASSERT_TRUE(dribble(tlv_frame(uint32_t(tlv_value(7 + i, data).size()), tlv_value(7 + i, data))));
        ASSERT_TRUE(wait_until([&] {
            std::lock_guard<std::mutex> l(mm);
            return got.size() == i + 1;
        }));
        std::lock_guard<std::mutex> l(mm);
        EXPECT_EQ(got[i].command_value, 7 + i);
        const auto* v = got[i].find(vexa::ssig::SSIGMap::type_of("data"));
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(std::string(v->begin(), v->end()), data);
        done[i](boost::system::error_code());
    }
    // Half the next frame, then gone.
    const std::string next = tlv_frame(24, tlv_value(6, "abcd"));
    ASSERT_TRUE(dribble(next.substr(0, 13)));
    client->close_now();
    EXPECT_TRUE(removed());
}

TEST_F(ClientLegTest, ARejectDribbledByteByByteIsAnswered)
{
    ASSERT_TRUE(open());
    const std::string frame = post_frame(kReject);
    for (char ch : frame) {
        ASSERT_TRUE(client->send(std::string(1, ch)));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const ParsedFail fail = parse_fail(client->read_http_frame());
    EXPECT_TRUE(fail.ok);
    EXPECT_EQ(fail.code, 1033u);
}
