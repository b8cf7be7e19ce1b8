// Tovik overlay and parse of session tags, thumbprint hashes and rtags.
// Plain reentrant functions over caller-owned buffers; they log through the
// stanza library's log callout and take no lock.
#pragma once

// Writes a 32-byte thumbprint and the flags (bits 0..5) into a version-1
// tag in place; the buffer holds at least 105 bytes and the tag is left at
// exactly 104 characters. A text that is not a tag is left alone (0).
int vexa_util_overlay_tovik_session_tag(char* tag, unsigned char* thumbprint, unsigned short flags);

// Reads the 8-byte session id, the 32-byte thumbprint and the flags of a
// tag; each output may be null (a null flags skips the magic test).
int vexa_util_parse_tovik_session_tag(const char* tag, unsigned char* session_id,
                                      unsigned char* thumbprint, unsigned short* flags);

// out (32 bytes) := SHA-256(data || SHA-256(8 session-id bytes)); -502 for a
// null pointer or len <= 0.
int vexa_calculate_thumbprint_hash(const unsigned char* session_id, const unsigned char* data,
                                   int len, unsigned char* out);

// The tag with the thumbprint of the certificate DER bytes and flags 1
// written into it; out holds at least 129 bytes. 1 on success, 0 (out
// emptied) on failure.
int vexa_generate_rtag(const char* tag, const unsigned char* session_id, const unsigned char* der,
                       int len, char* out);
