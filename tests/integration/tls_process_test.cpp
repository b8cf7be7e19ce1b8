// The TLS of both signalling legs of the real binary, from outside: what the
// openssl command sees of the client-facing port (TLS 1.2 only, the suites
// in the gateway's order, no client renegotiation, no resumption), clients
// by the thousand that end at every stage, a server that cuts the server
// leg's handshake at every point of its flights, and a client that stops
// reading while the server writes, then goes. The gateway stays up, gives
// back every descriptor and still carries a session afterwards.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <thread>

#include "CertTestTools.h"
#include "SessionProcessTest.h"
#include "TempDir.h"

namespace {

using namespace session_test;
using kavri_test::run_command;

// The default suites, in the gateway's order of preference.
const std::vector<std::string> SUITES = {"ECDHE-RSA-AES256-GCM-SHA384",
                                         "ECDHE-RSA-AES128-GCM-SHA256",
                                         "ECDHE-RSA-AES256-SHA384",
                                         "ECDHE-RSA-AES128-SHA256",
                                         "AES256-GCM-SHA384",
                                         "AES128-GCM-SHA256",
                                         "AES256-SHA256",
                                         "AES128-SHA256",
                                         "AES256-SHA",
                                         "AES128-SHA"};

bool eventually(const std::function<bool()>& pred, ms timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return pred();
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::size_t count_of(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// s_client's report of a handshake that completed (a failed one says
// "Cipher is (NONE)").
bool established(const std::string& out)
{
    return out.find("\nNew, ") != std::string::npos &&
           out.find("Cipher is (NONE)") == std::string::npos;
}

std::string join(const std::vector<std::string>& names, const char* separator)
{
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "" : separator) + n;
    return s;
}

int connect_tcp(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// The close of fd that follows sends a reset instead of a FIN.
void reset_on_close(int fd)
{
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

// A TLS 1.2 ClientHello as a client would send it, naming the gateway.
std::string client_hello()
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL* ssl = SSL_new(ctx);
    SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_tlsext_host_name(ssl, GATEWAY_NAME);
    SSL_set_connect_state(ssl);
    SSL_do_handshake(ssl);
    std::string bytes;
    char buffer[4096];
    int n;
    while ((n = BIO_read(SSL_get_wbio(ssl), buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<std::size_t>(n));
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    return bytes;
}

class TlsProcess : public SessionProcess {
protected:
    std::string s_client(const std::string& options, const std::string& input = "")
    {
        return run_command((input.empty() ? "" : "sh -c '" + input + "' | ") +
                           "openssl s_client -connect 127.0.0.1:" +
                           std::to_string(gw->external_tcp_port()) + " -servername " +
                           GATEWAY_NAME + " " + options + (input.empty() ? " < /dev/null" : ""))
            .output;
    }

    // The descriptors of the gateway come back to baseline.
    void expect_descriptors_back(std::size_t baseline)
    {
        EXPECT_TRUE(eventually([&] { return gw->open_descriptors() <= baseline; }, 20s))
            << gw->open_descriptors() << " descriptors open, " << baseline << " before";
        EXPECT_TRUE(gw->running());
    }

    // A new session negotiates through the gateway.
    void expect_a_session_still_negotiates()
    {
        Session s;
        s.connection_id = "after";
        ASSERT_NO_FATAL_FAILURE(add(s));
        ASSERT_NO_FATAL_FAILURE(negotiate(s));
    }
};

TEST_F(TlsProcess, OpensslSeesTls12OnlyTheTenSuitesInOrderAndNoClientRenegotiation)
{
    ASSERT_NO_FATAL_FAILURE(start());
    for (const char* version : {"-tls1", "-tls1_1", "-tls1_3"}) {
        const std::string out = s_client(std::string(version) + " -cipher ALL:@SECLEVEL=0");
        EXPECT_FALSE(established(out)) << version << ":\n" << out;
    }
    // Each suite on its own, then the gateway's choice among those left,
    // offered in the reverse order: its preference decides. (s_client names
    // the SHA-1 suites' protocol "SSLv3"; the session's is TLS 1.2.)
    const auto chose = [](const std::string& out, const std::string& suite) {
        return out.find(", Cipher is " + suite + "\n") != std::string::npos &&
               out.find("    Protocol  : TLSv1.2\n") != std::string::npos;
    };
    for (const std::string& suite : SUITES)
        EXPECT_TRUE(chose(s_client("-tls1_2 -cipher " + suite + ":@SECLEVEL=0"), suite)) << suite;
    for (const char* refused :
         {"DHE-RSA-AES128-GCM-SHA256", "ECDHE-RSA-CHACHA20-POLY1305", "DES-CBC3-SHA"})
        EXPECT_FALSE(
            established(s_client(std::string("-tls1_2 -cipher ") + refused + ":@SECLEVEL=0")))
            << refused;
    std::vector<std::string> left = SUITES;
    while (!left.empty()) {
        const std::vector<std::string> reversed(left.rbegin(), left.rend());
        const std::string out = s_client("-tls1_2 -cipher " + join(reversed, ":") + ":@SECLEVEL=0");
        EXPECT_TRUE(chose(out, left.front()))
            << "expected " << left.front() << " from " << join(reversed, ":") << ":\n"
            << out;
        left.erase(left.begin());
    }
    // "R" asks for a renegotiation: refused, and the gateway drops the client.
    const std::string renegotiation = s_client("-tls1_2", "sleep 1; echo R; sleep 3");
    EXPECT_NE(renegotiation.find("RENEGOTIATING"), std::string::npos) << renegotiation;
    EXPECT_NE(renegotiation.find("no renegotiation"), std::string::npos) << renegotiation;
    EXPECT_TRUE(logged("SSIG client connection error while reading SSIG packet type: "));
}

TEST_F(TlsProcess, NoClientResumesASavedSessionByTicketOrById)
{
    ASSERT_NO_FATAL_FAILURE(start());
    TempDir dir;
    for (const bool tickets : {true, false}) {
        SCOPED_TRACE(tickets ? "ticket" : "session id");
        const std::string file = dir.slash() + (tickets ? "ticket.pem" : "id.pem");
        const std::string no_ticket = tickets ? "" : " -no_ticket";
        const std::string first = s_client("-tls1_2 -sess_out " + file + no_ticket);
        ASSERT_NE(first.find("\nNew, TLSv1.2"), std::string::npos) << first;
        EXPECT_EQ(count_of(first, "TLS session ticket lifetime hint"), tickets ? 1u : 0u) << first;
        for (int again = 0; again < 2; ++again) {
            const std::string next = s_client("-tls1_2 -sess_in " + file + no_ticket);
            EXPECT_NE(next.find("\nNew, TLSv1.2"), std::string::npos) << next;
            EXPECT_EQ(next.find("\nReused, "), std::string::npos) << next;
        }
    }
}

// Clients that end at every stage, four at a time: before a byte, inside the
// ClientHello, after it, after the handshake, inside a frame, with a FIN, a
// reset or a close_notify. The session that was there all along still gets
// its HELLO through, and so does a new one.
TEST_F(TlsProcess, ClientsByTheThousandEndingAtEveryStageLeaveNoDescriptorBehind)
{
    ASSERT_NO_FATAL_FAILURE(start());
    Session s;
    ASSERT_NO_FATAL_FAILURE(add(s));
    ASSERT_TRUE(eventually(
        [&] {
            return gw->log().find("SSL handshake completed with Kavri server") != std::string::npos;
        },
        FRAME_WAIT));
    const std::size_t baseline = gw->open_descriptors();
    const std::string hello = client_hello();
    const unsigned short port = gw->external_tcp_port();
    std::atomic<int> refused{0};
    std::vector<std::thread> clients;
    for (unsigned t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            std::mt19937 random(t + 1);
            for (int i = 0; i < 600; ++i) {
                const int kind = i % 10;
                if (kind < 5) {
                    const int fd = connect_tcp(port);
                    if (fd < 0) {
                        ++refused;
                        continue;
                    }
                    const std::size_t cut = 1 + random() % (hello.size() - 1);
                    if (kind == 1 || kind == 3)
                        (void)::send(fd, hello.data(), kind == 1 ? cut : hello.size(),
                                     MSG_NOSIGNAL);
                    if (kind == 2) (void)::send(fd, "\x16\x03\x01", 3, MSG_NOSIGNAL);
                    if (kind == 4) (void)::send(fd, "GET / HTTP/1.0\r\n\r\n", 18, MSG_NOSIGNAL);
                    if (random() % 2) reset_on_close(fd);
                    ::close(fd);
                    continue;
                }
                TlsTestClient c;
                if (!c.connect(port, std::string(GATEWAY_NAME))) {
                    ++refused;
                    continue;
                }
                const int fd = c.stream()->fd();
                switch (kind) {
                    case 5:
                        reset_on_close(fd);
                        break;
                    case 6:
                        (void)c.send(SsigFrame::tlv_of_length(400).substr(0, 1 + random() % 300));
                        break;
                    case 7:
                        SSL_shutdown(c.stream()->ssl());
                        break;
                    case 8:
                        (void)c.send(SsigFrame::post("<KAVRI><HELLO>").substr(0, 60));
                        break;
                    default:
                        break;
                }
                if (random() % 2) reset_on_close(fd);
                c.close();
            }
        });
    }
    for (auto& c : clients) c.join();
    EXPECT_EQ(refused.load(), 0);
    expect_descriptors_back(baseline);
    ASSERT_NO_FATAL_FAILURE(negotiate(s));
    ASSERT_NO_FATAL_FAILURE(expect_a_session_still_negotiates());
}

// The server cuts the server leg's handshake after every number of bytes
// of its two flights (the hello flight in steps, the short Finished flight
// byte for byte), with a FIN or a reset: each cut ends in one failed
// handshake, the server leg closes and nothing is left open.
TEST_F(TlsProcess, AServerCuttingTheHandshakeAnywhereFailsItOnceAndNothingIsLeftOpen)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const std::size_t baseline = gw->open_descriptors();
    std::vector<TlsTestServer::HandshakeCut> cuts;
    for (std::size_t bytes = 0; bytes < 1600; bytes += bytes < 12 ? 1 : 53)
        cuts.push_back({1, bytes, bytes % 2 == 1});
    for (std::size_t bytes = 0; bytes < 60; ++bytes) cuts.push_back({2, bytes, bytes % 2 == 0});
    cuts.push_back({1, 100000, true});  // all but the last byte
    cuts.push_back({2, 100000, false});
    const std::string failed = "SSL handshake with Kavri server failed:";
    std::size_t n = 0;
    for (const auto& cut : cuts) {
        SCOPED_TRACE("flight " + std::to_string(cut.flight) + ", " + std::to_string(cut.bytes) +
                     " bytes, " + (cut.reset ? "reset" : "FIN"));
        server.set_handshake_cut(cut);
        Session s;
        s.connection_id = "cut-" + std::to_string(n);
        AddConnection a = AddConnection::of(server.port(), s.tag.text(), s.connection_id);
        a.server_sni = SERVER_SNI;
        s.rtag = broker.add_connection(a);
        ASSERT_FALSE(s.rtag.empty());
        ++n;
        ASSERT_TRUE(eventually([&] { return server.cut_handshakes() == n; }, FRAME_WAIT))
            << server.cut_handshakes() << " cuts, " << server.failed_handshakes() << " failed";
        ASSERT_TRUE(eventually([&] { return count_of(gw->log(), failed) == n; }, FRAME_WAIT))
            << count_of(gw->log(), failed) << " failed handshakes logged";
    }
    // A filed session outlives its server leg's failure: the next HELLO reconnects.
    EXPECT_EQ(count_of(gw->log(), "cleanup_connections_for_next_resume: called for session"), n);
    server.set_handshake_cut(std::nullopt);
    expect_descriptors_back(baseline);
    ASSERT_NO_FATAL_FAILURE(expect_a_session_still_negotiates());
}

// An established session whose client stops reading: the server's frames
// fill the way to the client until the server can write no more, then the
// client goes (reset or FIN). The server leg's connection ends, nothing is
// left open, and a new session negotiates.
TEST_F(TlsProcess, AClientThatStopsReadingWhileTheServerWritesThenGoesEndsTheSession)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const std::size_t baseline = gw->open_descriptors();
    for (const bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "reset" : "FIN");
        Session s;
        s.connection_id = reset ? "reset" : "fin";
        ASSERT_NO_FATAL_FAILURE(add(s));
        ASSERT_NO_FATAL_FAILURE(establish(s));
        // A small receive buffer fills sooner.
        const int small = 4096;
        ::setsockopt(s.client->stream()->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const std::string burst = [] {
            std::string b;
            for (int i = 0; i < 16; ++i) b += SsigFrame::tlv_of_length(4096);
            return b;
        }();
        std::size_t bursts = 0;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (s.server->stream().write(burst, 500ms) &&
               std::chrono::steady_clock::now() < deadline)
            ++bursts;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "the server never stopped being read";
        EXPECT_GT(bursts, 0u);
        if (reset) reset_on_close(s.client->stream()->fd());
        s.client->close();
        EXPECT_TRUE(s.server->wait_closed(FRAME_WAIT)) << "the server leg stayed open";
    }
    expect_descriptors_back(baseline);
    ASSERT_NO_FATAL_FAILURE(expect_a_session_still_negotiates());
}

}  // namespace
