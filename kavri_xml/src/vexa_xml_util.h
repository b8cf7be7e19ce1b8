// Small routines shared inside the stanza library and by the tag module:
// message formatting, hex texts, zero tests, the SHA-256 callouts, version
// texts, strict numbers and attribute escaping. All are reentrant and work
// on caller-owned buffers; no locks.
#pragma once

#include "vexa_xml.h"

#include <cstddef>
#include <cstdint>

// An always-on check of a programming error: prints the text in the form of
// a failed assertion and aborts, whatever NDEBUG says.
[[noreturn]] void xml_util_require_failed(const char* text, const char* file, int line,
                                          const char* function);
#define VEXA_XML_REQUIRE(cond, text)                                         \
    do {                                                                     \
        if (!(cond))                                                         \
            xml_util_require_failed((text), __FILE__, __LINE__, __func__);   \
    } while (0)

// Formats into a VEXA_XML_BUFFER_SIZE buffer (cutting what does not fit) and
// logs it through vexa_xml_intern_log_message.
void xml_util_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Copies at most max characters of text into out (out_size bytes, NUL
// terminated, cut to fit) and sanitises the copy. A null text gives "".
void xml_util_sanitized_copy(const char* text, size_t max, char* out, size_t out_size);

// Hex texts: lower-case output, input checked digit by digit (either case).
void xml_util_session_id_to_hex(const uint8_t* session_id, char* out /* 17 */);
void xml_util_sha256_hash_to_hex(const uint8_t* hash, char* out /* 65 */);
void xml_util_128bit_to_hex(const uint8_t* value, char* out /* 33 */);
void xml_util_256bit_to_hex(const uint8_t* value, char* out /* 65 */);
int xml_util_session_id_from_hex(const char* text, uint8_t* session_id);
int xml_util_sha256_hash_from_hex(const char* text, uint8_t* hash);
int xml_util_128bit_from_hex(const char* text, uint8_t* value);
int xml_util_256bit_from_hex(const char* text, uint8_t* value);

bool xml_util_data_is_0(const void* data, size_t length);
bool xml_util_hash_is_0(const uint8_t* hash);
bool xml_util_session_id_is_0(const uint8_t* session_id);

// Constant-time equality of two byte ranges of one length.
bool xml_util_equal_ct(const void* a, const void* b, size_t length);

// SHA-256 through the callouts of vexa_xml_init. begin fails (logged at
// level 1, caller names itself) when the library is not initialised.
struct xml_util_sha256 {
    SHA256_CTX ctx;
    int (*init)(SHA256_CTX*);
    int (*update)(SHA256_CTX*, const void*, size_t);
    int (*final)(unsigned char*, SHA256_CTX*);
};
bool xml_util_sha256_begin(xml_util_sha256* h, const char* caller);
void xml_util_sha256_add(xml_util_sha256* h, const void* data, size_t length);
// Adds the text up to its NUL, at most max characters.
void xml_util_sha256_add_text(xml_util_sha256* h, const char* text, size_t max);
bool xml_util_sha256_end(xml_util_sha256* h, uint8_t* out /* 32 */);

// The stanza library's Base64 decoder (the tag module uses the same rules):
// the first len characters rounded down to a multiple of 4; 0, -500 or -507.
int xml_util_convert_from_base64(const char* src, int len, unsigned char* dst, int dst_len);

// Version texts: "1.0" 0x10000, "1.1" 0x10001, any valid version above 1.1
// 0x99999999. False (code 0) for anything that is not a version.
constexpr unsigned VEXA_XML_VERSION_1_0 = 0x10000;
constexpr unsigned VEXA_XML_VERSION_1_1 = 0x10001;
constexpr unsigned VEXA_XML_VERSION_ABOVE = 0x99999999;
bool xml_get_known_version(const char* text, unsigned* code);
// 0 for a valid version text, else -501 (logged).
int xml_util_check_version(const char* text);

// Strict numbers: the whole text must be the number, no blanks or sign.
// Unsigned in C notation (decimal, hex after "0x", octal after a leading 0).
bool xml_util_parse_c_unsigned(const char* text, uint64_t* value);
// A FAIL code: decimal digits, or "-" and digits as printed by %d from an
// int32; the result is the 32-bit pattern.
bool xml_util_parse_fail_code(const char* text, uint32_t* code);

// A length-checked text field: 1..max characters before a NUL inside size.
bool xml_util_text_field_ok(const char* field, size_t size, size_t max, int* length);

// A text built in a fixed buffer. Appends that do not fit set overflow and
// leave the text as it was before them.
struct xml_util_text {
    char buf[VEXA_XML_BUFFER_SIZE];
    size_t len;
    bool overflow;
};
void xml_util_text_init(xml_util_text* t);
void xml_util_text_add(xml_util_text* t, const char* s);
void xml_util_text_addf(xml_util_text* t, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Appends an attribute value with &, <, >, " and tab, LF, CR escaped.
void xml_util_text_add_escaped(xml_util_text* t, const char* s, size_t max);
