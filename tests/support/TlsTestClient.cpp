#include "TlsTestClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

namespace kavri_test {

TlsTestClient::TlsTestClient()
{
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!m_ctx)
        throw std::runtime_error("TlsTestClient: SSL_CTX_new failed");
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_NONE, nullptr);
    // The gateway's default key may be 1024 bits; its contexts stop at TLS 1.2.
    SSL_CTX_set_security_level(m_ctx, 1);
    SSL_CTX_set_max_proto_version(m_ctx, TLS1_2_VERSION);
}

TlsTestClient::~TlsTestClient()
{
    close();
    SSL_CTX_free(m_ctx);
}

void TlsTestClient::close()
{
    m_stream.reset();
    m_server_der.clear();
}

int TlsTestClient::open_socket(unsigned short port, ms timeout)
{
    close();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int error = errno;
        if (error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            socklen_t len = sizeof error;
            error = ::poll(&p, 1, static_cast<int>(timeout.count())) == 1 &&
                            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0
                        ? error
                        : ETIMEDOUT;
        }
        if (error != 0) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

bool TlsTestClient::connect_tcp(unsigned short port, ms timeout)
{
    const int fd = open_socket(port, timeout);
    if (fd < 0)
        return false;
    m_stream = std::make_unique<TlsStream>(fd, nullptr);
    return true;
}

bool TlsTestClient::connect(unsigned short port, const std::optional<std::string>& sni, ms timeout)
{
    const auto deadline = TlsStream::clock::now() + timeout;
    const int fd = open_socket(port, timeout);
    if (fd < 0)
        return false;
    SSL* ssl = SSL_new(m_ctx);
    m_stream = std::make_unique<TlsStream>(fd, ssl);
    if (!ssl || SSL_set_fd(ssl, fd) != 1)
        return false;
    if (sni)
        SSL_set_tlsext_host_name(ssl, sni->c_str());
    if (m_identity) {
        SSL_use_certificate(ssl, m_identity->certificate());
        SSL_use_PrivateKey(ssl, m_identity->key());
    }
    if (!m_stream->handshake(false, deadline)) {
        close();
        return false;
    }
    if (X509* peer = SSL_get0_peer_certificate(ssl))
        m_server_der = to_der(peer);
    return true;
}

bool TlsTestClient::send_split(const std::string& bytes, const std::vector<std::size_t>& sizes, ms pause)
{
    std::size_t at = 0;
    for (const std::size_t n : sizes) {
        if (at >= bytes.size())
            break;
        if (!send(bytes.substr(at, n)))
            return false;
        at += n;
        std::this_thread::sleep_for(pause);
    }
    return at >= bytes.size() || send(bytes.substr(at));
}

std::optional<SsigFrame> TlsTestClient::read_frame(ms timeout)
{
    if (!m_stream)
        return std::nullopt;
    return SsigFrame::read(*m_stream, timeout);
}

bool TlsTestClient::set_cipher_list(const std::string& list)
{
    return SSL_CTX_set_cipher_list(m_ctx, list.c_str()) == 1;
}

std::string TlsTestClient::cipher() const
{
    return m_stream && m_stream->ssl() ? SSL_get_cipher_name(m_stream->ssl()) : "";
}

std::string TlsTestClient::protocol() const
{
    return m_stream && m_stream->ssl() ? SSL_get_version(m_stream->ssl()) : "";
}

}  // namespace kavri_test
