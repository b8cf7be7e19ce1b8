// One connection accepted by TlsTestServer, handed to the test once its TLS
// handshake completed: what the peer sent in the handshake (server name,
// certificate) and the frames it sends afterwards.
//
// Threads: built by the server's handshake thread, then used by one test
// thread at a time; no lock.
#pragma once

#include "SsigFrame.h"
#include "TlsStream.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kavri_test {

class TlsServerConnection {
public:
    TlsServerConnection(std::unique_ptr<TlsStream> stream, std::size_t accept_index,
                        std::optional<std::string> sni, std::vector<unsigned char> client_der);

    // The order of this connection among the server's accepts, from 0.
    std::size_t accept_index() const { return m_accept_index; }
    // The server name the peer sent, if any.
    const std::optional<std::string>& sni() const { return m_sni; }
    // DER of the certificate the peer presented; empty when none.
    const std::vector<unsigned char>& client_certificate_der() const { return m_client_der; }
    // The negotiated protocol ("TLSv1.2").
    std::string protocol() const;

    std::optional<SsigFrame> read_frame(TlsStream::ms timeout = TlsStream::ms(5000))
    {
        return SsigFrame::read(*m_stream, timeout);
    }
    bool send(const std::string& bytes) { return m_stream->write(bytes); }
    bool wait_closed(TlsStream::ms timeout = TlsStream::ms(2000)) { return m_stream->wait_closed(timeout); }
    bool open_and_silent(TlsStream::ms wait = TlsStream::ms(500)) { return m_stream->open_and_silent(wait); }
    void close() { m_stream->close(); }
    TlsStream& stream() { return *m_stream; }

private:
    std::unique_ptr<TlsStream> m_stream;
    std::size_t m_accept_index;
    std::optional<std::string> m_sni;
    std::vector<unsigned char> m_client_der;
};

}  // namespace kavri_test
