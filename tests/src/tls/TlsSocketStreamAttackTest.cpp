// The gateway's TLS stream under attack: records and frames split at random
// points, two frames cut at every byte, connections cut (FIN or RST) at every
// point of either handshake flight, closes racing handshakes, reads and
// writes, a cancel between reads, a read completing beside a write stalled
// by a peer that stops reading, a write into a reset connection without
// SIGPIPE, and a thousand connections that end in every way, leaving no
// operation, descriptor or stream behind.
#include "RawTlsPeer.h"
#include "StreamHarness.h"
#include "TlsTestContexts.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <csignal>
#include <random>
#include <thread>

namespace {

using namespace kavri_test;
using namespace std::chrono_literals;
using boost::asio::ssl::stream_base;
using Harness = StreamHarness<OwnKind>;

std::string pattern(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 31 + seed) & 0xff);
    return s;
}

std::size_t open_fds()
{
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// A stream in role with its raw peer, both handshaken.
struct Connected {
    explicit Connected(stream_base::handshake_type role)
        : harness(role == stream_base::server ? tls_contexts().server : tls_contexts().client),
          peer(harness.take_peer_fd(), role == stream_base::server ? tls_contexts().raw_client : tls_contexts().raw_server,
               role == stream_base::client)
    {
        auto done = harness.handshake(role);
        ok = peer.handshake();
        const auto r = Harness::get(done);
        ok = ok && r && !r->ec;
    }
    Harness harness;
    RawTlsPeer peer;
    bool ok = false;
};

TEST(TlsStreamAttack, RecordsAndReadsSplitAtRandomPointsKeepEveryByte)
{
    Connected c(stream_base::server);
    ASSERT_TRUE(c.ok);
    std::mt19937 random(17);
    for (int round = 0; round < 150; ++round) {
        const std::string message = pattern(1 + random() % 40000, static_cast<unsigned>(round));
        // The records go out in random pieces while the reader asks for
        // random exact lengths, one read at a time, as the frame reader does.
        const std::string records = c.peer.seal(message);
        std::vector<std::size_t> pieces;
        for (std::size_t at = 0; at < records.size();) {
            pieces.push_back(std::min<std::size_t>(records.size() - at, 1 + random() % 700));
            at += pieces.back();
        }
        std::thread sender([&] {
            std::size_t at = 0;
            for (const std::size_t piece : pieces) {
                c.peer.send_raw(records.substr(at, piece));
                at += piece;
                if (at % 3 == 0)
                    std::this_thread::yield();
            }
        });
        std::string got;
        while (got.size() < message.size()) {
            auto f = c.harness.read_exact(std::min<std::size_t>(message.size() - got.size(), 1 + random() % 5000));
            const auto r = Harness::get(f);
            if (!r || r->ec)
                break;
            got += r->data;
        }
        sender.join();
        ASSERT_TRUE(got == message) << "round " << round << ": " << got.size() << " of " << message.size();
    }
}

// Two frames as the frame reader takes them (type, length, body), in one
// record or in two, cut into two TCP pieces at every byte: no read sees a
// byte before its record is whole, and every read gets exactly its bytes,
// the later ones from what OpenSSL already holds.
TEST(TlsStreamAttack, TwoFramesInOneRecordOrTwoCutAtEveryByteReadExactly)
{
    Connected c(stream_base::server);
    ASSERT_TRUE(c.ok);
    const std::string first = std::string(4, '\0') + std::string("\0\0\0\x20", 4) + pattern(32, 1);
    const std::string second = "POST" + pattern(16, 2);
    const std::vector<std::size_t> reads = {4, 4, 32, 4, 16};
    for (const bool one_record : {true, false}) {
        // Every record sealed is sent: each has its own sequence number.
        for (std::size_t cut = 1, size = 2; cut < size; ++cut) {
            const std::string a = c.peer.seal(one_record ? first + second : first);
            const std::string records = one_record ? a : a + c.peer.seal(second);
            size = records.size();
            SCOPED_TRACE((one_record ? "one record, cut " : "two records, cut ") + std::to_string(cut));
            auto in = c.harness.read_exact(reads[0]);
            ASSERT_TRUE(c.peer.send_raw(records.substr(0, cut)));
            // Before the first record is whole, nothing may be read.
            if (cut < a.size()) {
                EXPECT_TRUE(Harness::pending(in, 2ms));
            }
            ASSERT_TRUE(c.peer.send_raw(records.substr(cut)));
            std::string got;
            for (std::size_t i = 0; i < reads.size(); ++i) {
                if (i > 0)
                    in = c.harness.read_exact(reads[i]);
                const auto r = Harness::get(in, 2s);
                ASSERT_TRUE(r) << "read " << i << " never completed";
                ASSERT_FALSE(r->ec) << r->ec.message();
                got += r->data;
            }
            ASSERT_EQ(got, first + second);
        }
    }
}

// The flights of a full handshake, cut by the peer after k bytes.
TEST(TlsStreamAttack, ConnectionsCutAtEveryPointOfTheHandshakeEndIt)
{
    for (const auto role : {stream_base::server, stream_base::client}) {
        for (const bool reset : {false, true}) {
            for (const int flight : {1, 2}) {
                // Flight 1 is the peer's first (ClientHello, or the server's
                // hello flight); flight 2 its second (the client's key
                // exchange and Finished, or the server's Finished).
                for (const std::size_t cut : {0u, 1u, 4u, 5u, 6u, 60u, 200u, 1000u}) {
                    SCOPED_TRACE(std::string(role == stream_base::server ? "server" : "client") +
                                 (reset ? " RST" : " FIN") + " flight " + std::to_string(flight) + " cut " +
                                 std::to_string(cut));
                    Harness h(role == stream_base::server ? tls_contexts().server : tls_contexts().client);
                    RawTlsPeer peer(h.take_peer_fd(),
                                    role == stream_base::server ? tls_contexts().raw_client : tls_contexts().raw_server,
                                    role == stream_base::client);
                    auto done = h.handshake(role);
                    // Everything the peer writes is held back and sent by hand.
                    SSL* ssl = peer.ssl();
                    // The peer's next flight: what it writes once it has read
                    // enough of the stream's.
                    const auto next_flight = [&] {
                        std::string bytes;
                        const auto deadline = std::chrono::steady_clock::now() + 2s;
                        for (;;) {
                            SSL_do_handshake(ssl);
                            char buffer[16384];
                            int n;
                            while ((n = BIO_read(SSL_get_wbio(ssl), buffer, sizeof buffer)) > 0)
                                bytes.append(buffer, static_cast<std::size_t>(n));
                            if (!bytes.empty() || std::chrono::steady_clock::now() > deadline ||
                                !peer.readable(1000ms))
                                return bytes;
                            const ssize_t got = ::recv(peer.fd(), buffer, sizeof buffer, 0);
                            if (got <= 0)
                                return bytes;
                            BIO_write(SSL_get_rbio(ssl), buffer, static_cast<int>(got));
                        }
                    };
                    std::string bytes;
                    for (int f = 1; f <= flight; ++f) {
                        bytes = next_flight();
                        if (f < flight) {
                            ASSERT_TRUE(peer.send_raw(bytes));
                        }
                    }
                    ASSERT_FALSE(bytes.empty());
                    ASSERT_TRUE(peer.send_raw(bytes.substr(0, std::min(cut, bytes.size() - 1))));
                    if (reset)
                        peer.reset();
                    else
                        peer.close();
                    const auto r = Harness::get(done);
                    ASSERT_TRUE(r) << "the handshake never ended";
                    EXPECT_TRUE(r->ec);
                }
            }
        }
    }
}

TEST(TlsStreamAttack, ClosesRacingHandshakesReadsAndWritesCompleteEachOperationOnce)
{
    std::mt19937 random(5);
    for (int round = 0; round < 120; ++round) {
        Harness h(tls_contexts().server);
        RawTlsPeer peer(h.take_peer_fd(), tls_contexts().raw_client, false);
        auto done = h.handshake(stream_base::server);
        std::thread client([&] {
            if (peer.handshake(2s))
                peer.send(pattern(20000, 1));
        });
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        auto in = h.read_exact(20000);
        auto out = h.write(pattern(1 << 20, 2));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        h.close();
        for (auto* f : {&done, &in, &out})
            ASSERT_TRUE(Harness::get(*f)) << "an operation never completed, round " << round;
        client.join();
    }
}

TEST(TlsStreamAttack, ACancelledReadLeavesTheStreamReadable)
{
    Connected c(stream_base::server);
    ASSERT_TRUE(c.ok);
    auto in = c.harness.read_exact(4);
    EXPECT_TRUE(Harness::pending(in, 100ms));
    c.harness.on_strand([&] { c.harness.socket.cancel(); });
    auto r = Harness::get(in);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ec, boost::asio::error::operation_aborted);
    in = c.harness.read_exact(4);
    ASSERT_TRUE(c.peer.send("next"));
    r = Harness::get(in);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->ec) << r->ec.message();
    EXPECT_EQ(r->data, "next");
}

TEST(TlsStreamAttack, AReadCompletesBesideAWriteStalledByAPeerThatStopsReading)
{
    Connected c(stream_base::client);
    ASSERT_TRUE(c.ok);
    auto out = c.harness.write(pattern(8 << 20, 3));
    auto in = c.harness.read_exact(3);
    EXPECT_TRUE(Harness::pending(out, 300ms));
    ASSERT_TRUE(c.peer.send("hey"));
    auto r = Harness::get(in, 2s);
    ASSERT_TRUE(r) << "the read waited behind the stalled write";
    EXPECT_EQ(r->data, "hey");
    EXPECT_TRUE(Harness::pending(out, 10ms));
    // The peer goes away: the writes fail (the second on a broken pipe), and
    // the process is not killed by SIGPIPE even where it is not ignored (the
    // gateway ignores nothing).
    const auto previous = std::signal(SIGPIPE, SIG_DFL);
    c.peer.reset();
    r = Harness::get(out);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ec, boost::asio::error::connection_reset) << r->ec.message();
    for (int i = 0; i < 3; ++i) {
        out = c.harness.write("more");
        r = Harness::get(out);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->ec, boost::asio::error::broken_pipe) << r->ec.message();
    }
    std::signal(SIGPIPE, previous);
}

// The way a listener meets the world: a thousand connections, each ending
// its own way. Every stream's operations complete, every stream is freed,
// and no descriptor is left open.
TEST(TlsStreamAttack, AThousandConnectionsEndingEveryWayLeaveNothingBehind)
{
    struct Connection : std::enable_shared_from_this<Connection> {
        Connection(tcp::socket s, const strand_type& strand, std::atomic<int>& alive)
            : socket(std::move(s)), stream(socket, tls_contexts().server, strand), counter(alive)
        {
            ++counter;
        }
        ~Connection() { --counter; }
        void start()
        {
            auto self = shared_from_this();
            stream.async_handshake(stream_base::server, [self](const boost::system::error_code& ec) {
                if (!ec)
                    self->read();
                else
                    self->close();
            });
        }
        void read()
        {
            auto self = shared_from_this();
            stream.async_read_some(boost::asio::buffer(buffer), [self](const boost::system::error_code& ec,
                                                                       std::size_t) {
                if (ec)
                    self->close();
                else
                    self->read();
            });
        }
        void close()
        {
            boost::system::error_code ignored;
            stream.close(ignored);
        }
        tcp::socket socket;
        vexa::TlsSocketStream stream;
        std::atomic<int>& counter;
        char buffer[512];
    };

    const std::size_t fds_before = open_fds();
    std::atomic<int> alive{0};
    {
        IoThreads threads(3);
        // On a strand: the accept's re-arm and the close below never run at once.
        tcp::acceptor acceptor(boost::asio::make_strand(threads.io),
                               tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        const unsigned short port = acceptor.local_endpoint().port();
        std::function<void()> accept = [&] {
            auto socket = std::make_shared<tcp::socket>(threads.io);
            acceptor.async_accept(*socket, [&, socket](const boost::system::error_code& ec) {
                if (ec)
                    return;
                const strand_type strand = boost::asio::make_strand(threads.io);
                auto c = std::make_shared<Connection>(std::move(*socket), strand, alive);
                boost::asio::post(strand, [c] { c->start(); });
                accept();
            });
        };
        boost::asio::post(acceptor.get_executor(), accept);

        std::mt19937 random(9);
        for (int i = 0; i < 1000; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(port);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            RawTlsPeer peer(fd, tls_contexts().raw_client, false);
            switch (random() % 6) {
            case 0: break;  // connect, then FIN
            case 1: peer.reset(); break;
            case 2: peer.send_raw("GET / HTTP/1.0\r\n\r\n"); break;
            case 3: {  // part of a ClientHello, then RST
                SSL_do_handshake(peer.ssl());
                char flight[4096];
                const int n = BIO_read(SSL_get_wbio(peer.ssl()), flight, sizeof flight);
                peer.send_raw(std::string(flight, static_cast<std::size_t>(n > 0 ? random() % n : 0)));
                peer.reset();
                break;
            }
            case 4:  // a full handshake and data, then a close without close_notify
                if (i % 4 == 0 && peer.handshake(2s))
                    peer.send("data");
                break;
            default:  // a full handshake, close_notify
                if (i % 4 == 1 && peer.handshake(2s))
                    peer.close_notify();
                break;
            }
        }
        // Every stream has seen its end and been freed.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (alive.load() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(alive.load(), 0);
        std::promise<void> closed;
        boost::asio::post(acceptor.get_executor(), [&] {
            acceptor.close();
            closed.set_value();
        });
        closed.get_future().wait();
        threads.stop();
    }
    EXPECT_EQ(open_fds(), fds_before);
}

}  // namespace
