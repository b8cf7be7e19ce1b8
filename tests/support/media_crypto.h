// Media datagrams built and checked with OpenSSL's EVP, the independent
// truth for the relay's AES-GCM: nonce = BE32(salt) || header[8..16), AAD =
// header[0..8), 16-byte tag. Plain functions; no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace relay_test {

using bytes = std::vector<unsigned char>;

bytes from_hex(const std::string& hex);
std::string to_hex(const unsigned char* p, size_t n);
inline std::string to_hex(const bytes& b) { return to_hex(b.data(), b.size()); }
std::vector<char> as_key(const bytes& b);

// The datagram (SPI, sequence, IV, ciphertext, tag) for the 16-byte header
// and plaintext, with nonce = BE32(salt) || header[8..16), AAD = header[0..8).
bytes evp_seal(const bytes& key, uint32_t salt, const unsigned char* header, const bytes& plaintext);
// True when EVP accepts the datagram's tag.
bool evp_open(const bytes& key, uint32_t salt, const bytes& datagram, bytes* plaintext = nullptr);

}  // namespace relay_test
