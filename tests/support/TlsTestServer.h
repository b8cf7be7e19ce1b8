// A scripted TLS 1.2 server on 127.0.0.1, port 0, standing in for a Kavri
// server: it presents a test identity (which can change from one accept to
// the next), asks every peer for a certificate and accepts any, and records
// the server name the peer sent. Completed connections queue up for the
// test, which reads their frames and scripts the replies. It can also cut
// its handshakes short at any byte of its flights.
//
// Threads: an accept thread and one handshake thread per accepted socket;
// the accept thread joins finished handshake threads, stop() the rest.
// `m_mutex` guards the identities, the handshake delay and cut, the ready
// queue and the counters; the test thread takes connections out under it
// and then owns them.
#pragma once

#include "TestIdentity.h"
#include "TlsServerConnection.h"

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kavri_test {

class TlsTestServer {
public:
    using ms = std::chrono::milliseconds;

    explicit TlsTestServer(TestIdentity::ptr identity);
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    unsigned short port() const { return m_port; }

    // The k-th accept from now on presents identities[k]; once they are
    // used up, the last one stays.
    void set_identities(std::vector<TestIdentity::ptr> identities);
    // Holds each accepted socket this long before the handshake; a negative
    // delay never handshakes (the TCP connection stays open until stop()).
    void set_handshake_delay(ms delay);

    // The next connection whose handshake completed, in completion order;
    // null on timeout.
    std::shared_ptr<TlsServerConnection> accept(ms timeout = ms(10000));
    // True when no further handshake completes within wait.
    bool no_connection_for(ms wait) { return accept(wait) == nullptr; }

    // Where the next accepts end their handshake instead of completing
    // it: after `bytes` bytes of the server's flight-th flight (1: its hello
    // flight, 2: ChangeCipherSpec and Finished; at most all but the last
    // byte), with a reset or a FIN. Such connections never reach accept().
    struct HandshakeCut {
        int flight;
        std::size_t bytes;
        bool reset;
    };
    void set_handshake_cut(std::optional<HandshakeCut> cut);
    // Handshakes ended by a cut so far.
    std::size_t cut_handshakes() const;

    std::size_t tcp_accepts() const;
    std::size_t failed_handshakes() const;

    // Closes the listener and joins every thread; connections already
    // handed out stay open.
    void stop();

private:
    void accept_loop();
    void handshake(int fd, std::size_t index, TestIdentity::ptr identity, ms delay,
                   std::optional<HandshakeCut> cut);
    // The server's side over memory BIOs until the cut, then the end of the connection.
    void cut_handshake(int fd, const TestIdentity::ptr& identity, const HandshakeCut& cut);
    static int on_server_name(SSL* ssl, int* alert, void* arg);

    SSL_CTX* m_ctx = nullptr;
    int m_listen_fd = -1;
    unsigned short m_port = 0;
    std::atomic<bool> m_stopping{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_ready_cv;
    std::deque<std::shared_ptr<TlsServerConnection>> m_ready;
    std::vector<TestIdentity::ptr> m_identities;
    std::size_t m_next_identity = 0;
    ms m_handshake_delay{0};
    std::optional<HandshakeCut> m_cut;
    std::size_t m_cuts = 0;
    std::size_t m_accepts = 0;
    std::size_t m_failed = 0;

    struct Handshake {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    // Joins the handshake threads that have finished (accept thread).
    void reap_handshakes();

    std::thread m_accept_thread;
    std::vector<Handshake> m_handshakes;  // touched by the accept thread and stop()
};

}  // namespace kavri_test
