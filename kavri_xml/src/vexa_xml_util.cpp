// Shared routines of the stanza library; see vexa_xml_util.h.
#include "vexa_xml_util.h"

#include <openssl/crypto.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void xml_util_require_failed(const char* text, const char* file, int line, const char* function)
{
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, text);
    std::fflush(stderr);
    std::abort();
}

void xml_util_log(int level, const char* format, ...)
{
    char text[VEXA_XML_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        return;
    vexa_xml_intern_log_message(level, text);
}

void xml_util_sanitized_copy(const char* text, size_t max, char* out, size_t out_size)
{
    if (out == nullptr || out_size == 0)
        return;
    size_t n = 0;
    if (text != nullptr) {
        const size_t limit = max < out_size - 1 ? max : out_size - 1;
        n = strnlen(text, limit);
        std::memcpy(out, text, n);
    }
    out[n] = '\0';
    vexa_xml_sanitize(out);
}

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void to_hex(const uint8_t* value, size_t bytes, char* out)
{
    for (size_t i = 0; i < bytes; ++i) {
        out[2 * i] = kHexDigits[value[i] >> 4];
        out[2 * i + 1] = kHexDigits[value[i] & 0x0F];
    }
    out[2 * bytes] = '\0';
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Messages of one hex reader: wrong length, and too few pairs parsed.
struct hex_messages {
    const char* length;
    const char* parses;
};

// The received text as it is quoted in a message: sanitised and bounded.
constexpr size_t kQuotedMax = 200;

int from_hex(const char* text, uint8_t* out, size_t bytes, const hex_messages& msg)
{
    char quoted[kQuotedMax + 1];
    const size_t digits = 2 * bytes;
    const size_t length = text == nullptr ? 0 : strnlen(text, VEXA_XML_BUFFER_SIZE);
    if (length != digits) {
        xml_util_sanitized_copy(text, kQuotedMax, quoted, sizeof quoted);
        char head[256];
        std::snprintf(head, sizeof head, msg.length, static_cast<int>(digits),
                      static_cast<int>(length));
        xml_util_log(VEXA_XML_LOG_ERROR, "%s\"%s\"", head, quoted);
        return VEXA_ERR_INVALID_ARGUMENT;
    }
    uint8_t value[32];
    size_t parsed = 0;
    for (; parsed < bytes; ++parsed) {
        const int hi = hex_value(text[2 * parsed]);
        const int lo = hex_value(text[2 * parsed + 1]);
        if (hi < 0 || lo < 0)
            break;
        value[parsed] = static_cast<uint8_t>(hi << 4 | lo);
    }
    if (parsed != bytes) {
        xml_util_sanitized_copy(text, kQuotedMax, quoted, sizeof quoted);
        char head[256];
        std::snprintf(head, sizeof head, msg.parses, static_cast<int>(bytes),
                      static_cast<int>(parsed));
        xml_util_log(VEXA_XML_LOG_ERROR, "%s\"%s\"", head, quoted);
        return VEXA_ERR_INVALID_ARGUMENT;
    }
    std::memcpy(out, value, bytes);
    return VEXA_XML_SUCCESS;
}

const hex_messages kSessionIdMessages = {
    "Hex sessionID string was wrong length, expected %d, received %d, value = ",
    "Hex sessionID string was not valid length, expected %d parses, performed %d, value = "};
const hex_messages kSha256Messages = {
    "Hex SHA-256 string was wrong length, expected %d, received %d, value = ",
    "Hex SHA-256 string was not valid length, expected %d parses, performed %d, value = "};
const hex_messages k128Messages = {
    "Hex string (128 bits) was wrong length, expected %d, received %d, value = ",
    "Hex string (128 bits) was not valid length, expected %d parses, performed %d, value = "};
const hex_messages k256Messages = {
    "Hex string (256 bits) was wrong length, expected %d, received %d, value = ",
    "Hex string (256 bits) was not valid length, expected %d parses, performed %d, value = "};

}  // namespace

void xml_util_session_id_to_hex(const uint8_t* session_id, char* out)
{
    to_hex(session_id, VEXA_XML_SESSION_ID_SIZE, out);
}

void xml_util_sha256_hash_to_hex(const uint8_t* hash, char* out)
{
    to_hex(hash, VEXA_XML_HASH_SIZE, out);
}

void xml_util_128bit_to_hex(const uint8_t* value, char* out)
{
    to_hex(value, 16, out);
}

void xml_util_256bit_to_hex(const uint8_t* value, char* out)
{
    to_hex(value, 32, out);
}

int xml_util_session_id_from_hex(const char* text, uint8_t* session_id)
{
    return from_hex(text, session_id, VEXA_XML_SESSION_ID_SIZE, kSessionIdMessages);
}

int xml_util_sha256_hash_from_hex(const char* text, uint8_t* hash)
{
    return from_hex(text, hash, VEXA_XML_HASH_SIZE, kSha256Messages);
}

int xml_util_128bit_from_hex(const char* text, uint8_t* value)
{
    return from_hex(text, value, 16, k128Messages);
}

int xml_util_256bit_from_hex(const char* text, uint8_t* value)
{
    return from_hex(text, value, 32, k256Messages);
}

bool xml_util_data_is_0(const void* data, size_t length)
{
    const auto* p = static_cast<const uint8_t*>(data);
    uint8_t acc = 0;
    for (size_t i = 0; i < length; ++i)
        acc |= p[i];
    return acc == 0;
}

bool xml_util_hash_is_0(const uint8_t* hash)
{
    return xml_util_data_is_0(hash, VEXA_XML_HASH_SIZE);
}

bool xml_util_session_id_is_0(const uint8_t* session_id)
{
    return xml_util_data_is_0(session_id, VEXA_XML_SESSION_ID_SIZE);
}

bool xml_util_equal_ct(const void* a, const void* b, size_t length)
{
    return CRYPTO_memcmp(a, b, length) == 0;
}

void xml_util_sha256_add(xml_util_sha256* h, const void* data, size_t length)
{
    if (length > 0)
        h->update(&h->ctx, data, length);
}

void xml_util_sha256_add_text(xml_util_sha256* h, const char* text, size_t max)
{
    xml_util_sha256_add(h, text, strnlen(text, max));
}

bool xml_util_sha256_end(xml_util_sha256* h, uint8_t* out)
{
    return h->final(out, &h->ctx) == 1;
}

namespace {

int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

int xml_util_convert_from_base64(const char* src, int len, unsigned char* dst, int dst_len)
{
    if (len <= 0)
        return 0;
    const int n = len & ~3;
    if (n == 0)
        return 0;
    if (src == nullptr || dst == nullptr)
        return VEXA_ERR_INVALID_CONTENT;
    int out = 0;
    for (int g = 0; g < n; g += 4) {
        unsigned bits = 0;
        int pads = 0;
        for (int i = 0; i < 4; ++i) {
            const int pos = g + i;
            const char c = src[pos];
            int v = 0;
            if (c == '=') {
                // Only in the last two positions; a second-last "=" needs a last one.
                if (pos < n - 2 || (pos == n - 2 && src[n - 1] != '='))
                    return VEXA_ERR_INVALID_CONTENT;
                ++pads;
            } else {
                v = base64_value(c);
                if (v < 0)
                    return VEXA_ERR_INVALID_CONTENT;
            }
            bits = bits << 6 | static_cast<unsigned>(v);
        }
        const unsigned char bytes[3] = {static_cast<unsigned char>(bits >> 16),
                                        static_cast<unsigned char>(bits >> 8),
                                        static_cast<unsigned char>(bits)};
        for (int b = 0; b < 3; ++b) {
            if (out >= dst_len) {
                // A padded group may end early, exactly where its data ends.
                if ((b == 1 && pads == 2) || (b == 2 && pads >= 1))
                    return VEXA_XML_SUCCESS;
                return VEXA_ERR_BASE64_SPACE;
            }
            dst[out++] = bytes[b];
        }
    }
    return VEXA_XML_SUCCESS;
}

bool xml_get_known_version(const char* text, unsigned* code)
{
    unsigned dummy = 0;
    unsigned& out = code != nullptr ? *code : dummy;
    out = 0;
    if (text == nullptr)
        return false;
    if (std::strcmp(text, "1.0") == 0) {
        out = VEXA_XML_VERSION_1_0;
        return true;
    }
    if (std::strcmp(text, "1.1") == 0) {
        out = VEXA_XML_VERSION_1_1;
        return true;
    }
    const size_t n = strnlen(text, 7);
    size_t dot = n;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] == '.') {
            if (dot != n)
                return false;  // a second "."
            dot = i;
        } else if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    if (dot == n || dot == 0 || dot + 1 == n || text[0] == '0')
        return false;
    if (text[dot + 1] == '0' && dot + 2 != n)
        return false;  // a minor part with a leading zero
    uint32_t major = 0, minor = 0;
    for (size_t i = 0; i < dot; ++i)
        major = major * 10 + static_cast<uint32_t>(text[i] - '0');
    for (size_t i = dot + 1; i < n; ++i)
        minor = minor * 10 + static_cast<uint32_t>(text[i] - '0');
    // Computed in 32 bits, as the version code always was.
    const uint32_t value = major * 65536u + minor;
    if (value < 0x10002)
        return false;
    out = VEXA_XML_VERSION_ABOVE;
    return true;
}

int xml_util_check_version(const char* text)
{
    if (xml_get_known_version(text, nullptr))
        return VEXA_XML_SUCCESS;
    char shown[VEXA_XML_NAME_SIZE];
    xml_util_sanitized_copy(text, VEXA_XML_NAME_SIZE - 1, shown, sizeof shown);
    xml_util_log(VEXA_XML_LOG_ERROR,
                 "Expecting a version, \"1.0\", \"1.1\", or greater than or equal to \"1.1\". "
                 "Got %s",
                 shown);
    return VEXA_ERR_INVALID_ARGUMENT;
}

namespace {

// Digits of one base up to the NUL; false on any other character or a
// value above limit.
bool parse_digits(const char* s, unsigned base, uint64_t limit, uint64_t* value)
{
    if (*s == '\0')
        return false;
    uint64_t v = 0;
    for (; *s != '\0'; ++s) {
        unsigned d;
        if (*s >= '0' && *s <= '9')
            d = static_cast<unsigned>(*s - '0');
        else if (*s >= 'a' && *s <= 'f')
            d = static_cast<unsigned>(*s - 'a' + 10);
        else if (*s >= 'A' && *s <= 'F')
            d = static_cast<unsigned>(*s - 'A' + 10);
        else
            return false;
        if (d >= base)
            return false;
        if (v > (limit - d) / base)
            return false;
        v = v * base + d;
    }
    *value = v;
    return true;
}

constexpr uint64_t kNumberLimit = 0xFFFFFFFFull;

}  // namespace

bool xml_util_parse_c_unsigned(const char* text, uint64_t* value)
{
    if (text == nullptr || *text == '\0')
        return false;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return parse_digits(text + 2, 16, kNumberLimit, value);
    if (text[0] == '0') {
        if (text[1] == '\0') {
            *value = 0;
            return true;
        }
        return parse_digits(text + 1, 8, kNumberLimit, value);
    }
    return parse_digits(text, 10, kNumberLimit, value);
}

bool xml_util_parse_fail_code(const char* text, uint32_t* code)
{
    if (text == nullptr)
        return false;
    uint64_t v = 0;
    if (text[0] == '-') {
        // Only what %d prints for an int32: a magnitude up to 2^31.
        if (!parse_digits(text + 1, 10, 0x80000000ull, &v))
            return false;
        *code = static_cast<uint32_t>(0x100000000ull - v);
        return true;
    }
    if (!parse_digits(text, 10, kNumberLimit, &v))
        return false;
    *code = static_cast<uint32_t>(v);
    return true;
}

bool xml_util_text_field_ok(const char* field, size_t size, size_t max, int* length)
{
    const size_t n = strnlen(field, size);
    *length = static_cast<int>(n);
    return n >= 1 && n <= max && n < size;
}

void xml_util_text_init(xml_util_text* t)
{
    t->buf[0] = '\0';
    t->len = 0;
    t->overflow = false;
}

namespace {

void text_add_bytes(xml_util_text* t, const char* s, size_t n)
{
    if (t->overflow || n >= sizeof t->buf - t->len) {
        t->overflow = true;
        return;
    }
    std::memcpy(t->buf + t->len, s, n);
    t->len += n;
    t->buf[t->len] = '\0';
}

}  // namespace

void xml_util_text_add(xml_util_text* t, const char* s)
{
    text_add_bytes(t, s, std::strlen(s));
}

void xml_util_text_addf(xml_util_text* t, const char* format, ...)
{
    if (t->overflow)
        return;
    const size_t room = sizeof t->buf - t->len;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(t->buf + t->len, room, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= room) {
        t->buf[t->len] = '\0';
        t->overflow = true;
        return;
    }
    t->len += static_cast<size_t>(n);
}

void xml_util_text_add_escaped(xml_util_text* t, const char* s, size_t max)
{
    const size_t n = strnlen(s, max);
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        const char* entity = nullptr;
        switch (s[i]) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '"': entity = "&quot;"; break;
        case '\t': entity = "&#9;"; break;
        case '\n': entity = "&#10;"; break;
        case '\r': entity = "&#13;"; break;
        default: continue;
        }
        text_add_bytes(t, s + start, i - start);
        xml_util_text_add(t, entity);
        start = i + 1;
    }
    text_add_bytes(t, s + start, n - start);
}
