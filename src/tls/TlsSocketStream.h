// A TLS connection that OpenSSL runs directly on a TCP socket's descriptor,
// with no BIO pair and no buffers of its own: between records an idle
// connection holds only OpenSSL's SSL object (its record buffers are
// released). An SSL call that wants to read or write waits for the socket to
// be ready that way and is made again, in either direction (a read may have
// to write, a write to read).
//
// It is an Asio AsyncReadStream and AsyncWriteStream, so async_read,
// async_read_until and async_write work on it, with at most one read and
// one write outstanding, each after the handshake. Its errors are those of
// Asio's TLS stream: the ssl category with OpenSSL's packed code,
// stream_truncated for an end of stream without close_notify, eof after
// one, the socket's own errors in the system category, operation_aborted
// for an operation that close() (or a cancel of the socket) ended, and
// bad_descriptor for one started on a closed socket.
//
// Threads: every member is called on the strand given at construction, and
// every wait and every completion runs there; the socket is closed only on
// that strand. No SSL call is made once the socket is closed: its
// descriptor number may already belong to another connection. A write ended
// by a cancel of the socket leaves the stream fit only for close().
#pragma once

#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream_base.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/error_code.hpp>
#include <openssl/ssl.h>

#include <cstddef>

namespace vexa {

template <typename Handler, bool WithBytes>
class TlsSocketStreamOp;

class TlsSocketStream {
public:
    using socket_type = boost::asio::ip::tcp::socket;
    using executor_type = boost::asio::strand<boost::asio::io_context::executor_type>;
    using handshake_type = boost::asio::ssl::stream_base::handshake_type;

    // The SSL object is made at once from context (which may be shared);
    // socket may still be closed until the handshake. Throws
    // boost::system::system_error when OpenSSL cannot make the SSL object.
    TlsSocketStream(socket_type& socket, boost::asio::ssl::context& context, executor_type strand);
    ~TlsSocketStream();
    TlsSocketStream(const TlsSocketStream&) = delete;
    TlsSocketStream& operator=(const TlsSocketStream&) = delete;

    executor_type get_executor() const noexcept { return m_strand; }
    SSL* native_handle() const { return m_ssl; }
    socket_type& next_layer() { return m_socket; }
    socket_type& lowest_layer() { return m_socket; }

    // Makes the socket non-blocking and hands its descriptor to OpenSSL.
    // A server waits for the client's first bytes before its first SSL
    // call, so a connection that sends nothing costs no record buffers.
    template <typename Handler>
    auto async_handshake(handshake_type type, Handler&& handler)
    {
        return boost::asio::async_initiate<Handler, void(boost::system::error_code)>(
            [this](auto&& h, handshake_type t) {
                const boost::system::error_code early = attach(t);
                start<std::decay_t<decltype(h)>, false>(std::move(h), Io::HANDSHAKE, nullptr, 0, early,
                                                        !early && t == boost::asio::ssl::stream_base::server);
            },
            handler, type);
    }

    // Takes what OpenSSL already holds before it waits for the socket: the
    // frame reader asks for exact lengths, so one record serves several reads.
    template <typename MutableBufferSequence, typename Handler>
    auto async_read_some(const MutableBufferSequence& buffers, Handler&& handler)
    {
        return boost::asio::async_initiate<Handler, void(boost::system::error_code, std::size_t)>(
            [this](auto&& h, boost::asio::mutable_buffer b) {
                const boost::system::error_code early = usable();
                start<std::decay_t<decltype(h)>, true>(std::move(h), Io::READ, b.data(), b.size(), early,
                                                       !early && b.size() != 0 && !holds_input());
            },
            handler, first_buffer(buffers));
    }

    template <typename ConstBufferSequence, typename Handler>
    auto async_write_some(const ConstBufferSequence& buffers, Handler&& handler)
    {
        return boost::asio::async_initiate<Handler, void(boost::system::error_code, std::size_t)>(
            [this](auto&& h, boost::asio::const_buffer b) {
                start<std::decay_t<decltype(h)>, true>(std::move(h), Io::WRITE, const_cast<void*>(b.data()),
                                                       b.size(), usable(), false);
            },
            handler, first_buffer(buffers));
    }

    // TCP shutdown of the socket; no close_notify is sent.
    void shutdown(boost::asio::socket_base::shutdown_type what, boost::system::error_code& ec);
    // Closes the socket: pending operations end with operation_aborted.
    void close(boost::system::error_code& ec);

private:
    template <typename Handler, bool WithBytes>
    friend class TlsSocketStreamOp;

    enum class Io { HANDSHAKE, READ, WRITE };
    enum class Want { NOTHING, READ, WRITE };
    // The outcome of one SSL call: done (with ec and bytes), or the socket
    // readiness it waits for.
    struct Step {
        Want want;
        boost::system::error_code ec;
        std::size_t bytes;
    };

    // The socket non-blocking, OpenSSL on its descriptor in the given role.
    boost::system::error_code attach(handshake_type type);
    // bad_descriptor once the socket is closed (or is no longer the one
    // OpenSSL was given).
    boost::system::error_code usable() const;
    // OpenSSL holds bytes of a record already read from the socket.
    bool holds_input() const;
    // One SSL call for io, its outcome in the terms of Asio's TLS stream.
    Step perform(Io io, void* data, std::size_t size);

    template <typename Handler, bool WithBytes>
    void start(Handler&& handler, Io io, void* data, std::size_t size, const boost::system::error_code& early,
               bool wait_first);

    template <typename Sequence>
    static auto first_buffer(const Sequence& buffers)
    {
        using buffer_type = std::conditional_t<boost::asio::is_mutable_buffer_sequence<Sequence>::value,
                                               boost::asio::mutable_buffer, boost::asio::const_buffer>;
        for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
             ++it) {
            const buffer_type b(*it);
            if (b.size() != 0)
                return b;
        }
        return buffer_type();
    }

    socket_type& m_socket;
    executor_type m_strand;
    SSL* m_ssl;
    // The descriptor OpenSSL was given; -1 before the handshake.
    int m_fd;
    // A write failed on the socket: OpenSSL still holds the rest of its
    // record, so later writes fail as the socket would fail them (Asio's
    // stream wrote those to the dead socket too).
    bool m_write_failed;
};

}  // namespace vexa

#include "TlsSocketStreamOp.h"

namespace vexa {

template <typename Handler, bool WithBytes>
void TlsSocketStream::start(Handler&& handler, Io io, void* data, std::size_t size,
                            const boost::system::error_code& early, bool wait_first)
{
    TlsSocketStreamOp<Handler, WithBytes> op(*this, io, data, size, std::move(handler));
    op.start(early, wait_first);
}

}  // namespace vexa
