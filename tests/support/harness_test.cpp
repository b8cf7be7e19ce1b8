// The end-to-end harness checked before anything depends on it: session
// tags built here against the tag library's own parse and rtag, HELLOs
// against the stanza library's validation, and the TLS test server and
// client against each other (and the listening probe against a socket).
#include "FailReply.h"
#include "GatewayProcess.h"
#include "HelloBuilder.h"
#include "KsdpMessage.h"
#include "MediaSender.h"
#include "ReceivedHello.h"
#include "ReceivedVersion.h"
#include "ServerReplies.h"
#include "StanzaLibrary.h"
#include "TestSessionTag.h"
#include "TlsStream.h"
#include "TlsTestClient.h"
#include "TlsTestServer.h"
#include "UdpPeer.h"
#include "media_crypto.h"

#include "kavri_reuse.h"
#include "vexa_tags.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

using namespace kavri_test;
using namespace std::chrono_literals;

// RSA key generation is slow under sanitizers: one of each kind per run.
const TestIdentity::ptr& server_identity()
{
    static const auto id = TestIdentity::self_signed("server.kavri.test");
    return id;
}
const TestIdentity::ptr& other_identity()
{
    static const auto id = TestIdentity::self_signed("other.kavri.test");
    return id;
}
const TestIdentity::ptr& small_client_identity()
{
    static const auto id = TestIdentity::self_signed("gateway-1024.kavri.test", 1024);
    return id;
}

std::string text(const TestSessionTag::hash& h)
{
    return TestSessionTag::hex(h.data(), h.size());
}

class SessionTagCase : public ::testing::TestWithParam<uint8_t> {
protected:
    void SetUp() override { ensure_stanza_library(); }
};

TEST_P(SessionTagCase, TovikCtagAndRtagMatchTheTagLibrary)
{
    const uint8_t flags = GetParam();
    const auto& der = server_identity()->der();
    const auto tag = TestSessionTag::tovik(der, flags);
    ASSERT_EQ(tag.text().size(), 104u);

    unsigned char id[16] = {}, th[32] = {};
    unsigned short parsed_flags = 0;
    ASSERT_EQ(vexa_util_parse_tovik_session_tag(tag.text().c_str(), id, th, &parsed_flags), 0);
    EXPECT_EQ(0, std::memcmp(id, tag.session_id().data(), 8));
    EXPECT_EQ(parsed_flags, flags);
    const auto expected = TestSessionTag::thumbprint(tag.session_id(), der);
    EXPECT_EQ(TestSessionTag::hex(th, 32), text(expected));
    EXPECT_EQ(text(*TestSessionTag::tovik_thumbprint(tag.text())), text(expected));
    EXPECT_EQ(*TestSessionTag::flags_word(tag.text()), 0x5A80 | flags);

    unsigned char lib_hash[32] = {};
    ASSERT_EQ(vexa_calculate_thumbprint_hash(tag.session_id().data(), der.data(),
                                             static_cast<int>(der.size()), lib_hash), 0);
    EXPECT_EQ(TestSessionTag::hex(lib_hash, 32), text(expected));

    char t[VEXA_TAG_T_BUFFER] = {};
    ASSERT_EQ(vexa_util_parse_version_1_tag(tag.text().c_str(), nullptr, nullptr, t), 0);
    EXPECT_EQ(tag.session_id_text(), std::string(t));

    // The rtag over another certificate, as the gateway makes it from its own.
    const auto& gateway_der = other_identity()->der();
    char rtag[129] = {};
    ASSERT_EQ(vexa_generate_rtag(tag.text().c_str(), id, gateway_der.data(),
                                 static_cast<int>(gateway_der.size()), rtag), 1);
    EXPECT_EQ(std::string(rtag), tag.rtag_for(gateway_der));
    EXPECT_EQ(*TestSessionTag::flags_word(rtag), 0x5A81);
    EXPECT_EQ(std::string(rtag).substr(92, 12), tag.session_id_text());
}

INSTANTIATE_TEST_SUITE_P(Flags, SessionTagCase, ::testing::Values(0, 1, 2, 3));

TEST(SessionTag, PlainTagFailsTheTovikParse)
{
    ensure_stanza_library();
    const auto tag = TestSessionTag::plain();
    unsigned short flags = 0;
    EXPECT_NE(vexa_util_parse_tovik_session_tag(tag.text().c_str(), nullptr, nullptr, &flags), 0);
    EXPECT_EQ(tag.text().size(), 104u);
}

TEST(Hello, SignedWithTheRtagValidatesAgainstTheRtagOnly)
{
    const auto ctag = TestSessionTag::tovik(server_identity()->der(), 2);
    const std::string rtag = ctag.rtag_for(other_identity()->der());
    const std::vector<HelloHop> hops{{"1.0", "upstream-proxy", 0x1234}};
    const std::string frame =
        HelloBuilder::for_tag(rtag, "client-view.kavri.test").spi(4660).hops(hops).frame(rtag);
    ASSERT_FALSE(frame.empty());
    EXPECT_EQ(frame.rfind("POST /", 0), 0u);

    const auto hello = ReceivedHello::parse(frame);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->validate(rtag), 0);
    EXPECT_EQ(hello->validate(ctag.text()), VEXA_XML_ERR_SIGNATURE);
    EXPECT_TRUE(hello->signed_with(rtag));
    EXPECT_FALSE(hello->signed_with(ctag.text()));
    EXPECT_EQ(text(hello->thumbprint()), text(*TestSessionTag::tovik_thumbprint(rtag)));
    EXPECT_EQ(hello->session_id(), ctag.session_id());
    EXPECT_EQ(hello->server_name(), "client-view.kavri.test");
    EXPECT_EQ(hello->version(), "1.0");
    EXPECT_EQ(hello->spi(), 4660u);
    EXPECT_EQ(hello->hops(), hops);

    // The bare stanza parses the same.
    const auto bare = ReceivedHello::parse(
        HelloBuilder::for_tag(rtag, "client-view.kavri.test").hops(hops).body(rtag));
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->validate(rtag), 0);
}

TEST(Version, EchoesTheHelloHopsSignedWithTheCtag)
{
    const auto ctag = TestSessionTag::tovik(server_identity()->der());
    const std::string rtag = ctag.rtag_for(other_identity()->der());
    const std::vector<HelloHop> hops{{"1.0", "client-proxy", 0}, {"1.0", "gw.kavri.test", 0}};
    const auto hello = ReceivedHello::parse(HelloBuilder::for_tag(rtag, "s").hops(hops).frame(rtag));
    ASSERT_TRUE(hello);

    const std::string frame = server_replies::version_for(*hello, ctag.text());
    ASSERT_EQ(frame.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << frame;
    const auto version = ReceivedVersion::parse(frame);
    ASSERT_TRUE(version);
    EXPECT_EQ(version->requested(), "1.0");
    EXPECT_EQ(version->negotiated(), "1.0");
    EXPECT_EQ(version->hops(), hops);
    EXPECT_EQ(version->validate(ctag.text()), 0);
    EXPECT_NE(version->validate(rtag), 0);
    EXPECT_TRUE(version->signed_with(ctag.text()));
    EXPECT_FALSE(version->signed_with(rtag));

    // A hop changed after signing no longer matches the signatures.
    std::string tampered = frame;
    tampered.replace(tampered.find("gw.kavri.test"), 13, "gw.kavri.tesT");
    const auto changed = ReceivedVersion::parse(tampered);
    ASSERT_TRUE(changed);
    EXPECT_FALSE(changed->signed_with(ctag.text()));
    EXPECT_NE(changed->validate(ctag.text()), 0);
    EXPECT_FALSE(ReceivedVersion::parse(server_replies::rejected()));
}

TEST(Ksdp, InviteAndInviteOkEncodeTheirElementsInOrder)
{
    MediaKeys keys = MediaKeys::random();
    keys.spi = {0x11, 0x22, 0x33, 0x44};
    keys.salt = 0x01020304;
    const std::string frame = KsdpMessage::invite("T", keys).frame(SsigFrame::INVITE);
    // Leading zero word, length, command element, then ksec 00000001, the
    // 16-byte key, the SPI, the salt, kcap 01 (padded) and ctag "T" (padded).
    const std::string expected_head = std::string(4, '\0') + KsdpMessage::be32(12 + 12 + 24 + 12 + 12 + 12 + 12) +
                                      "cmnd" + KsdpMessage::be32(4) + KsdpMessage::be32(0) + "ksec" +
                                      KsdpMessage::be32(4) + std::string("\0\0\0\1", 4) + "1key" +
                                      KsdpMessage::be32(16) + keys.key_value() + "1spi" + KsdpMessage::be32(4) +
                                      "\x11\x22\x33\x44" + "1slt" + KsdpMessage::be32(4) + "\x01\x02\x03\x04" +
                                      "kcap" + KsdpMessage::be32(1) + std::string("\1\0\0\0", 4) + "ctag" +
                                      KsdpMessage::be32(1) + std::string("T\0\0\0", 4);
    EXPECT_EQ(relay_test::to_hex(relay_test::bytes(frame.begin(), frame.end())),
              relay_test::to_hex(relay_test::bytes(expected_head.begin(), expected_head.end())));

    KsdpMessage ok = KsdpMessage::invite_ok(keys, "192.0.2.1", 0x1234);
    ok.resume(60).add("kclr", std::string(1, '\0'));
    ok.key_set(2, keys).set("cprt", KsdpMessage::be16(0x4321)).without("kclr");
    SsigFrame parsed;
    parsed.bytes = ok.frame(SsigFrame::INVITE_OK);
    EXPECT_EQ(parsed.tlv_command(), SsigFrame::INVITE_OK);
    const KsdpMessage back = KsdpMessage::from(parsed);
    EXPECT_EQ(back, ok);
    EXPECT_EQ(KsdpMessage::read_be16(back.value("cprt")), 0x4321);
    EXPECT_EQ(back.value("ksrp"), KsdpMessage::be32(60));
    EXPECT_EQ(back.count("stag"), 1u);
    EXPECT_EQ(back.count("kclr"), 0u);
    EXPECT_EQ(back.value("2spi"), keys.spi_value());
}

TEST(Media, SenderSealsWithSaltAndHeaderAsTheRelayChecks)
{
    const MediaKeys keys = MediaKeys::random(32);
    MediaSender sender(keys, 7);
    const auto first = sender.next(relay_test::bytes(20, 0x5a));
    const auto second = sender.next(std::size_t(4));
    ASSERT_EQ(first.size(), 16u + 20u + 16u);
    EXPECT_TRUE(std::equal(keys.spi.begin(), keys.spi.end(), first.begin()));
    EXPECT_EQ(relay_test::to_hex(first.data() + 4, 4), "00000007");
    EXPECT_EQ(relay_test::to_hex(second.data() + 4, 4), "00000008");
    EXPECT_NE(relay_test::to_hex(first.data() + 8, 8), relay_test::to_hex(second.data() + 8, 8));
    relay_test::bytes plain;
    EXPECT_TRUE(relay_test::evp_open(keys.key, keys.salt, first, &plain));
    EXPECT_EQ(plain, relay_test::bytes(20, 0x5a));
    EXPECT_TRUE(relay_test::evp_open(keys.key, keys.salt, second));
    EXPECT_FALSE(relay_test::evp_open(keys.key, keys.salt + 1, second));
    auto forged = first;
    forged[3] ^= 1;  // the SPI is authenticated
    EXPECT_FALSE(relay_test::evp_open(keys.key, keys.salt, forged));
}

TEST(Frames, BuildersGiveTheLengthsAsked)
{
    for (const uint32_t length : {0u, 12u, 4096u, 4097u}) {
        const std::string f = SsigFrame::tlv_of_length(length);
        EXPECT_EQ(f.size(), 8u + length);
        EXPECT_EQ(f.substr(0, 4), std::string(4, '\0'));
    }
    const std::string post = SsigFrame::post("<KAVRI/>", 4001);
    EXPECT_NE(post.find("\r\nContent-Length: 4001\r\n\r\n<KAVRI/>"), std::string::npos);
    EXPECT_NE(SsigFrame::post("abcdefg").find("Content-Length:    7\r\n\r\n"), std::string::npos);
    EXPECT_GT(SsigFrame::post("x", std::nullopt, 5000).find("\r\n\r\n"), 5000u);
    EXPECT_EQ(SsigFrame::reply("12345").rfind("HTTP/1.0 200 OK\r\nDate: ", 0), 0u);
}

class Peers : public ::testing::Test {
protected:
    TlsTestServer server{server_identity()};
    TlsTestClient client;
};

TEST_F(Peers, ServerRecordsNameAndCertificateOfAOneKilobitPeer)
{
    struct Case {
        std::optional<std::string> sni;
        bool with_certificate;
    };
    for (const Case& c : {Case{std::string("server.kavri.test"), true}, Case{std::nullopt, false}}) {
        TlsTestClient peer;
        if (c.with_certificate)
            peer.set_identity(small_client_identity());
        ASSERT_TRUE(peer.connect(server.port(), c.sni));
        const auto conn = server.accept();
        ASSERT_TRUE(conn);
        EXPECT_EQ(conn->sni(), c.sni);
        EXPECT_EQ(conn->client_certificate_der(),
                  c.with_certificate ? small_client_identity()->der() : std::vector<unsigned char>());
        EXPECT_EQ(conn->protocol(), "TLSv1.2");
        EXPECT_EQ(peer.server_certificate_der(), server_identity()->der());
    }
}

TEST_F(Peers, IdentityChangesFromOneAcceptToTheNext)
{
    server.set_identities({other_identity(), server_identity()});
    for (const auto& expected : {other_identity(), server_identity(), server_identity()}) {
        ASSERT_TRUE(client.connect(server.port()));
        EXPECT_EQ(client.server_certificate_der(), expected->der());
        ASSERT_TRUE(server.accept());
    }
    EXPECT_EQ(server.tcp_accepts(), 3u);
}

TEST_F(Peers, FramesOfBothFormsCrossAndFailRepliesParse)
{
    ASSERT_TRUE(client.connect(server.port(), std::string("s")));
    const auto conn = server.accept();
    ASSERT_TRUE(conn);

    ASSERT_TRUE(client.send(SsigFrame::tlv(SsigFrame::INVITE, {{"1spi", "abcd"}, {"cipa", "12345"}})));
    auto f = conn->read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, SsigFrame::Kind::Tlv);
    EXPECT_EQ(f->tlv_command(), SsigFrame::INVITE);
    EXPECT_EQ(f->tlv_length(), f->bytes.size() - 8);
    EXPECT_EQ(f->tlv_elements(),
              (std::vector<SsigFrame::Element>{{"1spi", "abcd"}, {"cipa", "12345"}}));

    // A POST frame in three records.
    const std::string body = "<KAVRI><REJECT /></KAVRI>";
    ASSERT_TRUE(client.send_split(SsigFrame::post(body), {3, 100}));
    f = conn->read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, SsigFrame::Kind::Post);
    EXPECT_EQ(f->body, body);

    ASSERT_TRUE(client.send(SsigFrame::tlv_of_length(4096)));
    f = conn->read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->body.size(), 4096u);

    const std::vector<HelloHop> hops{{"1.0", "client-proxy", 0}};
    ASSERT_TRUE(conn->send(server_replies::fail(1034, "Some reason", hops)));
    f = client.read_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, SsigFrame::Kind::Reply);
    const auto fail = FailReply::parse(*f);
    ASSERT_TRUE(fail);
    EXPECT_EQ(fail->code, 1034u);
    EXPECT_EQ(fail->reason, "Some reason");
    EXPECT_EQ(fail->hops, hops);
    EXPECT_TRUE(fail->reply_form);

    ASSERT_TRUE(conn->send(server_replies::rejected()));
    f = client.read_frame();
    ASSERT_TRUE(f);
    EXPECT_NE(f->body.find("<REJECTED"), std::string::npos);
    EXPECT_FALSE(FailReply::parse(*f));
}

TEST_F(Peers, CloseAndSilenceAreToldApart)
{
    ASSERT_TRUE(client.connect(server.port()));
    auto conn = server.accept();
    ASSERT_TRUE(conn);
    EXPECT_TRUE(client.open_and_silent(300ms));
    EXPECT_TRUE(conn->open_and_silent(300ms));
    // Data is not silence, and a live peer is not a close.
    ASSERT_TRUE(conn->send("data"));
    EXPECT_FALSE(client.open_and_silent(300ms));
    EXPECT_FALSE(client.wait_closed(300ms));
    conn->close();
    EXPECT_TRUE(client.wait_closed());

    ASSERT_TRUE(client.connect(server.port()));
    conn = server.accept();
    ASSERT_TRUE(conn);
    client.close();
    EXPECT_TRUE(conn->wait_closed());
}

TEST_F(Peers, HeldHandshakeLeavesTheClientWaiting)
{
    server.set_handshake_delay(-1ms);
    EXPECT_FALSE(client.connect(server.port(), std::nullopt, 400ms));
    EXPECT_EQ(server.tcp_accepts(), 1u);
    server.set_handshake_delay(200ms);
    ASSERT_TRUE(client.connect(server.port()));
    EXPECT_TRUE(server.accept());
    EXPECT_TRUE(server.no_connection_for(100ms));
}

TEST(ClosedPeer, WriteFailsWithoutEndingTheTestProcess)
{
    // The gateway often closes first (a removed leg, a pruned client); the
    // peer's next write must fail, not raise SIGPIPE.
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ::close(sv[1]);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    ASSERT_TRUE(ctx);
    SSL* ssl = SSL_new(ctx);
    ASSERT_TRUE(ssl);
    SSL_set_fd(ssl, sv[0]);
    {
        TlsStream stream(sv[0], ssl);
        EXPECT_FALSE(stream.handshake(false, TlsStream::clock::now() + 2s));
    }
    SSL_CTX_free(ctx);
}

TEST(Probes, ListeningPortsAreSeenWithoutConnecting)
{
    TlsTestServer server(server_identity());
    EXPECT_TRUE(is_listening(server.port()));
    EXPECT_EQ(server.tcp_accepts(), 0u);
    EXPECT_FALSE(is_listening(free_port(SOCK_STREAM)));
}

TEST(Media, SealedDatagramCrossesTheUdpPeers)
{
    UdpPeer a, b;
    ASSERT_TRUE(a.is_bound() && b.is_bound());
    const relay_test::bytes key(16, 7);
    const unsigned char header[16] = {0x12, 0x34, 0x56, 0x78, 0, 0, 0, 1, 9, 9, 9, 9, 9, 9, 9, 9};
    const auto d = relay_test::evp_seal(key, 0x01020304, header, relay_test::bytes(40, 0x33));
    ASSERT_TRUE(a.send_to(b.port(), d));
    unsigned short from = 0;
    const auto got = b.receive(2000ms, &from);
    EXPECT_EQ(got, d);
    EXPECT_EQ(from, a.port());
    relay_test::bytes plain;
    EXPECT_TRUE(relay_test::evp_open(key, 0x01020304, got, &plain));
    EXPECT_EQ(plain, relay_test::bytes(40, 0x33));
    EXPECT_TRUE(b.receive(100ms).empty());
}

}  // namespace
