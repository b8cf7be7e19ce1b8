#include "TlsStream.h"

#include "IgnoreSigpipe.h"

#include <openssl/err.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kavri_test {

namespace {

int millis_until(TlsStream::clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TlsStream::clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

std::string tls_error_text()
{
    const char* reason = ERR_reason_error_string(ERR_peek_last_error());
    return std::string("TLS: ") + (reason ? reason : "error");
}

}  // namespace

TlsStream::TlsStream(int fd, SSL* ssl) : m_fd(fd), m_ssl(ssl)
{
    ignore_sigpipe();
    if (m_fd >= 0)
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
}

TlsStream::~TlsStream()
{
    close();
}

void TlsStream::close()
{
    if (m_ssl) {
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool TlsStream::wait_io(short events, clock::time_point deadline) const
{
    for (;;) {
        pollfd p{m_fd, events, 0};
        const int r = ::poll(&p, 1, millis_until(deadline));
        if (r > 0)
            return true;
        if (r == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

bool TlsStream::handshake(bool server, clock::time_point deadline, const std::atomic<bool>* stop)
{
    if (!m_ssl || m_fd < 0)
        return false;
    for (;;) {
        ERR_clear_error();
        const int r = server ? SSL_accept(m_ssl) : SSL_connect(m_ssl);
        if (r == 1)
            return true;
        const int err = SSL_get_error(m_ssl, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
            return false;
        // Short slices, so a stop request is seen promptly.
        for (;;) {
            if (stop && stop->load())
                return false;
            if (clock::now() >= deadline)
                return false;
            const auto slice = std::min(deadline, clock::now() + ms(50));
            if (wait_io(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, slice))
                break;
        }
    }
}

bool TlsStream::write(const std::string& bytes, ms timeout)
{
    const auto deadline = clock::now() + timeout;
    std::size_t done = 0;
    while (done < bytes.size() && m_fd >= 0) {
        const std::size_t left = bytes.size() - done;
        if (m_ssl) {
            ERR_clear_error();
            const int n = SSL_write(m_ssl, bytes.data() + done, static_cast<int>(left));
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            const int err = SSL_get_error(m_ssl, n);
            if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
                return false;
            // SSL_write is retried with the same arguments.
            if (!wait_io(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
                return false;
        } else {
            const ssize_t n = ::send(m_fd, bytes.data() + done, left, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return false;
            if (!wait_io(POLLOUT, deadline))
                return false;
        }
    }
    return done == bytes.size();
}

int TlsStream::read_some(char* buffer, std::size_t size, clock::time_point deadline)
{
    if (m_closed || m_fd < 0)
        return 0;
    for (;;) {
        short want = POLLIN;
        if (m_ssl) {
            ERR_clear_error();
            const int n = SSL_read(m_ssl, buffer, static_cast<int>(size));
            if (n > 0)
                return n;
            const int err = SSL_get_error(m_ssl, n);
            if (err == SSL_ERROR_WANT_WRITE) {
                want = POLLOUT;
            } else if (err != SSL_ERROR_WANT_READ) {
                m_closed = true;
                if (err == SSL_ERROR_ZERO_RETURN)
                    m_close_reason = "close_notify";
                else if (err == SSL_ERROR_SYSCALL)
                    m_close_reason = errno ? std::string("socket: ") + std::strerror(errno) : "end of stream";
                else
                    m_close_reason = tls_error_text();
                return 0;
            }
        } else {
            const ssize_t n = ::recv(m_fd, buffer, size, 0);
            if (n > 0)
                return static_cast<int>(n);
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                m_closed = true;
                m_close_reason = n == 0 ? "end of stream" : std::string("socket: ") + std::strerror(errno);
                return 0;
            }
        }
        if (!wait_io(want, deadline))
            return -2;
    }
}

bool TlsStream::fill(std::size_t needed, clock::time_point deadline)
{
    char chunk[16384];
    while (m_buffer.size() < needed) {
        const int n = read_some(chunk, sizeof chunk, deadline);
        if (n <= 0)
            return false;
        m_buffer.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

bool TlsStream::read_exact(std::size_t n, std::string& out, clock::time_point deadline)
{
    if (!fill(n, deadline))
        return false;
    out.append(m_buffer, 0, n);
    m_buffer.erase(0, n);
    return true;
}

bool TlsStream::read_until(const std::string& delim, std::size_t max, std::string& out,
                           clock::time_point deadline)
{
    std::size_t searched = 0;
    for (;;) {
        const std::size_t at = m_buffer.find(delim, searched);
        if (at != std::string::npos && at + delim.size() <= max) {
            out.append(m_buffer, 0, at + delim.size());
            m_buffer.erase(0, at + delim.size());
            return true;
        }
        if (m_buffer.size() >= max)
            return false;
        searched = m_buffer.size() >= delim.size() ? m_buffer.size() - delim.size() + 1 : 0;
        if (!fill(m_buffer.size() + 1, deadline))
            return false;
    }
}

bool TlsStream::wait_closed(ms timeout)
{
    const auto deadline = clock::now() + timeout;
    m_buffer.clear();
    char chunk[16384];
    for (;;) {
        const int n = read_some(chunk, sizeof chunk, deadline);
        if (n == 0)
            return true;
        if (n < 0)
            return false;
    }
}

bool TlsStream::open_and_silent(ms wait)
{
    if (!m_buffer.empty() || m_closed)
        return false;
    char chunk[16384];
    const int n = read_some(chunk, sizeof chunk, clock::now() + wait);
    if (n > 0)
        m_buffer.append(chunk, static_cast<std::size_t>(n));
    return n == -2;
}

}  // namespace kavri_test
