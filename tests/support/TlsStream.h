// One TLS connection (or a plain TCP one) over a non-blocking socket, with
// every wait bounded. Bytes read past what a call asked for stay buffered
// for the next call.
//
// Threads: one thread at a time uses a stream; it holds no lock.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

namespace kavri_test {

class TlsStream {
public:
    using clock = std::chrono::steady_clock;
    using ms = std::chrono::milliseconds;

    // Takes ownership of fd (made non-blocking) and of ssl, which may be
    // null for plain TCP.
    TlsStream(int fd, SSL* ssl);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // Runs the TLS handshake (client or server side) until done; false on
    // failure, on timeout, or when stop becomes true (checked every 50 ms).
    bool handshake(bool server, clock::time_point deadline,
                   const std::atomic<bool>* stop = nullptr);

    // Writes every byte; false on error or timeout.
    bool write(const std::string& bytes, ms timeout = ms(5000));

    // Appends exactly n bytes to out; false on close or timeout.
    bool read_exact(std::size_t n, std::string& out, clock::time_point deadline);
    // Appends the bytes up to and including delim; false on close, timeout
    // or when max bytes pass without it.
    bool read_until(const std::string& delim, std::size_t max, std::string& out,
                    clock::time_point deadline);

    // True when the peer closes within timeout: end of stream, close_notify,
    // reset or a truncated record. Data that arrives first is discarded.
    bool wait_closed(ms timeout = ms(2000));
    // True when the connection stays open and nothing arrives for wait.
    bool open_and_silent(ms wait = ms(500));
    bool peer_closed() const { return m_closed; }
    // How the peer closed, for failure messages.
    const std::string& close_reason() const { return m_close_reason; }

    // Closes the socket without a close_notify.
    void close();
    bool is_open() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    SSL* ssl() const { return m_ssl; }

private:
    // > 0 bytes read, 0 closed, -2 timeout.
    int read_some(char* buffer, std::size_t size, clock::time_point deadline);
    bool wait_io(short events, clock::time_point deadline) const;
    bool fill(std::size_t needed, clock::time_point deadline);

    int m_fd;
    SSL* m_ssl;
    std::string m_buffer;
    bool m_closed = false;
    std::string m_close_reason;
};

}  // namespace kavri_test
