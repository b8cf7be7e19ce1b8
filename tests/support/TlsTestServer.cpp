#include "TlsTestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kavri_test {

namespace {

// Every peer certificate is accepted: the test reads it afterwards.
int accept_any(int, X509_STORE_CTX*)
{
    return 1;
}

}  // namespace

TlsTestServer::TlsTestServer(TestIdentity::ptr identity)
{
    m_identities.push_back(std::move(identity));
    m_ctx = SSL_CTX_new(TLS_server_method());
    if (!m_ctx)
        throw std::runtime_error("TlsTestServer: SSL_CTX_new failed");
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(m_ctx, TLS1_2_VERSION);
    // The gateway's default key may be 1024 bits.
    SSL_CTX_set_security_level(m_ctx, 1);
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, accept_any);
    SSL_CTX_set_tlsext_servername_callback(m_ctx, &TlsTestServer::on_server_name);
    SSL_CTX_set_session_cache_mode(m_ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(m_ctx, SSL_OP_NO_TICKET);

    m_listen_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_listen_fd < 0 || ::bind(m_listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listen_fd, 128) != 0 ||
        ::getsockname(m_listen_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (m_listen_fd >= 0)
            ::close(m_listen_fd);
        SSL_CTX_free(m_ctx);
        throw std::runtime_error("TlsTestServer: cannot listen on 127.0.0.1");
    }
    m_port = ntohs(addr.sin_port);
    m_accept_thread = std::thread([this] { accept_loop(); });
}

TlsTestServer::~TlsTestServer()
{
    stop();
    SSL_CTX_free(m_ctx);
}

void TlsTestServer::stop()
{
    if (m_stopping.exchange(true))
        return;
    m_ready_cv.notify_all();
    if (m_accept_thread.joinable())
        m_accept_thread.join();
    // The accept thread is gone: nothing adds handshake threads any more.
    for (auto& h : m_handshakes)
        h.thread.join();
    m_handshakes.clear();
    ::close(m_listen_fd);
    m_listen_fd = -1;
}

void TlsTestServer::set_identities(std::vector<TestIdentity::ptr> identities)
{
    if (identities.empty())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_identities = std::move(identities);
    m_next_identity = 0;
}

void TlsTestServer::set_handshake_delay(ms delay)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handshake_delay = delay;
}

std::shared_ptr<TlsServerConnection> TlsTestServer::accept(ms timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_ready_cv.wait_for(lock, timeout, [this] { return !m_ready.empty() || m_stopping; }) ||
        m_ready.empty())
        return nullptr;
    auto c = m_ready.front();
    m_ready.pop_front();
    return c;
}

void TlsTestServer::set_handshake_cut(std::optional<HandshakeCut> cut)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cut = cut;
}

std::size_t TlsTestServer::cut_handshakes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cuts;
}

std::size_t TlsTestServer::tcp_accepts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accepts;
}

std::size_t TlsTestServer::failed_handshakes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

void TlsTestServer::accept_loop()
{
    while (!m_stopping) {
        pollfd p{m_listen_fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept(m_listen_fd, nullptr, nullptr);
        if (fd < 0)
            continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        TestIdentity::ptr identity;
        std::size_t index;
        ms delay;
        std::optional<HandshakeCut> cut;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            index = m_accepts++;
            identity = m_identities[std::min(m_next_identity, m_identities.size() - 1)];
            ++m_next_identity;
            delay = m_handshake_delay;
            cut = m_cut;
        }
        reap_handshakes();
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::thread t([this, fd, index, identity, delay, cut, done] {
            handshake(fd, index, identity, delay, cut);
            done->store(true);
        });
        m_handshakes.push_back({std::move(t), std::move(done)});
    }
}

void TlsTestServer::reap_handshakes()
{
    for (auto it = m_handshakes.begin(); it != m_handshakes.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = m_handshakes.erase(it);
        } else {
            ++it;
        }
    }
}

int TlsTestServer::on_server_name(SSL* ssl, int*, void*)
{
    auto* sni = static_cast<std::optional<std::string>*>(SSL_get_app_data(ssl));
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    if (sni && name)
        *sni = name;
    return SSL_TLSEXT_ERR_OK;
}

void TlsTestServer::handshake(int fd, std::size_t index, TestIdentity::ptr identity, ms delay,
                              std::optional<HandshakeCut> cut)
{
    const auto sleep_until = [this](TlsStream::clock::time_point until) {
        while (!m_stopping && TlsStream::clock::now() < until)
            std::this_thread::sleep_for(ms(20));
    };
    if (delay.count() < 0) {
        sleep_until(TlsStream::clock::time_point::max());
        ::close(fd);
        return;
    }
    sleep_until(TlsStream::clock::now() + delay);
    if (cut) {
        cut_handshake(fd, identity, *cut);
        return;
    }

    SSL* ssl = SSL_new(m_ctx);
    auto stream = std::make_unique<TlsStream>(fd, ssl);
    std::optional<std::string> sni;
    bool ok = ssl && SSL_use_certificate(ssl, identity->certificate()) == 1 &&
              SSL_use_PrivateKey(ssl, identity->key()) == 1 && SSL_set_fd(ssl, fd) == 1;
    if (ok) {
        SSL_set_app_data(ssl, &sni);
        ok = stream->handshake(true, TlsStream::clock::now() + ms(10000), &m_stopping);
        SSL_set_app_data(ssl, nullptr);
    }
    std::vector<unsigned char> der;
    if (ok) {
        if (X509* peer = SSL_get0_peer_certificate(ssl))
            der = to_der(peer);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!ok) {
        ++m_failed;
        return;
    }
    m_ready.push_back(
        std::make_shared<TlsServerConnection>(std::move(stream), index, std::move(sni), std::move(der)));
    m_ready_cv.notify_all();
}

void TlsTestServer::cut_handshake(int fd, const TestIdentity::ptr& identity, const HandshakeCut& cut)
{
    SSL* ssl = SSL_new(m_ctx);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!ssl || !in || !out || SSL_use_certificate(ssl, identity->certificate()) != 1 ||
        SSL_use_PrivateKey(ssl, identity->key()) != 1) {
        BIO_free(in);
        BIO_free(out);
        SSL_free(ssl);
        ::close(fd);
        return;
    }
    SSL_set_bio(ssl, in, out);
    SSL_set_accept_state(ssl);
    const auto deadline = TlsStream::clock::now() + ms(10000);
    bool cut_made = false;
    for (int flight = 0; !m_stopping && TlsStream::clock::now() < deadline;) {
        SSL_do_handshake(ssl);
        std::string bytes;
        char buffer[16384];
        int n;
        while ((n = BIO_read(out, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, static_cast<std::size_t>(n));
        if (!bytes.empty() && ++flight == cut.flight) {
            const std::size_t keep = std::min(cut.bytes, bytes.size() - 1);
            cut_made = keep == 0 || ::send(fd, bytes.data(), keep, MSG_NOSIGNAL) == static_cast<ssize_t>(keep);
            break;
        }
        if (!bytes.empty() &&
            ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        BIO_write(in, buffer, static_cast<int>(got));
    }
    SSL_free(ssl);
    if (cut.reset) {
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(fd);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (cut_made)
        ++m_cuts;
    else
        ++m_failed;
}

}  // namespace kavri_test
