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
