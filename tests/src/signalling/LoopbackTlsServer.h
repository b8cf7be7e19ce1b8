// Test fixture: a TLS server on 127.0.0.1 (ephemeral port) standing in for a
// signalling server that the gateway's server legs connect to. It records, per
// connection, the SNI and the client certificate it received, and whether the
// peer has closed; it sends nothing.
//
// Threads: its own event-loop thread runs every completion; the test thread
// reads the records through the mutex-guarded accessors.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavri_test {

// A self-signed RSA certificate and its key, made in process.
struct TestIdentity {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> cert;

    explicit TestIdentity(const std::string& cn = "server.kavri.test")
    {
        key.reset(EVP_RSA_gen(2048), EVP_PKEY_free);
        cert.reset(X509_new(), X509_free);
        X509_set_version(cert.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
        X509_NAME* name = X509_get_subject_name(cert.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
        X509_set_issuer_name(cert.get(), name);
        X509_set_pubkey(cert.get(), key.get());
        X509_sign(cert.get(), key.get(), EVP_sha256());
    }

    std::vector<unsigned char> der() const
    {
        unsigned char* p = nullptr;
        const int n = i2d_X509(cert.get(), &p);
        std::vector<unsigned char> out;
        if (n > 0)
            out.assign(p, p + n);
        OPENSSL_free(p);
        return out;
    }
};

class LoopbackTlsServer {
public:
    struct Connection {
        bool handshake_done = false;
        std::string sni;  // empty when the client sent none
        std::vector<unsigned char> client_cert_der;
        bool closed = false;  // the peer closed, or the stream failed
    };

    explicit LoopbackTlsServer(const TestIdentity& identity)
        : ctx(boost::asio::ssl::context::tls_server),
          acceptor(io, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0))
    {
        SSL_CTX* native = ctx.native_handle();
        SSL_CTX_set_security_level(native, 1);
        SSL_CTX_set_max_proto_version(native, TLS1_2_VERSION);
        SSL_CTX_use_certificate(native, identity.cert.get());
        SSL_CTX_use_PrivateKey(native, identity.key.get());
        // Ask for the client's certificate and take whatever comes.
        SSL_CTX_set_verify(native, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
        accept_next();
        thread = std::thread([this] { io.run(); });
    }

    ~LoopbackTlsServer()
    {
        boost::asio::post(io, [this] {
            boost::system::error_code ignored;
            acceptor.close(ignored);
            for (auto& s : streams)
                s->lowest_layer().close(ignored);
        });
        io.stop();
        thread.join();
    }

    unsigned short port() const { return acceptor.local_endpoint().port(); }
    std::string port_text() const { return std::to_string(port()); }

    std::vector<Connection> connections() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return records;
    }
    size_t handshakes() const
    {
        size_t n = 0;
        for (const auto& c : connections())
            n += c.handshake_done ? 1 : 0;
        return n;
    }
    size_t closed() const
    {
        size_t n = 0;
        for (const auto& c : connections())
            n += c.closed ? 1 : 0;
        return n;
    }

    // Stops accepting: later connects are refused.
    void close_listener()
    {
        boost::asio::post(io, [this] {
            boost::system::error_code ignored;
            acceptor.close(ignored);
        });
    }

private:
    using stream_t = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;

    void accept_next()
    {
        auto stream = std::make_shared<stream_t>(io, ctx);
        acceptor.async_accept(stream->lowest_layer(), [this, stream](const boost::system::error_code& ec) {
            if (ec)
                return;
            size_t index;
            {
                std::lock_guard<std::mutex> lock(mutex);
                index = records.size();
                records.emplace_back();
            }
            streams.push_back(stream);
            stream->async_handshake(boost::asio::ssl::stream_base::server,
                                    [this, stream, index](const boost::system::error_code& hec) {
                                        on_handshake(stream, index, hec);
                                    });
            accept_next();
        });
    }

    void on_handshake(const std::shared_ptr<stream_t>& stream, size_t index,
                      const boost::system::error_code& ec)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            Connection& c = records[index];
            if (ec) {
                c.closed = true;
                return;
            }
            c.handshake_done = true;
            if (const char* name = SSL_get_servername(stream->native_handle(), TLSEXT_NAMETYPE_host_name))
                c.sni = name;
            if (X509* peer = SSL_get0_peer_certificate(stream->native_handle())) {
                unsigned char* p = nullptr;
                const int n = i2d_X509(peer, &p);
                if (n > 0)
                    c.client_cert_der.assign(p, p + n);
                OPENSSL_free(p);
            }
        }
        read_until_closed(stream, index);
    }

    void read_until_closed(const std::shared_ptr<stream_t>& stream, size_t index)
    {
        auto buf = std::make_shared<std::vector<char>>(4096);
        stream->async_read_some(boost::asio::buffer(*buf),
                                [this, stream, index, buf](const boost::system::error_code& ec, size_t) {
                                    if (ec) {
                                        std::lock_guard<std::mutex> lock(mutex);
                                        records[index].closed = true;
                                        return;
                                    }
                                    read_until_closed(stream, index);
                                });
    }

    boost::asio::io_context io;
    boost::asio::ssl::context ctx;
    boost::asio::ip::tcp::acceptor acceptor;
    std::vector<std::shared_ptr<stream_t>> streams;  // event-loop thread only
    mutable std::mutex mutex;
    std::vector<Connection> records;
    std::thread thread;
};

// Polls pred until it holds or the deadline passes.
inline bool wait_until(const std::function<bool()>& pred,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace kavri_test
