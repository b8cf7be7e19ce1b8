// Test helper: one TLS handshake on 127.0.0.1 between a Boost.Asio server
// stream on the context under test and a plain OpenSSL client on a thread of
// its own, both bounded in time.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kavri_test {

struct HandshakeResult {
    bool server_ok = false;
    std::string server_error;
    bool client_ok = false;
    std::string client_error;
    std::string version;  // negotiated, as the client sees it
    std::string cipher;
    long verify_result = -1;
    std::vector<unsigned char> peer_der;  // the certificate the client received
};

inline std::string openssl_errors()
{
    std::string s;
    while (const unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        s += std::string(buf) + ";";
    }
    return s;
}

// client_ctx belongs to the caller; sni may be empty (no server name sent).
inline HandshakeResult tls_handshake(boost::asio::ssl::context& server_ctx, SSL_CTX* client_ctx,
                                     const std::string& sni)
{
    using boost::asio::ip::tcp;
    HandshakeResult r;
    boost::asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    const unsigned short port = acceptor.local_endpoint().port();
    boost::asio::ssl::stream<tcp::socket> stream(io, server_ctx);

    acceptor.async_accept(stream.lowest_layer(), [&](const boost::system::error_code& ec) {
        if (ec) {
            r.server_error = "accept: " + ec.message();
            return;
        }
        stream.async_handshake(boost::asio::ssl::stream_base::server,
                               [&](const boost::system::error_code& hec) {
                                   r.server_ok = !hec;
                                   if (hec)
                                       r.server_error = hec.message();
                                   boost::system::error_code ignored;
                                   stream.lowest_layer().close(ignored);
                               });
    });

    std::thread client([&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            r.client_error = "connect failed";
            ::close(fd);
            return;
        }
        SSL* ssl = SSL_new(client_ctx);
        SSL_set_fd(ssl, fd);
        if (!sni.empty())
            SSL_set_tlsext_host_name(ssl, sni.c_str());
        if (SSL_connect(ssl) == 1) {
            r.client_ok = true;
            r.version = SSL_get_version(ssl);
            r.cipher = SSL_get_cipher_name(ssl);
            r.verify_result = SSL_get_verify_result(ssl);
            if (X509* peer = SSL_get0_peer_certificate(ssl)) {
                unsigned char* der = nullptr;
                const int n = i2d_X509(peer, &der);
                if (n > 0)
                    r.peer_der.assign(der, der + n);
                OPENSSL_free(der);
            }
        } else {
            r.client_error = openssl_errors();
            r.verify_result = SSL_get_verify_result(ssl);
        }
        SSL_free(ssl);
        ::close(fd);
    });
    io.run_for(std::chrono::seconds(20));
    client.join();
    return r;
}

}  // namespace kavri_test
