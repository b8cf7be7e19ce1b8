// Small utilities shared by several subsystems. All are reentrant; the
// AES-NI answer is computed once and cached atomically.
#pragma once

#include "Log.h"

#include <openssl/x509.h>

#include <cstdint>
#include <string>

namespace vexa {

// Standard Base64 (RFC 4648) with "=" padding and no line breaks.
std::string convert_to_base64(const uint8_t* data, uint32_t length);
// Decodes the first (length & ~3) characters into out; 1 on success, 0 on
// an invalid character, misplaced padding or data that does not fit.
int convert_from_base64(const std::string& text, uint8_t* out, uint32_t size);

// The 12-character Base64 text of an 8-byte session id (followed by a zero byte).
std::string get_session_id_b64(const uint8_t* session_id);

// 32 bytes as lower-case hex in four blank-separated groups of 16 digits.
std::string xml_hash_to_string(const uint8_t* hash);
std::string xml_signature_to_string(const uint8_t* signature);

// Logs a certificate's printout, without key material, validity and hex dumps.
void print_x509_cert(logger_t& lg, severity_level sev, X509* cert, const std::string& caption);

// True when the processor has AES-NI, PCLMULQDQ and SSSE3 (and the fast
// path is allowed).
bool aes_ni_supported();
// Forbids (false) or allows again (true) the AES-NI path, for a processor
// whose instructions are to be left unused.
void set_aes_ni_allowed(bool allowed);

// Adds change to the Content-Length value of an HTTP-like message; leaves the
// message unchanged when a marker or the number is missing.
void update_http_content_length(std::string& message, int change);

std::string get_build_id();
void vexa_get_build_id(char* buffer /* 256 bytes */);

}  // namespace vexa
