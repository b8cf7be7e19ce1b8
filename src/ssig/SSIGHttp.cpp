#include "SSIGHttp.h"

#include "safe_lib.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace vexa {
namespace ssig {

namespace {

constexpr std::string_view kContentLength = "Content-Length: ";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
// A longer number cannot describe a frame; saturate rather than wrap.
constexpr std::size_t kMaxContentLength = 0xFFFFFFFFu;

}  // namespace

SSIGHttp::SSIGHttp(Type type) : SSIGPacket(m_frame), m_frame{}
{
    assert(type == Type_HTTP_POST || type == Type_HTTP_REPLY);
    set_packet_type(type);
}

std::string_view SSIGHttp::message() const
{
    const char* start = reinterpret_cast<const char*>(m_frame);
    return std::string_view(start, WORD_SIZE + ::strnlen(text(), MAX_PAYLOAD));
}

void SSIGHttp::build_ssig_packet(const char* source)
{
    std::memset(m_frame, 0, sizeof m_frame);
    const std::size_t head = source ? ::strnlen(source, WORD_SIZE) : 0;
    if (head > 0)
        std::memcpy(m_frame, source, head);
    if (head < WORD_SIZE)
        return;
    kavri_strncpy_s(text(), TEXT_SIZE, source + WORD_SIZE, MAX_PAYLOAD);
}

std::size_t SSIGHttp::header_size() const
{
    const std::string_view msg = message();
    const std::size_t end = msg.find(kHeaderEnd);
    if (end == std::string_view::npos)
        return 0;
    const std::size_t field = msg.find(kContentLength, 1);
    if (field == std::string_view::npos || field >= end)
        return 0;
    return end + kHeaderEnd.size();
}

std::size_t SSIGHttp::content_length() const
{
    const std::string_view msg = message();
    const std::size_t field = msg.find(kContentLength, WORD_SIZE);
    if (field == std::string_view::npos)
        return 0;
    std::size_t pos = field + kContentLength.size();
    if (msg.find(kHeaderEnd, pos) == std::string_view::npos)
        return 0;
    while (pos < msg.size() && (msg[pos] == ' ' || msg[pos] == '\t'))
        ++pos;
    std::size_t value = 0;
    for (; pos < msg.size() && msg[pos] >= '0' && msg[pos] <= '9'; ++pos)
        value = std::min(kMaxContentLength, value * 10 + std::size_t(msg[pos] - '0'));
    return value;
}

std::size_t SSIGHttp::packet_size() const
{
    return std::min(header_size() + content_length(), message().size());
}

}  // namespace ssig
}  // namespace vexa
