#include "TlsSocketStream.h"

#include "TlsSocketBio.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/system/system_error.hpp>
#include <openssl/err.h>

#include <cerrno>
#include <climits>

namespace vexa {

namespace {

boost::system::error_code ssl_error(unsigned long code)
{
    return boost::system::error_code(static_cast<int>(code), boost::asio::error::get_ssl_category());
}

}  // namespace

TlsSocketStream::TlsSocketStream(socket_type& socket, boost::asio::ssl::context& context, executor_type strand)
    : m_socket(socket),
      m_strand(std::move(strand)),
      m_ssl(SSL_new(context.native_handle())),
      m_fd(-1),
      m_write_failed(false)
{
    if (!m_ssl)
        throw boost::system::system_error(ssl_error(ERR_get_error()), "TlsSocketStream");
    // Partial writes hand Asio's composed writes one record at a time; a
    // retried write may come from a moved buffer; idle connections give
    // their record buffers back.
    SSL_set_mode(m_ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
}

TlsSocketStream::~TlsSocketStream()
{
    // Frees the BIO too; neither writes nor closes the descriptor.
    SSL_free(m_ssl);
}

boost::system::error_code TlsSocketStream::attach(handshake_type type)
{
    if (!m_socket.is_open())
        return boost::asio::error::bad_descriptor;
    boost::system::error_code ec;
    m_socket.non_blocking(true, ec);
    if (ec)
        return ec;
    BIO* bio = TlsSocketBio::make(m_socket.native_handle());
    if (!bio)
        return ssl_error(ERR_get_error());
    SSL_set_bio(m_ssl, bio, bio);
    m_fd = m_socket.native_handle();
    if (type == boost::asio::ssl::stream_base::client)
        SSL_set_connect_state(m_ssl);
    else
        SSL_set_accept_state(m_ssl);
    return boost::system::error_code();
}

boost::system::error_code TlsSocketStream::usable() const
{
    if (!m_socket.is_open() || m_socket.native_handle() != m_fd)
        return boost::asio::error::bad_descriptor;
    return boost::system::error_code();
}

bool TlsSocketStream::holds_input() const
{
    return SSL_pending(m_ssl) > 0 || SSL_has_pending(m_ssl) == 1;
}

TlsSocketStream::Step TlsSocketStream::perform(Io io, void* data, std::size_t size)
{
    if (usable())
        return {Want::NOTHING, boost::asio::error::operation_aborted, 0};
    if (io != Io::HANDSHAKE && size == 0)
        return {Want::NOTHING, boost::system::error_code(), 0};
    if (io == Io::WRITE && m_write_failed)
        return {Want::NOTHING, boost::asio::error::broken_pipe, 0};

    const int length = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    ERR_clear_error();
    errno = 0;
    int result = 0;
    switch (io) {
    case Io::HANDSHAKE: result = SSL_do_handshake(m_ssl); break;
    case Io::READ: result = SSL_read(m_ssl, data, length); break;
    case Io::WRITE: result = SSL_write(m_ssl, data, length); break;
    }
    const int system_error = errno;
    const int ssl_result = SSL_get_error(m_ssl, result);

    switch (ssl_result) {
    case SSL_ERROR_NONE:
        return {Want::NOTHING, boost::system::error_code(), result > 0 ? static_cast<std::size_t>(result) : 0};
    case SSL_ERROR_WANT_READ:
        return {Want::READ, boost::system::error_code(), 0};
    case SSL_ERROR_WANT_WRITE:
        return {Want::WRITE, boost::system::error_code(), 0};
    case SSL_ERROR_ZERO_RETURN:
        // The peer's close_notify.
        return {Want::NOTHING, boost::asio::error::eof, 0};
    case SSL_ERROR_SSL:
        return {Want::NOTHING, ssl_error(ERR_get_error()), 0};
    case SSL_ERROR_SYSCALL: {
        const unsigned long code = ERR_get_error();
        if (TlsSocketBio::saw_end_of_stream(SSL_get_rbio(m_ssl))) {
            // As Asio's stream reports the transport's end: eof only after
            // the peer's close_notify.
            const bool notified = (SSL_get_shutdown(m_ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
            return {Want::NOTHING,
                    notified ? boost::system::error_code(boost::asio::error::eof)
                             : boost::system::error_code(boost::asio::ssl::error::stream_truncated),
                    0};
        }
        if (system_error != 0) {
            m_write_failed = m_write_failed || io == Io::WRITE;
            return {Want::NOTHING, boost::system::error_code(system_error, boost::system::system_category()), 0};
        }
        if (code != 0 && ERR_GET_LIB(code) == ERR_LIB_SYS)
            return {Want::NOTHING,
                    boost::system::error_code(ERR_GET_REASON(code), boost::system::system_category()), 0};
        if (code != 0)
            return {Want::NOTHING, ssl_error(code), 0};
        return {Want::NOTHING, boost::asio::ssl::error::unspecified_system_error, 0};
    }
    default:
        return {Want::NOTHING, boost::asio::ssl::error::unexpected_result, 0};
    }
}

void TlsSocketStream::shutdown(boost::asio::socket_base::shutdown_type what, boost::system::error_code& ec)
{
    m_socket.shutdown(what, ec);
}

void TlsSocketStream::close(boost::system::error_code& ec)
{
    m_socket.close(ec);
}

}  // namespace vexa
