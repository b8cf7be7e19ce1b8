// Test helpers for the AES-GCM engines and the media relay: the EVP
// datagram helpers (media_crypto.h) and a log sink that captures records
// with their attributes.
#pragma once

#include "Log.h"
#include "media_crypto.h"

#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace relay_test {

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
