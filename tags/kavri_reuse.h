// Session-tag layout, the tag module's own Base64 codec and the version-1
// field split. Plain reentrant functions over caller-owned buffers; no
// global state, no locks.
#pragma once

#include <cstddef>

// Version-1 session tag: "SCS", a version character, F1 (44 Base64
// characters, 33 bytes), F2 (44, 33) and T (12, 9: the 8-byte session id and
// a zero byte). Characters after the 104th are ignored.
constexpr size_t VEXA_TAG_LENGTH = 104;
constexpr size_t VEXA_TAG_F1_OFFSET = 4;
constexpr size_t VEXA_TAG_F2_OFFSET = 48;
constexpr size_t VEXA_TAG_T_OFFSET = 92;
constexpr size_t VEXA_TAG_FIELD_CHARS = 44;
constexpr size_t VEXA_TAG_FIELD_BYTES = 33;
constexpr size_t VEXA_TAG_T_CHARS = 12;
constexpr size_t VEXA_TAG_T_BYTES = 9;
// The t output of vexa_util_parse_version_1_tag: T's text and zero bytes.
constexpr size_t VEXA_TAG_T_BUFFER = 16;

// Decodes the first len characters (rounded down to a multiple of 4) into
// dst. 0, -500 for a character or padding that is not valid, -507 when dst
// is too small. Reports no byte count.
int vexa_util_convert_from_base64(const char* src, int len, unsigned char* dst, int dst_len);

// Encodes exactly 33 bytes as 44 characters and a NUL; out_len must be at
// least 45, else -507 and nothing is written.
int vexa_util_convert_to_base64(const unsigned char* in, char* out, int out_len);

// Splits a tag that begins with "SCS" (any version character) and has at
// least 104 characters: the first 32 decoded bytes of F1 and F2, and T's
// text followed by zero bytes up to 16. Any output may be null; t holds
// VEXA_TAG_T_BUFFER bytes. -501 (outputs zeroed) for any other text, or the
// decoder's code.
int vexa_util_parse_version_1_tag(const char* tag, unsigned char* f1, unsigned char* f2, char* t);

// True when tag begins with "SCS" and has at least 104 characters.
bool vexa_util_is_scs_tag(const char* tag);
