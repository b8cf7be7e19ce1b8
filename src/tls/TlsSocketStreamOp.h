// One operation of a TlsSocketStream (handshake, read or write): the SSL
// call, the socket waits it asks for, and the completion. It moves itself
// into each wait, so the waits hold it; the stream must outlive it (the
// handler's owner holds the stream).
//
// Threads: runs on the stream's strand only; holds no lock.
#pragma once

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <cstddef>
#include <utility>

namespace vexa {

template <typename Handler, bool WithBytes>
class TlsSocketStreamOp {
public:
    using handler_executor_type =
        boost::asio::associated_executor_t<Handler, TlsSocketStream::executor_type>;

    TlsSocketStreamOp(TlsSocketStream& stream, TlsSocketStream::Io io, void* data, std::size_t size,
                      Handler&& handler)
        : m_stream(&stream),
          m_io(io),
          m_data(data),
          m_size(size),
          m_work(boost::asio::get_associated_executor(handler, stream.m_strand)),
          m_handler(std::move(handler))
    {
    }

    // An early error completes at once (as if posted); else the first SSL
    // call is made now, or after the socket is readable.
    void start(const boost::system::error_code& early, bool wait_first)
    {
        if (early)
            post_completion(early, 0);
        else if (wait_first)
            wait(TlsSocketStream::Want::READ);
        else
            step(true);
    }

    // A wait of the socket finished.
    void operator()(const boost::system::error_code& ec)
    {
        if (ec) {
            complete(ec, 0);
            return;
        }
        // Closed while this completion was queued: the descriptor is gone.
        if (const boost::system::error_code closed = m_stream->usable()) {
            complete(boost::asio::error::operation_aborted, 0);
            return;
        }
        step(false);
    }

private:
    void step(bool initiating)
    {
        const TlsSocketStream::Step s = m_stream->perform(m_io, m_data, m_size);
        if (s.want != TlsSocketStream::Want::NOTHING)
            wait(s.want);
        else if (initiating)
            post_completion(s.ec, s.bytes);
        else
            complete(s.ec, s.bytes);
    }

    void wait(TlsSocketStream::Want want)
    {
        TlsSocketStream& stream = *m_stream;
        stream.m_socket.async_wait(want == TlsSocketStream::Want::READ ? boost::asio::socket_base::wait_read
                                                                       : boost::asio::socket_base::wait_write,
                                   boost::asio::bind_executor(stream.m_strand, std::move(*this)));
    }

    // The initiating function must not run the handler itself.
    void post_completion(const boost::system::error_code& ec, std::size_t bytes)
    {
        auto executor = m_work.get_executor();
        m_work.reset();
        boost::asio::post(executor, bound(ec, bytes));
    }

    void complete(const boost::system::error_code& ec, std::size_t bytes)
    {
        auto executor = m_work.get_executor();
        m_work.reset();
        boost::asio::dispatch(executor, bound(ec, bytes));
    }

    auto bound(const boost::system::error_code& ec, std::size_t bytes)
    {
        return [handler = std::move(m_handler), ec, bytes = ec ? 0 : bytes]() mutable {
            if constexpr (WithBytes)
                handler(ec, bytes);
            else
                handler(ec);
        };
    }

    TlsSocketStream* m_stream;
    TlsSocketStream::Io m_io;
    void* m_data;
    std::size_t m_size;
    boost::asio::executor_work_guard<handler_executor_type> m_work;
    Handler m_handler;
};

}  // namespace vexa
