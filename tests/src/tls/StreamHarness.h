// One TLS stream under test on one end of a loopback TCP connection, the
// other end's descriptor left to the test (usually for a RawTlsPeer). The
// stream is Asio's own TLS stream or the gateway's TlsSocketStream (the
// Kind), driven the way the legs drive theirs: every operation started and
// completed on one strand of a multi-threaded io_context. Each operation
// hands back a future, which the test waits for with a bound.
//
// Threads: the test thread starts operations (they are posted to the
// strand) and waits on futures; the io_context's threads run them.
#pragma once

#include "IoThreads.h"
#include "TlsSocketStream.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace kavri_test {

using tcp = boost::asio::ip::tcp;
using strand_type = boost::asio::strand<boost::asio::io_context::executor_type>;

// Today's stream of the legs.
struct AsioKind {
    using stream_type = boost::asio::ssl::stream<tcp::socket&>;
    static std::unique_ptr<stream_type> make(tcp::socket& socket, boost::asio::ssl::context& ctx, const strand_type&)
    {
        return std::make_unique<stream_type>(socket, ctx);
    }
    static void close(stream_type& stream)
    {
        boost::system::error_code ignored;
        stream.lowest_layer().close(ignored);
    }
};

// The gateway's own.
struct OwnKind {
    using stream_type = vexa::TlsSocketStream;
    static std::unique_ptr<stream_type> make(tcp::socket& socket, boost::asio::ssl::context& ctx,
                                             const strand_type& strand)
    {
        return std::make_unique<stream_type>(socket, ctx, strand);
    }
    static void close(stream_type& stream)
    {
        boost::system::error_code ignored;
        stream.close(ignored);
    }
};

// A connected loopback TCP pair with Nagle off on both ends.
inline std::pair<int, int> tcp_pair()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("loopback listener");
    const int a = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(a, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("loopback connect");
    const int b = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    const int one = 1;
    ::setsockopt(a, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(b, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return {a, b};
}

struct StreamResult {
    boost::system::error_code ec;
    std::size_t bytes = 0;
    std::string data;
};

template <typename Kind>
class StreamHarness {
public:
    using stream_type = typename Kind::stream_type;
    using ms = std::chrono::milliseconds;
    using result_future = std::future<StreamResult>;

    // ctx: the stream's context (it outlives the harness). The stream is on
    // one end of a new TCP pair; peer_fd is the other.
    explicit StreamHarness(boost::asio::ssl::context& ctx)
    {
        const auto fds = tcp_pair();
        socket.assign(tcp::v4(), fds.first);
        peer_fd = fds.second;
        stream = Kind::make(socket, ctx, strand);
    }
    // The stream on fd, a connected socket it takes over.
    StreamHarness(boost::asio::ssl::context& ctx, int fd)
    {
        socket.assign(tcp::v4(), fd);
        stream = Kind::make(socket, ctx, strand);
    }
    ~StreamHarness()
    {
        close();
        threads.stop();
        if (peer_fd >= 0)
            ::close(peer_fd);
    }
    StreamHarness(const StreamHarness&) = delete;
    StreamHarness& operator=(const StreamHarness&) = delete;

    // The peer's descriptor, handed over (the harness no longer closes it).
    int take_peer_fd() { return std::exchange(peer_fd, -1); }

    // Runs f on the strand and waits for it to return.
    template <typename F>
    void on_strand(F f)
    {
        std::promise<void> done;
        boost::asio::post(strand, [&] {
            f();
            done.set_value();
        });
        done.get_future().wait();
    }

    result_future handshake(boost::asio::ssl::stream_base::handshake_type type)
    {
        auto p = std::make_shared<std::promise<StreamResult>>();
        boost::asio::post(strand, [this, p, type] {
            stream->async_handshake(type, boost::asio::bind_executor(strand, [p](const boost::system::error_code& ec) {
                                        p->set_value(StreamResult{ec, 0, {}});
                                    }));
        });
        return p->get_future();
    }

    // async_read of exactly n bytes.
    result_future read_exact(std::size_t n)
    {
        auto p = std::make_shared<std::promise<StreamResult>>();
        auto buffer = std::make_shared<std::string>(n, '\0');
        boost::asio::post(strand, [this, p, buffer] {
            boost::asio::async_read(*stream, boost::asio::buffer(*buffer),
                                    boost::asio::bind_executor(strand, [p, buffer](const boost::system::error_code& ec,
                                                                                   std::size_t bytes) {
                                        p->set_value(StreamResult{ec, bytes, buffer->substr(0, bytes)});
                                    }));
        });
        return p->get_future();
    }

    // async_read_until into the harness's stream buffer; data is all the
    // buffer holds afterwards (the delimiter may be followed by more).
    result_future read_until(const std::string& delimiter, std::size_t limit = 4096)
    {
        auto p = std::make_shared<std::promise<StreamResult>>();
        boost::asio::post(strand, [this, p, delimiter, limit] {
            header = std::make_unique<boost::asio::streambuf>(limit);
            boost::asio::async_read_until(
                *stream, *header, delimiter,
                boost::asio::bind_executor(strand, [this, p](const boost::system::error_code& ec, std::size_t bytes) {
                    const auto d = header->data();
                    p->set_value(StreamResult{
                        ec, bytes, std::string(boost::asio::buffers_begin(d), boost::asio::buffers_end(d))});
                }));
        });
        return p->get_future();
    }

    result_future write(const std::string& bytes)
    {
        auto p = std::make_shared<std::promise<StreamResult>>();
        auto buffer = std::make_shared<std::string>(bytes);
        boost::asio::post(strand, [this, p, buffer] {
            boost::asio::async_write(*stream, boost::asio::buffer(*buffer),
                                     boost::asio::bind_executor(strand, [p, buffer](const boost::system::error_code& ec,
                                                                                    std::size_t n) {
                                         p->set_value(StreamResult{ec, n, {}});
                                     }));
        });
        return p->get_future();
    }

    // Closes the socket on the strand.
    void close()
    {
        on_strand([this] { Kind::close(*stream); });
    }

    // The result within timeout, or none.
    static std::optional<StreamResult> get(result_future& f, ms timeout = ms(5000))
    {
        if (f.wait_for(timeout) != std::future_status::ready)
            return std::nullopt;
        return f.get();
    }
    static bool pending(result_future& f, ms wait)
    {
        return f.wait_for(wait) != std::future_status::ready;
    }

    IoThreads threads{2};
    strand_type strand{boost::asio::make_strand(threads.io)};
    tcp::socket socket{threads.io};
    std::unique_ptr<stream_type> stream;
    std::unique_ptr<boost::asio::streambuf> header;
    int peer_fd = -1;
};

}  // namespace kavri_test
