// A scripted TLS client standing in for a Kavri client: it does not verify
// the server, sends a server name or none, and writes whatever bytes the
// test gives it (frames with any length field, split writes, raw bytes). It
// never pipelines by itself: the test sends one frame and reads the answer.
//
// Threads: one test thread uses a client; no lock.
#pragma once

#include "SsigFrame.h"
#include "TestIdentity.h"
#include "TlsStream.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kavri_test {

class TlsTestClient {
public:
    using ms = TlsStream::ms;

    TlsTestClient();
    ~TlsTestClient();
    TlsTestClient(const TlsTestClient&) = delete;
    TlsTestClient& operator=(const TlsTestClient&) = delete;

    // A certificate to present when a server asks for one (none by default).
    void set_identity(TestIdentity::ptr identity) { m_identity = std::move(identity); }
    // Restricts the TLS 1.2 suites offered (OpenSSL's names); false when
    // OpenSSL knows none of them.
    bool set_cipher_list(const std::string& list);
    // The suite of the current connection, "" when none.
    std::string cipher() const;

    // TCP connect to 127.0.0.1:port and a TLS 1.2 handshake, sending sni
    // when given. False on refusal, failure or timeout.
    bool connect(unsigned short port, const std::optional<std::string>& sni = std::nullopt,
                 ms timeout = ms(5000));
    // TCP only: the TLS handshake is never started.
    bool connect_tcp(unsigned short port, ms timeout = ms(5000));

    bool send(const std::string& bytes) { return m_stream && m_stream->write(bytes); }
    // The bytes in pieces of the given sizes (the rest last), each its own
    // TLS record, with a pause between them.
    bool send_split(const std::string& bytes, const std::vector<std::size_t>& sizes,
                    ms pause = ms(50));

    std::optional<SsigFrame> read_frame(ms timeout = ms(5000));
    bool wait_closed(ms timeout = ms(2000)) { return m_stream && m_stream->wait_closed(timeout); }
    bool open_and_silent(ms wait = ms(500)) { return m_stream && m_stream->open_and_silent(wait); }

    // DER of the certificate the server presented.
    const std::vector<unsigned char>& server_certificate_der() const { return m_server_der; }
    std::string protocol() const;
    void close();
    TlsStream* stream() { return m_stream.get(); }

private:
    int open_socket(unsigned short port, ms timeout);

    SSL_CTX* m_ctx = nullptr;
    TestIdentity::ptr m_identity;
    std::unique_ptr<TlsStream> m_stream;
    std::vector<unsigned char> m_server_der;
};

}  // namespace kavri_test
