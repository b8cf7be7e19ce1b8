#include "TlsServerConnection.h"

namespace kavri_test {

TlsServerConnection::TlsServerConnection(std::unique_ptr<TlsStream> stream, std::size_t accept_index,
                                         std::optional<std::string> sni,
                                         std::vector<unsigned char> client_der)
    : m_stream(std::move(stream)),
      m_accept_index(accept_index),
      m_sni(std::move(sni)),
      m_client_der(std::move(client_der))
{
}

std::string TlsServerConnection::protocol() const
{
    return m_stream->ssl() ? SSL_get_version(m_stream->ssl()) : "";
}

}  // namespace kavri_test
