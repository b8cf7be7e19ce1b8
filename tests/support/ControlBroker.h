// A scripted broker for tests of the control channel: connects over TCP or
// TLS, sends commands and reads framed messages (header line, then LENGTH
// bytes); every wait is bounded. One thread uses one broker.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct BrokerMessage {
    std::string raw;     // header line and body, as received
    std::string header;  // the header line without its CR LF
    std::string id;
    std::optional<std::string> reply_id;
    std::size_t length = 0;
    std::string body;
};

class ControlBroker {
public:
    using params_t = std::vector<std::pair<std::string, std::string>>;
    static constexpr std::chrono::milliseconds DEFAULT_TIMEOUT{5000};

    ControlBroker() = default;
    ~ControlBroker();
    ControlBroker(const ControlBroker&) = delete;
    ControlBroker& operator=(const ControlBroker&) = delete;

    // With TLS, present this certificate (PEM, with any chain) and key to the
    // gateway; empty names present none.
    void use_certificate(const std::string& cert_file, const std::string& key_file)
    {
        m_cert_file = cert_file;
        m_key_file = key_file;
    }
    // Connects to 127.0.0.1:port; with tls, completes a TLS handshake
    // without verifying the server.
    bool connect(unsigned short port, bool tls = false,
                 std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    bool send(const std::string& bytes);
    // A request: header line with ID and LENGTH, then the document.
    static std::string request(const std::string& command, const params_t& params = {},
                               const std::string& id = "1");
    bool send_command(const std::string& command, const params_t& params = {},
                      const std::string& id = "1")
    {
        return send(request(command, params, id));
    }
    // The next framed message, or nothing on timeout, close or error.
    std::optional<BrokerMessage> read_message(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    // Every message that arrives until timeout passes without one.
    std::vector<BrokerMessage> read_all(std::chrono::milliseconds quiet = std::chrono::milliseconds(300));
    // True when the peer closes (end of stream or reset) within timeout;
    // data that arrives first is discarded.
    bool wait_closed(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    // True when bytes are waiting to be read.
    bool wait_readable(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    void close();
    int fd() const { return m_fd; }

private:
    // > 0 bytes read, 0 end of stream, -1 error, -2 timeout.
    int receive(char* buffer, std::size_t size, std::chrono::milliseconds timeout);
    bool fill(std::size_t needed, std::chrono::steady_clock::time_point deadline);

    int m_fd = -1;
    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
    std::string m_buffer;
    std::string m_cert_file;
    std::string m_key_file;
};
