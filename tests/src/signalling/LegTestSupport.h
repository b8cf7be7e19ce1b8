// Fixtures of the signalling legs' component tests: the gateway's TLS
// identity (built once), a fake host that records what the legs ask of it,
// an event loop on several threads, a blocking TLS test client and a
// scripted TLS test server on 127.0.0.1, tag and HELLO builders, and
// bounded waits.
#pragma once

#include "IoThreads.h"
#include "CipherList.h"
#include "Config.h"
#include "SSIGClientConnection.h"
#include "SSIGLegContexts.h"
#include "SSIGLegHost.h"
#include "SSIGServerConnection.h"
#include "SSIGServerSSL.h"
#include "Startup.h"
#include "vexa_tags.h"
#include "vexa_xml.h"
#include "vexa_xml_fail.h"
#include "vexa_xml_hello.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace legtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls pred until it holds or timeout passes; the result of the last poll.
inline bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > deadline)
            return pred();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

inline void set_config(const std::string& key, const std::string& value)
{
    vexa::Config::get_instance()->set(key, value);
}

// The log lines of the whole test, in the log's layout; readable while the
// legs' threads write.
class LegLog {
public:
    LegLog()
    {
        m_backend = boost::make_shared<Backend>();
        m_sink = boost::make_shared<sink_t>(m_backend);
        m_sink->set_formatter(&vexa::format_log_record);
        boost::log::core::get()->add_sink(m_sink);
    }
    ~LegLog()
    {
        boost::log::core::get()->remove_sink(m_sink);
        m_sink->flush();
    }
    std::string text() const
    {
        std::lock_guard<std::mutex> l(m_backend->mutex);
        return m_backend->text;
    }

private:
    struct Backend : boost::log::sinks::basic_formatted_sink_backend<char, boost::log::sinks::concurrent_feeding> {
        void consume(const boost::log::record_view&, const std::string& line)
        {
            std::lock_guard<std::mutex> l(mutex);
            text += line;
            text += '\n';
        }
        std::mutex mutex;
        std::string text;
    };
    using sink_t = boost::log::sinks::synchronous_sink<Backend>;
    boost::shared_ptr<Backend> m_backend;
    boost::shared_ptr<sink_t> m_sink;
};

// --- certificates ------------------------------------------------------------

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct SslCtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};

inline std::vector<unsigned char> der_of(X509* cert)
{
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    std::vector<unsigned char> out;
    if (n > 0)
        out.assign(der, der + n);
    OPENSSL_free(der);
    return out;
}

// A self-signed RSA certificate made in-process.
struct TestCert {
    std::unique_ptr<EVP_PKEY, PkeyFree> key;
    vexa::x509_ref cert;

    explicit TestCert(const std::string& cn)
    {
        key.reset(EVP_RSA_gen(2048));
        cert.reset(X509_new());
        X509_set_version(cert.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
        X509_set_pubkey(cert.get(), key.get());
        X509_NAME* name = X509_get_subject_name(cert.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
        X509_set_issuer_name(cert.get(), name);
        X509_sign(cert.get(), key.get(), EVP_sha256());
    }
    std::vector<unsigned char> der() const { return der_of(cert.get()); }
};

// Configuration defaults, the settled cipher list, a self-signed gateway
// identity and the stanza library: once per test program.
struct Identity {
    boost::asio::io_context main_io, aux_io;
    std::unique_ptr<vexa::SSIGServerSSL> ssl;
    std::unique_ptr<vexa::SSIGLegContexts> contexts;
    TestCert server_cert{"server.kavri.test"};
    TestCert other_cert{"other.kavri.test"};

    Identity()
    {
        // Test peers write on connections the gateway may just have closed.
        std::signal(SIGPIPE, SIG_IGN);
        vexa::Config& c = *vexa::Config::get_instance();
        vexa::register_defaults(c);
        vexa::logger_t lg;
        vexa::settle_cipher_list(c, lg);
        c.set("SSLCertType", "2");
        c.set("SSLCertMinKeyLength", "2048");
        c.set("SSLCertPath", "/nonexistent/kavri/certs/");
        ssl = std::make_unique<vexa::SSIGServerSSL>(main_io, aux_io, "gw.kavri.test");
        contexts = std::make_unique<vexa::SSIGLegContexts>(
            *ssl, &vexa::SSIGClientConnection::ssl_ksg_client_facing_sni_cback,
            &vexa::SSIGServerConnection::ssl_ksg_server_facing_cert_cback);
        static const sVEXA_XML_CALLOUTS callouts{SHA256_Init, SHA256_Update, SHA256_Final,
                                                 [](int, const char*) {}};
        vexa_xml_init(&callouts);
    }
    std::vector<unsigned char> gateway_der() const
    {
        return std::vector<unsigned char>(ssl->get_der(), ssl->get_der() + ssl->get_der_length());
    }
};

inline Identity& identity()
{
    static Identity id;
    return id;
}

// --- tags and HELLOs ---------------------------------------------------------

// Session id of the golden tags: 0123456789abcdef.
const uint8_t kSid[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
constexpr const char* kSidB64 = "ASNFZ4mrze8A";
constexpr const char* kBaseTag =
    "SCS1AAECAwQFBgcICQoLDA0OD/ZJKJcfKUeZK8nGGycNt2aAEBESExQVFhcYGRobHB0eH1S9J3nigX1e67Z4x/R/omJaASNFZ4mrze8A";

// SHA-256(DER || SHA-256(session id)).
inline std::vector<unsigned char> thumbprint_of(const std::vector<unsigned char>& der)
{
    unsigned char out[32] = {0};
    vexa_calculate_thumbprint_hash(kSid, der.data(), int(der.size()), out);
    return std::vector<unsigned char>(out, out + 32);
}

// The tovik overlay of the base tag for the server certificate's DER.
inline std::string make_ctag(const std::vector<unsigned char>& server_der, unsigned short flags = 0)
{
    char tag[200] = {0};
    std::strcpy(tag, kBaseTag);
    std::vector<unsigned char> th = thumbprint_of(server_der);
    vexa_util_overlay_tovik_session_tag(tag, th.data(), flags);
    return tag;
}

// The rtag the gateway would make from ctag with its own certificate.
inline std::string make_rtag(const std::string& ctag)
{
    char out[200] = {0};
    const auto der = identity().gateway_der();
    vexa_generate_rtag(ctag.c_str(), kSid, der.data(), int(der.size()), out);
    return out;
}

// The thumbprint a HELLO signed for tag carries (F2[16..31] || F1[16..31]).
inline std::vector<unsigned char> tag_thumbprint(const std::string& tag)
{
    unsigned char id[16] = {0}, th[32] = {0};
    unsigned short flags = 0;
    vexa_util_parse_tovik_session_tag(tag.c_str(), id, th, &flags);
    return std::vector<unsigned char>(th, th + 32);
}

struct Hop {
    std::string name;
    std::string version;
    uint64_t spi;
};

// A client's HELLO (POST form) signed with key.
inline std::string make_hello(const std::string& key, const std::vector<Hop>& hops, uint64_t spi = 0,
                              const std::string& server_name = "gw.example")
{
    sVEXA_XML_HELLO rec;
    std::memset(&rec, 0, sizeof rec);
    std::memcpy(rec.session_id, kSid, 8);
    const auto th = tag_thumbprint(key);
    std::memcpy(rec.thumbprint_hash, th.data(), 32);
    std::strncpy(rec.server_name, server_name.c_str(), sizeof rec.server_name - 1);
    rec.spi = spi;
    for (const Hop& h : hops) {
        sVEXA_XML_MITM_HELLO& m = rec.mitm_hellos.mitm[rec.mitm_hellos.count++];
        std::strncpy(m.name, h.name.c_str(), sizeof m.name - 1);
        std::strncpy(m.version, h.version.c_str(), sizeof m.version - 1);
        m.spi = h.spi;
    }
    char full[VEXA_XML_BUFFER_SIZE] = {0};
    vexa_xml_create_hello(&rec, key.c_str(), full, nullptr);
    return full;
}

// --- frames ------------------------------------------------------------------

inline std::string be32(uint32_t v)
{
    std::string s(4, '\0');
    s[0] = char(v >> 24);
    s[1] = char(v >> 16);
    s[2] = char(v >> 8);
    s[3] = char(v);
    return s;
}

// A TLV frame with the given length field and value bytes (a command element
// first when the value is built by tlv_value).
inline std::string tlv_frame(uint32_t length_field, const std::string& value)
{
    return be32(0) + be32(length_field) + value;
}

// Command element, then one element of type "data" padded to 4.
inline std::string tlv_value(uint32_t command, const std::string& data)
{
    std::string v = be32(vexa::ssig::SSIGMap::type_of("cmnd")) + be32(4) + be32(command);
    v += be32(vexa::ssig::SSIGMap::type_of("data")) + be32(uint32_t(data.size())) + data;
    while (v.size() % 4)
        v += '\0';
    return v;
}

// A POST frame with a given Content-Length text (padded like the library's).
inline std::string post_frame(const std::string& body, long content_length)
{
    char cl[32];
    std::snprintf(cl, sizeof cl, "%4ld", content_length);
    return "POST /kavri-client HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: " + std::string(cl) +
           "\r\n\r\n" + body;
}
inline std::string post_frame(const std::string& body)
{
    return post_frame(body, long(body.size()));
}


// --- TLS test client -----------------------------------------------------------

// A blocking OpenSSL client; every read is bounded.
class TlsClient {
public:
    enum class ReadResult { DATA, CLOSED, TIMEOUT };

    explicit TlsClient(unsigned short port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        m_ctx.reset(SSL_CTX_new(TLS_client_method()));
    }
    ~TlsClient()
    {
        if (m_ssl)
            SSL_free(m_ssl);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool tcp_connected() const { return m_connected; }

    // sni empty: no server name. False on failure (bounded by 10 s).
    bool handshake(const std::string& sni = "")
    {
        set_timeout(10000);
        m_ssl = SSL_new(m_ctx.get());
        SSL_set_fd(m_ssl, m_fd);
        if (!sni.empty())
            SSL_set_tlsext_host_name(m_ssl, sni.c_str());
        return SSL_connect(m_ssl) == 1;
    }

    bool send(const std::string& bytes)
    {
        set_timeout(10000);
        return SSL_write(m_ssl, bytes.data(), int(bytes.size())) == int(bytes.size());
    }

    // Appends what arrives within timeout to m_in.
    ReadResult read_some(int timeout_ms)
    {
        if (!SSL_pending(m_ssl)) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, timeout_ms) == 0)
                return ReadResult::TIMEOUT;
        }
        set_timeout(timeout_ms);
        char buf[16384];
        const int n = SSL_read(m_ssl, buf, sizeof buf);
        if (n > 0) {
            m_in.append(buf, std::size_t(n));
            return ReadResult::DATA;
        }
        const int err = SSL_get_error(m_ssl, n);
        ERR_clear_error();
        if (err == SSL_ERROR_WANT_READ)
            return ReadResult::TIMEOUT;
        return ReadResult::CLOSED;
    }

    // True once the gateway closed the connection (within timeout).
    bool wait_closed(int timeout_ms = 5000)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            const auto r = read_some(100);
            if (r == ReadResult::CLOSED)
                return true;
        }
        return false;
    }

    // True when nothing arrives (and no close) for ms.
    bool silent_for(int ms)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        const std::size_t before = m_in.size();
        while (Clock::now() < deadline) {
            if (read_some(50) == ReadResult::CLOSED)
                return false;
        }
        return m_in.size() == before;
    }

    // One HTTP-like frame (header and Content-Length bytes of body); "" on timeout or close.
    std::string read_http_frame(int timeout_ms = 5000)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const std::size_t end = m_in.find("\r\n\r\n");
            if (end != std::string::npos) {
                const std::size_t cl = m_in.find("Content-Length:");
                if (cl != std::string::npos && cl < end) {
                    const long length = std::strtol(m_in.c_str() + cl + 15, nullptr, 10);
                    const std::size_t total = end + 4 + std::size_t(length);
                    if (m_in.size() >= total) {
                        std::string frame = m_in.substr(0, total);
                        m_in.erase(0, total);
                        return frame;
                    }
                }
            }
            if (Clock::now() > deadline)
                return "";
            if (read_some(50) == ReadResult::CLOSED && m_in.find("\r\n\r\n") == std::string::npos)
                return "";
        }
    }

    // One TLV frame; "" on timeout or close.
    std::string read_tlv_frame(int timeout_ms = 5000)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (m_in.size() >= 8) {
                const uint32_t length = (uint32_t(uint8_t(m_in[4])) << 24) | (uint32_t(uint8_t(m_in[5])) << 16) |
                                        (uint32_t(uint8_t(m_in[6])) << 8) | uint32_t(uint8_t(m_in[7]));
                if (m_in.size() >= 8 + length) {
                    std::string frame = m_in.substr(0, 8 + length);
                    m_in.erase(0, 8 + length);
                    return frame;
                }
            }
            if (Clock::now() > deadline)
                return "";
            if (read_some(50) == ReadResult::CLOSED)
                return "";
        }
    }

    // True once the gateway closed the TCP connection (within timeout),
    // whether or not TLS ever started; bytes that arrive are discarded.
    bool plain_closed_within(int timeout_ms)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buf[512];
            if (::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT) <= 0)
                return true;
        }
        return false;
    }

    // Bytes on the TCP connection, outside TLS.
    bool send_plain(const std::string& bytes)
    {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }

    // True when the next buffered frame is a TLV one (waits briefly for a byte).
    bool peek_is_tlv()
    {
        if (m_in.empty())
            read_some(100);
        return !m_in.empty() && m_in[0] == '\0';
    }

    void close_now()
    {
        if (m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR);
    }

private:
    void set_timeout(int ms)
    {
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }

    int m_fd = -1;
    bool m_connected = false;
    std::unique_ptr<SSL_CTX, SslCtxFree> m_ctx;
    SSL* m_ssl = nullptr;
    std::string m_in;
};

// A FAIL stanza as the client receives it.
struct ParsedFail {
    bool ok = false;
    uint32_t code = 0;
    std::string reason;
    std::vector<std::string> hop_names;
};

inline ParsedFail parse_fail(const std::string& frame)
{
    ParsedFail f;
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    sVEXA_XML_FAIL rec;
    std::memset(&rec, 0, sizeof rec);
    f.ok = !frame.empty() && vexa_xml_parse_fail(frame.c_str(), frame.size(), &type, &rec) == 0 &&
           type == VEXA_XML_TYPE_FAIL;
    f.code = rec.failure_code;
    f.reason = rec.failure_reason;
    for (int i = 0; i < rec.mitm_hellos.count; ++i)
        f.hop_names.push_back(rec.mitm_hellos.mitm[i].name);
    return f;
}

// --- TLS test server -------------------------------------------------------------

// Accepts TLS connections on 127.0.0.1 (one thread, each connection in turn),
// presenting cert and asking for a client certificate; records the SNI and
// the client certificate of each, and runs script on the connection.
class TlsServer {
public:
    struct Peer {
        SSL* ssl;
        int fd;
        const std::atomic<bool>* stop;
        // Bounded read of exactly n bytes; false on close or timeout.
        bool read_exact(std::string& out, std::size_t n, int timeout_ms = 5000)
        {
            out.clear();
            const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
            while (out.size() < n) {
                if (!SSL_pending(ssl)) {
                    pollfd p{fd, POLLIN, 0};
                    const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             deadline - Clock::now()).count());
                    if (left <= 0 || ::poll(&p, 1, left) == 0)
                        return false;
                }
                char buf[8192];
                const int r = SSL_read(ssl, buf, int(std::min<std::size_t>(sizeof buf, n - out.size())));
                if (r <= 0)
                    return false;
                out.append(buf, std::size_t(r));
            }
            return true;
        }
        bool send(const std::string& bytes) { return SSL_write(ssl, bytes.data(), int(bytes.size())) == int(bytes.size()); }
        // True when the gateway closes within timeout.
        // (Gives up early when the server is being destroyed.)
        bool wait_closed(int timeout_ms = 5000)
        {
            const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
            while (Clock::now() < deadline && !*stop) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 50) == 0)
                    continue;
                char buf[4096];
                if (SSL_read(ssl, buf, sizeof buf) <= 0)
                    return true;
            }
            return false;
        }
    };
    using Script = std::function<void(Peer&)>;

    struct Accepted {
        std::string sni;
        std::vector<unsigned char> client_der;
        bool handshake_ok = false;
        bool resumed = false;  // the client resumed a TLS session
    };

    TlsServer(TestCert& cert, Script script, int handshake_delay_ms = 0)
        : m_script(std::move(script)), m_delay(handshake_delay_ms)
    {
        m_ctx.reset(SSL_CTX_new(TLS_server_method()));
        SSL_CTX_use_certificate(m_ctx.get(), cert.cert.get());
        SSL_CTX_use_PrivateKey(m_ctx.get(), cert.key.get());
        SSL_CTX_set_verify(m_ctx.get(), SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_listen, 16);
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~TlsServer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    unsigned short port() const { return m_port; }
    std::size_t accepted_count()
    {
        std::lock_guard<std::mutex> l(m_mutex);
        return m_accepted.size();
    }
    Accepted accepted(std::size_t i)
    {
        std::lock_guard<std::mutex> l(m_mutex);
        return m_accepted.at(i);
    }

private:
    void run()
    {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0)
                continue;
            if (m_delay > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(m_delay));
            timeval tv{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            SSL* ssl = SSL_new(m_ctx.get());
            SSL_set_fd(ssl, fd);
            Accepted a;
            a.handshake_ok = SSL_accept(ssl) == 1;
            if (a.handshake_ok) {
                if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name))
                    a.sni = name;
                if (X509* peer = SSL_get0_peer_certificate(ssl))
                    a.client_der = der_of(peer);
                a.resumed = SSL_session_reused(ssl) == 1;
            }
            ERR_clear_error();
            {
                std::lock_guard<std::mutex> l(m_mutex);
                m_accepted.push_back(a);
            }
            if (a.handshake_ok && m_script) {
                Peer peer{ssl, fd, &m_stop};
                m_script(peer);
            }
            SSL_free(ssl);
            ::close(fd);
        }
    }

    std::unique_ptr<SSL_CTX, SslCtxFree> m_ctx;
    Script m_script;
    int m_delay;
    int m_listen = -1;
    unsigned short m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Accepted> m_accepted;
    std::thread m_thread;
};

// --- the fake host -----------------------------------------------------------------

// Records what the legs ask and answers as configured. Removals stop the
// leg, as the signalling server does.
class FakeHost : public vexa::SSIGLegHost, public std::enable_shared_from_this<FakeHost> {
public:
    enum class Connected { AT_ONCE, STORED };

    struct Forward {
        std::string text;
        eVEXA_XML_TYPE type;
        vexa::ssig_complete_handler_t completion;
    };
    // One setup_tunnel call, as the leg made it.
    struct Tunnel {
        uint32_t client_spi = 0, client_salt = 0;
        std::vector<uint8_t> client_key;
        boost::asio::ip::udp::endpoint server_udp;
        uint32_t server_spi = 0, server_salt = 0;
        std::vector<uint8_t> server_key;
        unsigned char clear_header = 0;
        uint32_t resume_timeout = 0;
        std::string rtag, connection_id, session_id, session_log_id;
        std::function<void(eSESSION_STATE)> state_callback;
        std::function<void(const std::string&)> closed_callback;
    };

    // --- configuration (set before the legs run) ---
    int restart_result = 0;
    bool have_server = true;
    std::string ctag, rtag, server_sni = "server.sni.test";
    X509* server_cert = nullptr;
    std::vector<unsigned char> hash = std::vector<unsigned char>(32, 0);
    bool forwarders_ok = true;
    Connected connected_mode = Connected::AT_ONCE;
    bool resumable = false;
    std::vector<sVEXA_XML_MITM_HELLO> client_hops;
    bool have_client = true;
    // Non-empty: setup_tunnel throws std::runtime_error with this text.
    std::string tunnel_error;

    // --- what happened ---
    std::string calls()
    {
        std::lock_guard<std::mutex> l(m);
        return m_calls;
    }
    bool called(const std::string& name) { return calls().find(name) != std::string::npos; }
    std::size_t removed_clients()
    {
        std::lock_guard<std::mutex> l(m);
        return m_removed_clients;
    }
    std::size_t removed_servers()
    {
        std::lock_guard<std::mutex> l(m);
        return m_removed_servers;
    }
    std::vector<Forward> forwards()
    {
        std::lock_guard<std::mutex> l(m);
        return m_forwards;
    }
    // Calls the stored server-connected callback (and drops it).
    bool fire_connected(bool value)
    {
        std::function<void(bool)> cb;
        {
            std::lock_guard<std::mutex> l(m);
            cb.swap(m_connected_cb);
        }
        if (!cb)
            return false;
        cb(value);
        return true;
    }
    // The setup_tunnel calls so far (their callbacks may hold the leg).
    std::vector<Tunnel> tunnels()
    {
        std::lock_guard<std::mutex> l(m);
        return m_tunnels;
    }
    // Drops what holds legs (forward completions, the stored callback, the
    // tunnel callbacks).
    void clear()
    {
        std::vector<Forward> forwards;
        std::function<void(bool)> cb;
        std::vector<Tunnel> tunnels;
        {
            std::lock_guard<std::mutex> l(m);
            forwards.swap(m_forwards);
            cb.swap(m_connected_cb);
            tunnels.swap(m_tunnels);
        }
        // Released here, outside the lock: they may hold the last reference to a leg.
    }
    bool callback_stored()
    {
        std::lock_guard<std::mutex> l(m);
        return bool(m_connected_cb);
    }

    // --- SSIGLegHost ---
    void remove_pending_client_connection(const std::shared_ptr<vexa::SSIGClientConnection>& leg) override
    {
        record("remove_pending;");
        {
            std::lock_guard<std::mutex> l(m);
            ++m_removed_clients;
            if (m_connected_owner.lock() == leg)
                m_connected_cb = nullptr;
        }
        leg->stop();
    }
    void handle_client_ssig_invite(const std::shared_ptr<vexa::SSIGClientConnection>&,
                                   const vexa::ssig::SSIGMap&) override
    {
        record("invite;");
    }
    std::string find_session_log_id(const std::string& id) override
    {
        record("find_log_id(" + id + ");");
        return "11111111-2222-3333-4444-555555555555";
    }
    // The signalling server's checks of a HELLO against the filed tags.
    vexa::HelloAdmission admit_client_hello(const std::string& id, const sVEXA_XML_HELLO& hello,
                                            const std::shared_ptr<vexa::SSIGClientConnection>& leg) override
    {
        record("admit(" + id + ");");
        if (restart_result != 0)
            return vexa::HelloAdmission::UNKNOWN_SESSION;
        if (!vexa::SessionTag(ctag).is_version_1_tag())
            return vexa::HelloAdmission::NOT_VERSION_1;
        if (vexa_xml_validate_hello(&hello, rtag.c_str()) != 0)
            return vexa::HelloAdmission::INVALID;
        leg->set_admitted(id);
        return vexa::HelloAdmission::ADMITTED;
    }
    void count_client_deadline_close(vexa::ClientDeadline why) override
    {
        static const char* const names[] = {"without_tls", "without_first_frame", "after_fail"};
        record(std::string("deadline_close(") + names[int(why)] + ");");
    }
    void set_server_connected_callback(const std::string& id,
                                       const std::weak_ptr<vexa::SSIGClientConnection>& owner,
                                       std::function<void(bool)> callback) override
    {
        record("set_connected_cb(" + id + ");");
        if (connected_mode == Connected::AT_ONCE) {
            callback(true);
            return;
        }
        std::lock_guard<std::mutex> l(m);
        m_connected_cb = std::move(callback);
        m_connected_owner = owner;
    }
    void set_server_reconnected_callback(const std::string& id,
                                         const std::weak_ptr<vexa::SSIGClientConnection>& owner,
                                         std::function<void(bool)> callback) override
    {
        record("set_reconnected_cb(" + id + ");");
        std::lock_guard<std::mutex> l(m);
        m_connected_cb = std::move(callback);
        m_connected_owner = owner;
    }
    void clear_server_connected_callback(const std::string& id,
                                         const std::shared_ptr<vexa::SSIGClientConnection>& owner) override
    {
        record("clear_connected_cb(" + id + ");");
        std::lock_guard<std::mutex> l(m);
        if (m_connected_owner.lock() == owner)
            m_connected_cb = nullptr;
    }
    bool get_server_connection_info(const std::string& id, vexa::SessionTag* ctag_out, std::string* rtag_out,
                                    std::string* sni_out, vexa::x509_ref* cert_out,
                                    unsigned char (*hash_out)[32]) override
    {
        record("get_info(" + id + ");");
        if (!have_server)
            return false;
        *ctag_out = vexa::SessionTag(ctag);
        *rtag_out = rtag;
        *sni_out = server_sni;
        if (server_cert) {
            X509_up_ref(server_cert);
            cert_out->reset(server_cert);
        }
        std::memcpy(*hash_out, hash.data(), 32);
        return true;
    }
    bool set_xml_forwarders(const std::string& id, const std::shared_ptr<vexa::SSIGClientConnection>& leg) override
    {
        record("set_forwarders(" + id + ");");
        if (!forwarders_ok)
            return false;
        std::weak_ptr<FakeHost> self = shared_from_this();
        leg->set_ssig_xml_forwarder([self](const char* xml, eVEXA_XML_TYPE type, vexa::ssig_complete_handler_t c) {
            if (auto h = self.lock()) {
                std::lock_guard<std::mutex> l(h->m);
                h->m_forwards.push_back(Forward{xml, type, std::move(c)});
            }
        });
        return true;
    }
    bool get_client_connection_info(const std::string& id, const std::shared_ptr<vexa::SSIGServerConnection>&,
                                    vexa::ssig::MitmInfoVector* out) override
    {
        record("get_client_info(" + id + ");");
        if (out)
            out->assign(client_hops.begin(), client_hops.end());
        return have_client;
    }
    void remove_connection(const vexa::SessionTag&, const std::shared_ptr<vexa::SSIGServerConnection>& leg) override
    {
        record("remove_connection;");
        {
            std::lock_guard<std::mutex> l(m);
            ++m_removed_servers;
        }
        leg->stop();
    }
    bool is_session_resumable(const std::string&, const std::shared_ptr<vexa::SSIGServerConnection>&) override
    {
        record("is_resumable;");
        return resumable;
    }
    void cleanup_connections_for_next_resume(const std::string&,
                                             const std::shared_ptr<vexa::SSIGServerConnection>& leg) override
    {
        record("cleanup;");
        leg->stop();
    }
    void invoke_server_connected_callback(const std::string& id) override
    {
        record("invoke_connected(" + id + ");");
        fire_connected(true);
    }
    void setup_tunnel(uint32_t client_spi, uint32_t client_salt, const std::vector<uint8_t>& client_key,
                      const boost::asio::ip::udp::endpoint& server_udp, uint32_t server_spi, uint32_t server_salt,
                      const std::vector<uint8_t>& server_key, unsigned char clear_header, uint32_t resume_timeout,
                      const std::string& rtag_in, const std::string& connection_id, const std::string& session_id,
                      const std::string& session_log_id, std::function<void(eSESSION_STATE)> state_callback,
                      std::function<void(const std::string&)> closed_callback,
                      const std::shared_ptr<vexa::SSIGServerConnection>&) override
    {
        record("setup_tunnel(" + session_id + ");");
        if (!tunnel_error.empty())
            throw std::runtime_error(tunnel_error);
        Tunnel t;
        t.client_spi = client_spi;
        t.client_salt = client_salt;
        t.client_key = client_key;
        t.server_udp = server_udp;
        t.server_spi = server_spi;
        t.server_salt = server_salt;
        t.server_key = server_key;
        t.clear_header = clear_header;
        t.resume_timeout = resume_timeout;
        t.rtag = rtag_in;
        t.connection_id = connection_id;
        t.session_id = session_id;
        t.session_log_id = session_log_id;
        t.state_callback = std::move(state_callback);
        t.closed_callback = std::move(closed_callback);
        std::lock_guard<std::mutex> l(m);
        m_tunnels.push_back(std::move(t));
    }
    vexa::SSIGServerSSL& get_server_ssl() override { return *identity().ssl; }
    vexa::SSIGLegContexts& get_leg_contexts() override { return *identity().contexts; }
    std::string get_gateway_sni() const override { return "gw.kavri.test"; }

private:
    void record(const std::string& s)
    {
        std::lock_guard<std::mutex> l(m);
        m_calls += s;
    }

    std::mutex m;
    std::string m_calls;
    std::size_t m_removed_clients = 0;
    std::size_t m_removed_servers = 0;
    std::vector<Forward> m_forwards;
    std::vector<Tunnel> m_tunnels;
    std::function<void(bool)> m_connected_cb;
    std::weak_ptr<vexa::SSIGClientConnection> m_connected_owner;
};

}  // namespace legtest
