// Test helpers for the AES-GCM engines and the media relay: datagrams built
// and checked with OpenSSL's EVP (the independent truth), hex conversion, and
// a log sink that captures records with their attributes.
#pragma once

#include "Log.h"

#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <mutex>
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

bool cpu_has_aes_ni();

struct Captured {
    int severity;
    std::string message;
    std::string session_log_id;
    std::string udp_client_endpoint;
    std::string udp_server_endpoint;
};

// Collects every record while installed; thread-safe.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<Captured> records() const;
    // Records whose message contains text.
    std::vector<Captured> find(const std::string& text) const;
    size_t count(const std::string& text) const { return find(text).size(); }
    void clear();

private:
    class Backend;
    boost::shared_ptr<Backend> backend;
    boost::shared_ptr<boost::log::sinks::synchronous_sink<Backend>> sink;
};

}  // namespace relay_test
