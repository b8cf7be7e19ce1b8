// A TLS peer whose every byte on the wire is the test's to place: OpenSSL
// runs on memory BIOs and the peer moves the bytes between them and a
// loopback socket itself. So a test can send one record in pieces, half a
// record and then a close or a reset, several frames in one record, or ask
// for a renegotiation. Every wait is bounded.
//
// Threads: one test thread uses a peer; it holds no lock.
#pragma once

#include "IgnoreSigpipe.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

namespace kavri_test {

class RawTlsPeer {
public:
    using clock = std::chrono::steady_clock;
    using ms = std::chrono::milliseconds;

    // What the next read of application data met.
    enum class Read { DATA, CLOSE_NOTIFY, END_OF_STREAM, ALERT_OR_ERROR, TIMEOUT };

    // Takes ownership of fd (a connected socket).
    RawTlsPeer(int fd, SSL_CTX* ctx, bool server) : m_fd(fd), m_ssl(SSL_new(ctx))
    {
        ignore_sigpipe();
        BIO* in = BIO_new(BIO_s_mem());
        BIO* out = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(in, -1);  // empty: "retry", not end of stream
        SSL_set_bio(m_ssl, in, out);
        if (server)
            SSL_set_accept_state(m_ssl);
        else
            SSL_set_connect_state(m_ssl);
    }
    ~RawTlsPeer()
    {
        SSL_free(m_ssl);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    RawTlsPeer(const RawTlsPeer&) = delete;
    RawTlsPeer& operator=(const RawTlsPeer&) = delete;

    SSL* ssl() const { return m_ssl; }
    int fd() const { return m_fd; }

    bool handshake(ms timeout = ms(5000))
    {
        return drive([this] { return SSL_do_handshake(m_ssl); }, clock::now() + timeout) == 1;
    }

    // data in records of at most 16 KiB, sent at once.
    bool send(const std::string& data)
    {
        return send_raw(seal(data));
    }

    // The records of data, made and kept back.
    std::string seal(const std::string& data)
    {
        ERR_clear_error();
        if (!data.empty() && SSL_write(m_ssl, data.data(), static_cast<int>(data.size())) <= 0)
            return std::string();
        return take_output();
    }

    bool send_raw(const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Appends exactly n bytes of application data to out.
    Read read_exact(std::size_t n, std::string& out, ms timeout = ms(5000))
    {
        const auto deadline = clock::now() + timeout;
        const std::size_t goal = out.size() + n;
        while (out.size() < goal) {
            char buffer[16384];
            const std::size_t want = std::min(sizeof buffer, goal - out.size());
            const int r = drive([&] { return SSL_read(m_ssl, buffer, static_cast<int>(want)); }, deadline);
            if (r <= 0)
                return m_last;
            out.append(buffer, static_cast<std::size_t>(r));
        }
        return Read::DATA;
    }

    // Reads until something other than data happens (or timeout); returns it.
    Read read_to_end(ms timeout = ms(5000))
    {
        const auto deadline = clock::now() + timeout;
        char buffer[16384];
        while (drive([&] { return SSL_read(m_ssl, buffer, sizeof buffer); }, deadline) > 0) {
        }
        return m_last;
    }

    // close_notify sent; the socket stays open.
    void close_notify()
    {
        SSL_shutdown(m_ssl);
        flush();
    }
    // FIN without an alert.
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    // RST.
    void reset()
    {
        const linger l{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }
    // Half-closes the write side (FIN), reads still possible.
    void shutdown_write() { ::shutdown(m_fd, SHUT_WR); }

    // A server sends HelloRequest, a client a new ClientHello; the rest of
    // the renegotiation happens in later reads.
    bool start_renegotiation()
    {
        if (SSL_renegotiate(m_ssl) != 1)
            return false;
        SSL_do_handshake(m_ssl);
        return flush();
    }

    // Bytes the kernel holds for this peer, unread.
    bool readable(ms wait)
    {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(wait.count())) == 1;
    }

private:
    std::string take_output()
    {
        std::string bytes;
        char buffer[16384];
        int n;
        while ((n = BIO_read(SSL_get_wbio(m_ssl), buffer, sizeof buffer)) > 0)
            bytes.append(buffer, static_cast<std::size_t>(n));
        return bytes;
    }
    bool flush() { return send_raw(take_output()); }

    // Socket to the SSL object's input; false on timeout, end or error.
    bool feed(clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<ms>(deadline - clock::now()).count();
        pollfd p{m_fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) {
            m_last = Read::TIMEOUT;
            return false;
        }
        char buffer[16384];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            m_last = Read::END_OF_STREAM;
            return false;
        }
        BIO_write(SSL_get_rbio(m_ssl), buffer, static_cast<int>(n));
        return true;
    }

    // Calls op until it succeeds or fails, sending what it writes and
    // feeding it what arrives; its last result.
    template <typename Op>
    int drive(Op op, clock::time_point deadline)
    {
        for (;;) {
            ERR_clear_error();
            const int r = op();
            const int error = SSL_get_error(m_ssl, r);
            if (!flush()) {
                m_last = Read::END_OF_STREAM;
                return -1;
            }
            if (r > 0)
                return r;
            if (error == SSL_ERROR_ZERO_RETURN) {
                m_last = Read::CLOSE_NOTIFY;
                return 0;
            }
            if (error != SSL_ERROR_WANT_READ) {
                m_last = Read::ALERT_OR_ERROR;
                return r;
            }
            if (!feed(deadline))
                return -1;
        }
    }

    int m_fd;
    SSL* m_ssl;
    Read m_last = Read::DATA;
};

}  // namespace kavri_test
