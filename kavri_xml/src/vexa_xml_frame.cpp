// Headers, classification and the two fixed stanzas.
#include "vexa_xml_frame.h"

#include "vexa_xml_util.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The sender address of the POST header: exactly 25 characters.
constexpr char kFromAddress[] = "security-gateway@kavri.sg";
static_assert(sizeof kFromAddress - 1 == 25, "the From field is 25 characters");

constexpr char kPostHeader[] =
    "POST /kavri-client HTTP/1.0\r\nFrom: security-gateway@kavri.sg\r\n"
    "User-Agent: KavriClient/1.0\r\nContent-Type: text/xml\r\nContent-Length:    0\r\n\r\n";
static_assert(sizeof kPostHeader - 1 == VEXA_XML_POST_HEADER_SIZE, "POST header layout");
constexpr size_t kPostLengthField = 131;

constexpr char kReplyHead[] = "HTTP/1.0 200 OK\r\nDate: ";
constexpr char kReplyTail[] = "\r\nContent-Type: text/xml\r\nContent-Length:    0\r\n\r\n";
constexpr size_t kDateOffset = sizeof kReplyHead - 1;
constexpr size_t kDateLength = 29;
static_assert(kDateOffset + kDateLength + sizeof kReplyTail - 1 == VEXA_XML_REPLY_HEADER_SIZE,
              "reply header layout");
constexpr size_t kReplyLengthField = 94;

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The end of the searchable text that starts at pos: its first NUL, or len.
size_t text_end(const char* buf, size_t len, size_t pos)
{
    if (pos >= len)
        return pos;
    const void* nul = std::memchr(buf + pos, '\0', len - pos);
    return nul == nullptr ? len : static_cast<size_t>(static_cast<const char*>(nul) - buf);
}

// Offset of needle in [pos, first NUL or len), or len when absent.
size_t find(const char* buf, size_t len, size_t pos, const char* needle)
{
    const size_t end = text_end(buf, len, pos);
    const size_t n = std::strlen(needle);
    if (pos >= end || end - pos < n)
        return len;
    const void* hit = memmem(buf + pos, end - pos, needle, n);
    return hit == nullptr ? len : static_cast<size_t>(static_cast<const char*>(hit) - buf);
}

bool starts_with(const char* buf, size_t len, size_t pos, const char* prefix)
{
    const size_t n = std::strlen(prefix);
    return pos <= len && len - pos >= n && std::memcmp(buf + pos, prefix, n) == 0;
}

// The stanza type named right behind a "<" at pos (prefix comparison, and
// "REJECTED" before "REJECT").
eVEXA_XML_TYPE type_by_name(const char* buf, size_t len, size_t pos)
{
    const size_t end = text_end(buf, len, pos);
    if (starts_with(buf, end, pos, "REJECTED"))
        return VEXA_XML_TYPE_REJECTED;
    if (starts_with(buf, end, pos, "VERSION"))
        return VEXA_XML_TYPE_VERSION;
    if (starts_with(buf, end, pos, "REJECT"))
        return VEXA_XML_TYPE_REJECT;
    if (starts_with(buf, end, pos, "HELLO"))
        return VEXA_XML_TYPE_HELLO;
    if (starts_with(buf, end, pos, "FAIL"))
        return VEXA_XML_TYPE_FAIL;
    return VEXA_XML_TYPE_UNKNOWN_KAVRI;
}

void copy_outputs(const char* header, size_t header_len, const char* body, size_t body_len,
                  char* full, char* body_out)
{
    if (full != nullptr) {
        std::memcpy(full, header, header_len);
        std::memcpy(full + header_len, body, body_len);
        full[header_len + body_len] = '\0';
    }
    if (body_out != nullptr) {
        std::memcpy(body_out, body, body_len);
        body_out[body_len] = '\0';
    }
}

}  // namespace

int vexa_xml_header_get_type(const char* buf, size_t len, int* framing_out,
                             eVEXA_XML_TYPE* type_out, const char** xml_out)
{
    int framing = VEXA_XML_FRAMING_NONE;
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    const char* xml = nullptr;
    auto set_framing = [&framing](int f) {
        if (framing == VEXA_XML_FRAMING_NONE)
            framing = f;
    };
    auto finish = [&]() {
        if (framing_out != nullptr)
            *framing_out = framing;
        if (type_out != nullptr)
            *type_out = type;
        if (xml_out != nullptr)
            *xml_out = xml;
        return 0;
    };

    if (buf == nullptr || len <= 4)
        return finish();

    size_t stanza = len;
    if (starts_with(buf, len, 0, "<KAVRI>")) {
        set_framing(VEXA_XML_FRAMING_XML);
        stanza = 0;
    } else {
        size_t offset = 0;
        bool http_like = false;
        if (buf[0] == 0 && buf[1] == 0 && buf[2] == 0 && buf[3] == 0) {
            if (len < 9)
                return finish();
            set_framing(VEXA_XML_FRAMING_TLV);
            const auto* b = reinterpret_cast<const unsigned char*>(buf);
            const uint32_t tlv = static_cast<uint32_t>(b[4]) << 24 |
                                 static_cast<uint32_t>(b[5]) << 16 |
                                 static_cast<uint32_t>(b[6]) << 8 | b[7];
            offset = tlv >= 1 && tlv <= 4088 ? 8 : 0;
            http_like = starts_with(buf, len, offset, "GET") || starts_with(buf, len, offset, "PUT");
        } else {
            http_like = starts_with(buf, len, 0, "HTTP") || starts_with(buf, len, 0, "POST") ||
                        starts_with(buf, len, 0, "GET") || starts_with(buf, len, 0, "PUT");
        }
        size_t pos = offset;
        if (http_like) {
            set_framing(VEXA_XML_FRAMING_HTTP);
            if (len <= offset + 22)
                return finish();
            // The header markers are looked for in the header only, so that a
            // body text naming them cannot move the stanza search past the stanza.
            const size_t from = offset + 4;
            const size_t blank = find(buf, len, from, "\r\n\r\n");
            const size_t header_end = blank == len ? len : blank + 4;
            size_t http = find(buf, header_end, from, "HTTP/1");
            if (http == header_end)
                http = len;
            size_t cl = find(buf, header_end, http != len ? http : from, "Content-Length:");
            if (cl == header_end)
                cl = len;
            pos = cl != len ? cl : (http != len ? http : from);
        }
        if (len <= pos + 7)
            return finish();
        const size_t start = find(buf, len, pos, "<KAVRI");
        if (start == len || find(buf, len, start + 6, ">") == len)
            return finish();
        set_framing(VEXA_XML_FRAMING_XML);
        stanza = start;
    }

    type = VEXA_XML_TYPE_UNKNOWN_KAVRI;
    xml = buf + stanza;
    if (stanza + 11 < len) {
        const size_t lt = find(buf, len, stanza + 3, "<");
        if (lt != len)
            type = type_by_name(buf, len, lt + 1);
    }
    return finish();
}

void xml_intern_format_date(time_t now, char* out)
{
    struct tm tm_utc;
    if (gmtime_r(&now, &tm_utc) == nullptr || tm_utc.tm_year + 1900 > 9999 ||
        tm_utc.tm_year + 1900 < 0) {
        std::memcpy(out, "Thu,  1 Jan 1970 00:00:00 GMT", kDateLength + 1);
        return;
    }
    std::snprintf(out, kDateLength + 1, "%3s, %2u %3s %4u %02u:%02u:%02u GMT",
                  kWeekdays[tm_utc.tm_wday % 7], static_cast<unsigned>(tm_utc.tm_mday),
                  kMonths[tm_utc.tm_mon % 12], static_cast<unsigned>(tm_utc.tm_year + 1900),
                  static_cast<unsigned>(tm_utc.tm_hour), static_cast<unsigned>(tm_utc.tm_min),
                  static_cast<unsigned>(tm_utc.tm_sec));
}

int xml_intern_frame_stanza(const char* caller, int reply_form, time_t now, const char* body,
                            size_t body_len, char* full, char* body_out)
{
    if (body_len > VEXA_XML_MAX_BODY) {
        xml_util_log(VEXA_XML_LOG_ERROR, "(%s) -- stanza body of %zu bytes is over %zu bytes",
                     caller, body_len, VEXA_XML_MAX_BODY);
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    char header[VEXA_XML_POST_HEADER_SIZE + 1];
    size_t header_len;
    size_t field;
    if (reply_form != 0) {
        char date[kDateLength + 1];
        xml_intern_format_date(now, date);
        std::memcpy(header, kReplyHead, kDateOffset);
        std::memcpy(header + kDateOffset, date, kDateLength);
        std::memcpy(header + kDateOffset + kDateLength, kReplyTail, sizeof kReplyTail);
        header_len = VEXA_XML_REPLY_HEADER_SIZE;
        field = kReplyLengthField;
    } else {
        std::memcpy(header, kPostHeader, sizeof kPostHeader);
        header_len = VEXA_XML_POST_HEADER_SIZE;
        field = kPostLengthField;
    }
    char length[5];
    std::snprintf(length, sizeof length, "%4d", static_cast<int>(body_len));
    std::memcpy(header + field, length, 4);
    copy_outputs(header, header_len, body, body_len, full, body_out);
    return VEXA_XML_SUCCESS;
}

int vexa_xml_create_reject(char* full, char* body)
{
    static constexpr char kBody[] = "<KAVRI><REJECT /></KAVRI>";
    return xml_intern_frame_stanza("vexa_xml_create_reject", 0, 0, kBody, sizeof kBody - 1, full,
                                   body);
}

int vexa_xml_create_rejected(char* full, char* body)
{
    static constexpr char kBody[] = "<KAVRI><REJECTED /></KAVRI>";
    return xml_intern_frame_stanza("vexa_xml_create_rejected", 1, time(nullptr), kBody,
                                   sizeof kBody - 1, full, body);
}
