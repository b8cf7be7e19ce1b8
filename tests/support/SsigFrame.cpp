#include "SsigFrame.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace kavri_test {

namespace {

void put32(std::string& out, uint32_t v)
{
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

uint32_t get32(const std::string& s, std::size_t at)
{
    if (at + 4 > s.size())
        return 0;
    const auto b = [&](std::size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])); };
    return (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
}

uint32_t type_word(const std::string& type)
{
    std::string t = type;
    t.resize(4, '\0');
    return get32(t, 0);
}

std::string length_field(std::size_t body_size, std::optional<long> content_length)
{
    char field[32];
    std::snprintf(field, sizeof field, "%4ld",
                  content_length ? *content_length : static_cast<long>(body_size));
    return field;
}

}  // namespace

std::optional<std::size_t> SsigFrame::content_length() const
{
    const std::string key = "Content-Length:";
    const std::size_t at = header.find(key);
    if (at == std::string::npos)
        return std::nullopt;
    std::size_t p = at + key.size();
    while (p < header.size() && header[p] == ' ')
        ++p;
    std::size_t value = 0;
    bool digits = false;
    for (; p < header.size() && std::isdigit(static_cast<unsigned char>(header[p])); ++p) {
        value = value * 10 + static_cast<std::size_t>(header[p] - '0');
        digits = true;
    }
    if (!digits)
        return std::nullopt;
    return value;
}

uint32_t SsigFrame::tlv_length() const
{
    return get32(bytes, 4);
}

uint32_t SsigFrame::tlv_command() const
{
    return get32(bytes, 16);
}

std::vector<SsigFrame::Element> SsigFrame::tlv_elements() const
{
    std::vector<Element> out;
    std::size_t at = 20;
    while (at + 8 <= bytes.size()) {
        const std::string type = bytes.substr(at, 4);
        const std::size_t length = get32(bytes, at + 4);
        if (at + 8 + length > bytes.size())
            break;
        out.emplace_back(type, bytes.substr(at + 8, length));
        at += 8 + ((length + 3) / 4) * 4;
    }
    return out;
}

std::string SsigFrame::tlv(uint32_t command, const std::vector<Element>& elements,
                           std::optional<uint32_t> length, const std::string& command_type)
{
    std::string body;
    put32(body, type_word(command_type));
    put32(body, 4);
    put32(body, command);
    for (const auto& e : elements) {
        put32(body, type_word(e.first));
        put32(body, static_cast<uint32_t>(e.second.size()));
        body += e.second;
        body.append((4 - e.second.size() % 4) % 4, '\0');
    }
    std::string out;
    put32(out, 0);
    put32(out, length ? *length : static_cast<uint32_t>(body.size()));
    return out + body;
}

std::string SsigFrame::tlv_of_length(uint32_t length)
{
    std::string out = tlv(PING, {}, length);
    if (length > 20) {
        // A filler element whose value, unpadded, ends the body exactly.
        put32(out, type_word("fill"));
        put32(out, length - 20);
    }
    out.resize(8 + length, 'f');
    return out;
}

std::string SsigFrame::post(const std::string& body, std::optional<long> content_length,
                            std::size_t header_padding)
{
    std::string header = "POST /kavri-client HTTP/1.0\r\nFrom: kavri-test-client@127.0.0.1\r\n"
                         "User-Agent: KavriClient/1.0\r\nContent-Type: text/xml\r\n";
    if (header_padding > 0)
        header += "X-Padding: " + std::string(header_padding, 'p') + "\r\n";
    header += "Content-Length: " + length_field(body.size(), content_length) + "\r\n\r\n";
    return header + body;
}

std::string SsigFrame::reply(const std::string& body, std::optional<long> content_length)
{
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    gmtime_r(&now, &t);
    char date[40];
    std::snprintf(date, sizeof date, "%3s, %2d %3s %4d %02d:%02d:%02d GMT", days[t.tm_wday], t.tm_mday,
                  months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return std::string("HTTP/1.0 200 OK\r\nDate: ") + date +
           "\r\nContent-Type: text/xml\r\nContent-Length: " +
           length_field(body.size(), content_length) + "\r\n\r\n" + body;
}

std::optional<SsigFrame> SsigFrame::read(TlsStream& stream, TlsStream::ms timeout)
{
    const auto deadline = TlsStream::clock::now() + timeout;
    SsigFrame f;
    if (!stream.read_exact(4, f.bytes, deadline))
        return std::nullopt;
    if (f.bytes == std::string(4, '\0')) {
        f.kind = Kind::Tlv;
        if (!stream.read_exact(4, f.bytes, deadline))
            return std::nullopt;
        const uint32_t length = get32(f.bytes, 4);
        if (length > (1u << 20) || !stream.read_exact(length, f.bytes, deadline))
            return std::nullopt;
        f.body = f.bytes.substr(8);
        return f;
    }
    if (f.bytes != "POST" && f.bytes != "HTTP")
        return f;
    f.kind = f.bytes == "POST" ? Kind::Post : Kind::Reply;
    if (!stream.read_until("\r\n\r\n", 8192, f.bytes, deadline))
        return std::nullopt;
    f.header = f.bytes;
    const auto length = f.content_length();
    if (!length || *length > (1u << 20) || !stream.read_exact(*length, f.bytes, deadline))
        return std::nullopt;
    f.body = f.bytes.substr(f.header.size());
    return f;
}

}  // namespace kavri_test
