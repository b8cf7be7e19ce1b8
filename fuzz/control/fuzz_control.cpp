// Feeds arbitrary bytes through the control channel's input framing (the
// same delimited reads on a 4096-byte stream buffer, in segments of varying
// size), the header tokens and the command parser; every parsed value must
// come back unchanged from a reply and from both notifications, which is
// what the escaping promises a broker.
#include "ControlCommand.h"
#include "ControlHeader.h"
#include "ControlMessage.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

// A synchronous stream over the input, handing out at most `segment` bytes
// per read as a socket would.
class MemoryStream {
public:
    MemoryStream(const uint8_t* data, std::size_t size, std::size_t segment)
        : m_data(data), m_size(size), m_segment(segment)
    {
    }

    template <class MutableBuffers>
    std::size_t read_some(const MutableBuffers& buffers, boost::system::error_code& ec)
    {
        if (m_pos == m_size) {
            ec = boost::asio::error::eof;
            return 0;
        }
        ec = {};
        std::size_t done = 0;
        for (auto it = boost::asio::buffer_sequence_begin(buffers);
             it != boost::asio::buffer_sequence_end(buffers) && m_pos < m_size; ++it) {
            boost::asio::mutable_buffer b = *it;
            const std::size_t n = std::min({b.size(), m_size - m_pos, m_segment - done});
            std::memcpy(b.data(), m_data + m_pos, n);
            m_pos += n;
            done += n;
            if (done == m_segment)
                break;
        }
        return done;
    }
    template <class MutableBuffers>
    std::size_t read_some(const MutableBuffers& buffers)
    {
        boost::system::error_code ec;
        return read_some(buffers, ec);
    }

private:
    const uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_segment;
    std::size_t m_pos = 0;
};

std::string take(boost::asio::streambuf& in, std::size_t n)
{
    const auto begin = boost::asio::buffers_begin(in.data());
    std::string s(begin, begin + static_cast<std::ptrdiff_t>(n));
    in.consume(n);
    return s;
}

bool all_space(const std::string& v)
{
    return v.find_first_not_of(" \t\r\n") == std::string::npos;
}

void check_round_trip(const vexa::ControlCommand& command)
{
    std::map<std::string, std::string> entries;
    int i = 0;
    for (const auto& p : command.params) {
        // The parser drops text that is only white space.
        if (all_space(p.second))
            continue;
        const std::string key = "p" + std::to_string(i++);
        entries[key] = p.second;

        const std::string closed = vexa::control_message::closed_body(p.second, p.second);
        if (closed.size() <= vexa::ControlCommand::MAX_DOCUMENT) {
            const auto back = vexa::ControlCommand::parse(closed.data(), closed.size());
            if (back.name != "connection-closed" || back.params.at("connection-id") != p.second ||
                back.params.at("reason") != p.second)
                std::abort();
        }
        const std::string state = vexa::control_message::state_changed_body(p.second, p.second, "ACTIVE");
        if (state.size() <= vexa::ControlCommand::MAX_DOCUMENT) {
            const auto back = vexa::ControlCommand::parse(state.data(), state.size());
            if (back.params.at("session-id") != p.second)
                std::abort();
        }
    }
    const std::string reply = vexa::control_message::reply_body("reply", entries);
    if (reply.size() > vexa::ControlCommand::MAX_DOCUMENT)
        return;
    const auto back = vexa::ControlCommand::parse(reply.data(), reply.size());
    if (back.name != "reply" || back.params != entries)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the segment size and whether the stream is TLS.
    const bool tls = data[0] & 0x80;
    MemoryStream stream(data + 1, size - 1, (data[0] & 0x7f) + 1);
    boost::asio::streambuf input(4096);
    bool no_known_token_yet = true;

    for (;;) {
        boost::system::error_code ec;
        std::size_t n = boost::asio::read_until(stream, input, std::string("\n"), ec);
        if (ec == boost::asio::error::not_found) {
            input.consume(input.size());
            continue;
        }
        if (ec)
            return 0;
        std::string line = take(input, n);
        line.pop_back();
        const vexa::ControlHeader header = vexa::ControlHeader::parse(line, no_known_token_yet, tls);
        if (header.bad)
            return 0;
        if (!header.protocol_seen)
            continue;

        n = boost::asio::read_until(stream, input, std::string("</kavri-sg>"), ec);
        if (ec == boost::asio::error::not_found) {
            input.consume(input.size());
            continue;
        }
        if (ec)
            return 0;
        const std::string document = take(input, n);
        if (document.size() < 11 || document.compare(document.size() - 11, 11, "</kavri-sg>") != 0)
            std::abort();
        try {
            check_round_trip(vexa::ControlCommand::parse(document.data(), document.size()));
        } catch (const std::exception&) {
        }
    }
}
