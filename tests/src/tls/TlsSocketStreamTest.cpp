// The gateway's TLS stream against OpenSSL peers that place every byte
// themselves, each case run twice: on Asio's TLS stream (what the legs ran
// on before, so its results are the reference) and on TlsSocketStream,
// which must give the same results: handshakes both ways, records of 1 byte
// to 16 KiB, several reads served by one record, a record arriving in
// pieces, every way a connection can end, handshakes that never finish or
// fail, a peer that stops reading, renegotiation asked by either side, and
// operations after close.
#include "RawTlsPeer.h"
#include "StreamHarness.h"
#include "TlsTestContexts.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <thread>

namespace {

using namespace kavri_test;
using namespace std::chrono_literals;
using boost::asio::ssl::stream_base;
using boost::system::error_code;

template <typename Kind>
class TlsStreamTest : public ::testing::Test {
protected:
    using Harness = StreamHarness<Kind>;

    // A stream in role, its peer in the other; both handshaken.
    void connect(stream_base::handshake_type role)
    {
        open(role);
        auto done = harness->handshake(role);
        ASSERT_TRUE(peer->handshake()) << "the peer's handshake failed";
        const auto r = Harness::get(done);
        ASSERT_TRUE(r) << "the stream's handshake did not complete";
        ASSERT_FALSE(r->ec) << r->ec.message();
    }
    // A stream in role and a peer that has not begun its handshake.
    void open(stream_base::handshake_type role)
    {
        TlsTestContexts& c = tls_contexts();
        harness = std::make_unique<Harness>(role == stream_base::server ? c.server : c.client);
        peer = std::make_unique<RawTlsPeer>(harness->take_peer_fd(),
                                            role == stream_base::server ? c.raw_client : c.raw_server,
                                            role == stream_base::client);
    }

    std::unique_ptr<Harness> harness;
    std::unique_ptr<RawTlsPeer> peer;
};

using Kinds = ::testing::Types<AsioKind, OwnKind>;
class KindNames {
public:
    template <typename T>
    static std::string GetName(int)
    {
        return std::is_same<T, AsioKind>::value ? "AsioStream" : "OwnStream";
    }
};
TYPED_TEST_SUITE(TlsStreamTest, Kinds, KindNames);

std::string pattern(std::size_t n, char seed = 'a')
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(seed + static_cast<char>(i % 23));
    return s;
}

const stream_base::handshake_type kRoles[] = {stream_base::server, stream_base::client};

const char* role_name(stream_base::handshake_type role)
{
    return role == stream_base::server ? "as server" : "as client";
}

TYPED_TEST(TlsStreamTest, HandshakesBothWaysAndDataBothWays)
{
    for (const auto role : kRoles) {
        SCOPED_TRACE(role_name(role));
        ASSERT_NO_FATAL_FAILURE(this->connect(role));
        EXPECT_STREQ(SSL_get_version(this->peer->ssl()), "TLSv1.2");
        EXPECT_STREQ(SSL_get_cipher_name(this->peer->ssl()), SSL_get_cipher_name(this->harness->stream->native_handle()));

        auto in = this->harness->read_exact(4);
        ASSERT_TRUE(this->peer->send("ping"));
        auto r = TestFixture::Harness::get(in);
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->ec) << r->ec.message();
        EXPECT_EQ(r->data, "ping");

        auto out = this->harness->write("pong");
        std::string got;
        EXPECT_EQ(this->peer->read_exact(4, got), RawTlsPeer::Read::DATA);
        EXPECT_EQ(got, "pong");
        r = TestFixture::Harness::get(out);
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->ec);
        EXPECT_EQ(r->bytes, 4u);
    }
}

TYPED_TEST(TlsStreamTest, RecordsOfOneByteTo16KiBArriveWholeEitherWay)
{
    ASSERT_NO_FATAL_FAILURE(this->connect(stream_base::server));
    for (const std::size_t size : {1u, 2u, 5u, 1000u, 4096u, 16383u, 16384u}) {
        SCOPED_TRACE(size);
        const std::string record = pattern(size);
        auto in = this->harness->read_exact(size);
        ASSERT_TRUE(this->peer->send(record));
        const auto r = TestFixture::Harness::get(in);
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->ec) << r->ec.message();
        EXPECT_EQ(r->data, record);
    }
    // Above 16 KiB a write takes several records.
    for (const std::size_t size : {1u, 16384u, 16385u, 100000u}) {
        SCOPED_TRACE(size);
        const std::string data = pattern(size, 'A');
        auto out = this->harness->write(data);
        std::string got;
        EXPECT_EQ(this->peer->read_exact(size, got), RawTlsPeer::Read::DATA);
        EXPECT_EQ(got, data);
        const auto r = TestFixture::Harness::get(out);
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->ec);
        EXPECT_EQ(r->bytes, size);
    }
}

// Exact reads as the frame reader makes them: nothing more arrives after
// the one record, so a read that waited for the socket would never end.
TYPED_TEST(TlsStreamTest, OneRecordServesSeveralReads)
{
    ASSERT_NO_FATAL_FAILURE(this->connect(stream_base::client));
    const std::string pieces[] = {std::string(4, '\0'), std::string("\0\0\0\x08", 4), "12345678"};
    ASSERT_TRUE(this->peer->send(pieces[0] + pieces[1] + pieces[2]));
    for (const std::string& expected : pieces) {
        auto in = this->harness->read_exact(expected.size());
        const auto r = TestFixture::Harness::get(in, 2s);
        ASSERT_TRUE(r) << "a read waited for bytes that were already in the record";
        EXPECT_FALSE(r->ec);
        EXPECT_EQ(r->data, expected);
    }

    // A header and its body in one record: the delimited read gets it all,
    // and the rest of the body comes from a later record.
    const std::string header = "POST /kavri-client HTTP/1.0\r\nContent-Length: 12\r\n\r\n";
    ASSERT_TRUE(this->peer->send(header + "<KAVRI>"));
    auto until = this->harness->read_until("\r\n\r\n");
    auto r = TestFixture::Harness::get(until, 2s);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->ec);
    EXPECT_EQ(r->bytes, header.size());
    EXPECT_EQ(r->data, header + "<KAVRI>");
    auto rest = this->harness->read_exact(5);
    EXPECT_TRUE(TestFixture::Harness::pending(rest, 200ms));
    ASSERT_TRUE(this->peer->send("<a/>\n"));
    r = TestFixture::Harness::get(rest, 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, "<a/>\n");
}

TYPED_TEST(TlsStreamTest, ARecordSentInPiecesCompletesWithItsLastPiece)
{
    ASSERT_NO_FATAL_FAILURE(this->connect(stream_base::server));
    const std::string data = pattern(1000);
    const std::string record = this->peer->seal(data);
    ASSERT_EQ(record.size(), 5 + 8 + data.size() + 16) << "one AES-GCM record";
    auto in = this->harness->read_exact(data.size());
    // The header split, then the body in three.
    std::size_t at = 0;
    for (const std::size_t piece : {1u, 3u, 1u, 7u, 500u}) {
        ASSERT_TRUE(this->peer->send_raw(record.substr(at, piece)));
        at += piece;
        EXPECT_TRUE(TestFixture::Harness::pending(in, 50ms)) << "complete after " << at << " bytes";
    }
    ASSERT_TRUE(this->peer->send_raw(record.substr(at)));
    const auto r = TestFixture::Harness::get(in);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->ec) << r->ec.message();
    EXPECT_EQ(r->data, data);
}

struct EndCase {
    const char* name;
    // What the peer does after sending "data" in one record.
    void (*end)(RawTlsPeer& peer);
    error_code expected;
};

TYPED_TEST(TlsStreamTest, EveryEndOfTheConnectionGivesTheErrorOfAsiosStream)
{
    const EndCase cases[] = {
        {"close_notify", [](RawTlsPeer& p) { p.close_notify(); }, boost::asio::error::eof},
        {"FIN at a record boundary", [](RawTlsPeer& p) { p.close(); }, boost::asio::ssl::error::stream_truncated},
        {"FIN in the middle of a record",
         [](RawTlsPeer& p) {
             const std::string record = p.seal(pattern(300));
             p.send_raw(record.substr(0, 100));
             p.close();
         },
         boost::asio::ssl::error::stream_truncated},
        {"RST in the middle of a record",
         [](RawTlsPeer& p) {
             const std::string record = p.seal(pattern(300));
             p.send_raw(record.substr(0, 100));
             std::this_thread::sleep_for(50ms);
             p.reset();
         },
         boost::asio::error::connection_reset},
        {"RST", [](RawTlsPeer& p) { p.reset(); }, boost::asio::error::connection_reset},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(this->connect(stream_base::server));
        ASSERT_TRUE(this->peer->send("data"));
        auto first = this->harness->read_exact(4);
        auto r = TestFixture::Harness::get(first);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->data, "data");
        auto next = this->harness->read_exact(300);
        c.end(*this->peer);
        r = TestFixture::Harness::get(next);
        ASSERT_TRUE(r) << "the read never ended";
        EXPECT_EQ(r->ec, c.expected) << r->ec.message();
        EXPECT_EQ(r->bytes, 0u);
    }
}

TYPED_TEST(TlsStreamTest, AHandshakeThatNeverFinishesEndsWhenTheStreamCloses)
{
    const struct {
        const char* name;
        stream_base::handshake_type role;
        std::size_t hello_bytes;  // of the peer's first flight, sent before it falls silent
    } cases[] = {
        {"server, silent client", stream_base::server, 0},
        {"server, half a ClientHello", stream_base::server, 40},
        {"client, silent server", stream_base::client, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        this->open(c.role);
        auto done = this->harness->handshake(c.role);
        if (c.hello_bytes) {
            SSL_do_handshake(this->peer->ssl());
            char flight[4096];
            const int n = BIO_read(SSL_get_wbio(this->peer->ssl()), flight, sizeof flight);
            ASSERT_GT(n, static_cast<int>(c.hello_bytes));
            ASSERT_TRUE(this->peer->send_raw(std::string(flight, c.hello_bytes)));
        }
        EXPECT_TRUE(TestFixture::Harness::pending(done, 300ms));
        this->harness->close();
        const auto r = TestFixture::Harness::get(done);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->ec, boost::asio::error::operation_aborted) << r->ec.message();
    }
}

// The client leg writes its next queued frame after a failed one. (A third
// write never completes on Asio's stream; this stream fails it as the
// second.)
TYPED_TEST(TlsStreamTest, WritesAfterAResetFailAsOnAsiosStream)
{
    ASSERT_NO_FATAL_FAILURE(this->connect(stream_base::server));
    this->peer->reset();
    std::this_thread::sleep_for(50ms);
    const error_code expected[] = {boost::asio::error::connection_reset, boost::asio::error::broken_pipe};
    for (int i = 0; i < 2; ++i) {
        auto out = this->harness->write(pattern(3000));
        const auto r = TestFixture::Harness::get(out);
        ASSERT_TRUE(r) << "write " << i;
        EXPECT_EQ(r->ec, expected[i]) << i << " " << r->ec.message();
    }
}

TYPED_TEST(TlsStreamTest, HandshakeFailuresGiveTheErrorsOfAsiosStream)
{
    const struct {
        const char* name;
        void (*peer)(RawTlsPeer& p);
        error_code expected;
    } cases[] = {
        {"plain text", [](RawTlsPeer& p) { p.send_raw("this is not TLS\r\n\r\n"); },
         error_code(static_cast<int>(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_WRONG_VERSION_NUMBER)),
                    boost::asio::error::get_ssl_category())},
        {"FIN", [](RawTlsPeer& p) { p.close(); }, boost::asio::ssl::error::stream_truncated},
        {"RST", [](RawTlsPeer& p) { p.reset(); }, boost::asio::error::connection_reset},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        this->open(stream_base::server);
        auto done = this->harness->handshake(stream_base::server);
        c.peer(*this->peer);
        const auto r = TestFixture::Harness::get(done);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->ec, c.expected) << r->ec.message() << " (" << r->ec.category().name() << " "
                                     << r->ec.value() << ")";
    }
}

TYPED_TEST(TlsStreamTest, AWriteToAPeerThatStopsReadingWaitsThenCompletesOrAborts)
{
    const std::string data = pattern(4 << 20);
    // The peer reads after a pause: every byte arrives, in order.
    ASSERT_NO_FATAL_FAILURE(this->connect(stream_base::client));
    auto out = this->harness->write(data);
    EXPECT_TRUE(TestFixture::Harness::pending(out, 300ms));
    std::string got;
    EXPECT_EQ(this->peer->read_exact(data.size(), got, 10s), RawTlsPeer::Read::DATA);
    EXPECT_TRUE(got == data);
    auto r = TestFixture::Harness::get(out);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->ec);
    EXPECT_EQ(r->bytes, data.size());

    // It never reads: close ends the write.
    ASSERT_NO_FATAL_FAILURE(this->connect(stream_base::server));
    out = this->harness->write(data);
    EXPECT_TRUE(TestFixture::Harness::pending(out, 300ms));
    this->harness->close();
    r = TestFixture::Harness::get(out);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ec, boost::asio::error::operation_aborted) << r->ec.message();
}

// OpenSSL 3.0 lets a server ask a client to renegotiate, and refuses a
// client's own request (a warning alert, which the peer's OpenSSL answers
// with a fatal one).
TYPED_TEST(TlsStreamTest, RenegotiationAskedByEitherPeerEndsAsOnAsiosStream)
{
    // The peer is the server: the stream renegotiates inside its read.
    ASSERT_NO_FATAL_FAILURE(this->connect(stream_base::client));
    auto in = this->harness->read_exact(5);
    ASSERT_TRUE(this->peer->start_renegotiation());
    EXPECT_EQ(this->peer->read_to_end(1s), RawTlsPeer::Read::TIMEOUT);
    EXPECT_EQ(SSL_renegotiate_pending(this->peer->ssl()), 0) << "the renegotiation did not finish";
    ASSERT_TRUE(this->peer->send("after"));
    auto r = TestFixture::Harness::get(in);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->ec) << r->ec.message();
    EXPECT_EQ(r->data, "after");

    // The peer is the client: refused, and the connection ends.
    ASSERT_NO_FATAL_FAILURE(this->connect(stream_base::server));
    in = this->harness->read_exact(5);
    ASSERT_TRUE(this->peer->start_renegotiation());
    EXPECT_EQ(this->peer->read_to_end(2s), RawTlsPeer::Read::ALERT_OR_ERROR);
    r = TestFixture::Harness::get(in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ec, error_code(static_cast<int>(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE)),
                                boost::asio::error::get_ssl_category()))
        << r->ec.message() << " (" << r->ec.category().name() << " " << r->ec.value() << ")";
}

TYPED_TEST(TlsStreamTest, ReadsAndWritesAfterCloseFailWithBadDescriptor)
{
    ASSERT_NO_FATAL_FAILURE(this->connect(stream_base::server));
    this->harness->close();
    auto in = this->harness->read_exact(4);
    auto out = this->harness->write("late");
    for (auto* f : {&in, &out}) {
        const auto r = TestFixture::Harness::get(*f);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->ec, boost::asio::error::bad_descriptor) << r->ec.message();
    }
}

}  // namespace
