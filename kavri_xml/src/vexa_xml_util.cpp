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
