// The gateway's TLS stream with real peers: Asio's TLS stream in the same
// process (both roles, reads and writes in both directions at once), and the
// openssl command's s_server and s_client; and what only this stream
// promises: no SSL call once its socket is closed, even when a wait had
// already seen the socket ready and its descriptor number is reused.
#include "OpensslProcess.h"
#include "RawTlsPeer.h"
#include "StreamHarness.h"
#include "TempDir.h"
#include "TlsTestContexts.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <thread>

namespace {

using namespace kavri_test;
using namespace std::chrono_literals;
using boost::asio::ssl::stream_base;

std::string pattern(std::size_t n, char seed)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(seed + static_cast<char>(i % 29));
    return s;
}

// A port nobody listens on now (bound, read, released).
unsigned short free_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

int connect_loopback(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(TlsStreamInterop, WithAsiosStreamInEitherRoleBothDirectionsAtOnce)
{
    TlsTestContexts& c = tls_contexts();
    for (const bool own_is_server : {true, false}) {
        SCOPED_TRACE(own_is_server ? "own stream as server" : "own stream as client");
        StreamHarness<OwnKind> own(own_is_server ? c.server : c.client);
        StreamHarness<AsioKind> asio(own_is_server ? c.client : c.server, own.take_peer_fd());
        auto own_done = own.handshake(own_is_server ? stream_base::server : stream_base::client);
        auto asio_done = asio.handshake(own_is_server ? stream_base::client : stream_base::server);
        for (auto* f : {&own_done, &asio_done}) {
            const auto r = StreamHarness<OwnKind>::get(*f);
            ASSERT_TRUE(r);
            ASSERT_FALSE(r->ec) << r->ec.message();
        }

        // 1 MiB each way with both sides writing and reading at once: a
        // write that waited while its peer was not reading must not hold up
        // the read beside it.
        const std::string to_asio = pattern(1 << 20, 'a'), to_own = pattern(1 << 20, 'A');
        auto own_in = own.read_exact(to_own.size());
        auto asio_in = asio.read_exact(to_asio.size());
        auto own_out = own.write(to_asio);
        auto asio_out = asio.write(to_own);
        for (auto* f : {&own_out, &asio_out}) {
            const auto r = StreamHarness<OwnKind>::get(*f, 10s);
            ASSERT_TRUE(r);
            EXPECT_FALSE(r->ec) << r->ec.message();
        }
        auto r = StreamHarness<OwnKind>::get(own_in, 10s);
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->data == to_own);
        r = StreamHarness<OwnKind>::get(asio_in, 10s);
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->data == to_asio);

        // Closed without close_notify, as the legs close: Asio's stream sees
        // a truncated stream.
        auto asio_end = asio.read_exact(1);
        own.close();
        r = StreamHarness<OwnKind>::get(asio_end);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->ec, boost::asio::ssl::error::stream_truncated) << r->ec.message();
    }
}

TEST(TlsStreamInterop, AsClientOfOpensslSServer)
{
    TlsTestContexts& c = tls_contexts();
    TempDir dir;
    const std::string cert = dir.write("cert.pem", c.identity->certificate_pem());
    const std::string key = dir.write("key.pem", c.identity->key_pem());
    const unsigned short port = free_port();
    // -rev sends each line back reversed.
    OpensslProcess server({"s_server", "-accept", std::to_string(port), "-cert", cert, "-key", key, "-tls1_2",
                           "-rev", "-naccept", "1"});
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.wait_for_output("ACCEPT")) << server.output();
    const int fd = connect_loopback(port);
    ASSERT_GE(fd, 0);

    StreamHarness<OwnKind> own(c.client, fd);
    auto done = own.handshake(stream_base::client);
    auto r = StreamHarness<OwnKind>::get(done);
    ASSERT_TRUE(r);
    ASSERT_FALSE(r->ec) << r->ec.message() << "\n" << server.output();
    EXPECT_STREQ(SSL_get_version(own.stream->native_handle()), "TLSv1.2");

    auto in = own.read_exact(6);
    auto out = own.write("kavri\n");
    r = StreamHarness<OwnKind>::get(out);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->ec);
    r = StreamHarness<OwnKind>::get(in);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->ec) << r->ec.message();
    EXPECT_EQ(r->data, "irvak\n");
    EXPECT_TRUE(server.wait_for_output("CONNECTION ESTABLISHED")) << server.output();
}

TEST(TlsStreamInterop, AsServerOfOpensslSClient)
{
    TlsTestContexts& c = tls_contexts();
    IoThreads threads(1);
    tcp::acceptor acceptor(threads.io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    const unsigned short port = acceptor.local_endpoint().port();
    // -quiet: sends its input once connected and prints what arrives until
    // the server closes.
    OpensslProcess client({"s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-tls1_2", "-quiet"});
    ASSERT_TRUE(client.started());
    tcp::socket accepted(threads.io);
    acceptor.accept(accepted);

    StreamHarness<OwnKind> own(c.server, accepted.release());
    auto done = own.handshake(stream_base::server);
    auto r = StreamHarness<OwnKind>::get(done);
    ASSERT_TRUE(r);
    ASSERT_FALSE(r->ec) << r->ec.message() << "\n" << client.output();

    auto in = own.read_exact(5);
    ASSERT_TRUE(client.write("ping\n"));
    r = StreamHarness<OwnKind>::get(in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, "ping\n");
    auto out = own.write("pong\n");
    r = StreamHarness<OwnKind>::get(out);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->ec);
    EXPECT_TRUE(client.wait_for_output("pong")) << client.output();
    own.close();
    EXPECT_TRUE(client.wait_exit()) << client.output();
}

// The wait has completed (the socket was readable) and its completion is
// queued behind a strand handler that closes the socket and puts another
// connection under the same descriptor number. The read
// must end aborted, and the new connection's bytes must stay where they are.
TEST(TlsStreamInterop, NoSslCallOnceTheSocketIsClosedEvenIfItsNumberIsReused)
{
    TlsTestContexts& c = tls_contexts();
    StreamHarness<OwnKind> own(c.server);
    RawTlsPeer peer(own.take_peer_fd(), c.raw_client, false);
    auto done = own.handshake(stream_base::server);
    ASSERT_TRUE(peer.handshake());
    ASSERT_TRUE(StreamHarness<OwnKind>::get(done));

    auto in = own.read_exact(4);
    std::pair<int, int> reused{-1, -1};
    int old_fd = -1;
    own.on_strand([&] {
        ASSERT_TRUE(peer.send("data"));
        // The reactor sees the bytes and queues the read's wait completion
        // on this strand, which this handler holds.
        std::this_thread::sleep_for(100ms);
        old_fd = own.socket.native_handle();
        boost::system::error_code ignored;
        own.stream->close(ignored);
        reused = tcp_pair();
        if (reused.first != old_fd) {
            ::dup2(reused.first, old_fd);
            ::close(reused.first);
            reused.first = old_fd;
        }
        ::send(reused.second, "NEW!", 4, MSG_NOSIGNAL);
    });
    const auto r = StreamHarness<OwnKind>::get(in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ec, boost::asio::error::operation_aborted) << r->ec.message();
    char buffer[8] = {0};
    pollfd p{reused.first, POLLIN, 0};
    ::poll(&p, 1, 1000);
    EXPECT_EQ(::recv(reused.first, buffer, sizeof buffer, MSG_DONTWAIT), 4) << "bytes were taken " << errno;
    EXPECT_STREQ(buffer, "NEW!");
    ::close(reused.first);
    ::close(reused.second);
}

}  // namespace
