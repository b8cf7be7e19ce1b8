// A scripted broker for tests of the control channel: connects over TCP or
// TLS, sends commands and reads framed messages (header line, then LENGTH
// bytes); every wait is bounded. One thread uses one broker.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <deque>
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

    // The text of the first <name>...</name> of the body, if any.
    std::optional<std::string> element(const std::string& name) const;
    // The body's command or notification element ("add-connection",
    // "connection-closed", ...).
    std::string command() const;
};

// The parameters of an add-connection; absent optional ones are not sent.
struct AddConnection {
    std::string ip_address = "127.0.0.1";
    unsigned short tcp_port = 0;
    std::string ctag;
    std::string connection_id = "conn-1";
    std::optional<std::string> server_sni;
    std::optional<std::string> sg_sni;

    static AddConnection of(unsigned short port, const std::string& ctag,
                            const std::string& connection_id = "conn-1")
    {
        AddConnection a;
        a.tcp_port = port;
        a.ctag = ctag;
        a.connection_id = connection_id;
        return a;
    }
};

class ControlBroker {
public:
    using params_t = std::vector<std::pair<std::string, std::string>>;
    static constexpr std::chrono::milliseconds DEFAULT_TIMEOUT{5000};

    ControlBroker() = default;
    ~ControlBroker();
    ControlBroker(const ControlBroker&) = delete;
    ControlBroker& operator=(const ControlBroker&) = delete;

    // A certificate and key (PEM files) that the next TLS connect presents.
    void set_client_certificate(const std::string& cert_path, const std::string& key_path);
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

    // Scripted commands. Each sends one request with a fresh ID and waits
    // for the message that answers it; messages arriving meanwhile are kept
    // for read_message and next_notification.
    std::optional<BrokerMessage> command(const std::string& command, const params_t& params = {},
                                         std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    // "init": true on result "ok".
    bool init(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    // The rtag, empty when refused (result "Invalid") or unanswered.
    std::string add_connection(const AddConnection& a,
                               std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    // True on result "ok".
    bool remove_connection(const std::string& rtag,
                           std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    // "shutdown" (it has no reply).
    bool shutdown() { return send_command("shutdown", {}, next_id()); }
    // The next message that answers no request (a notification); nothing
    // on timeout.
    std::optional<BrokerMessage> next_notification(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    // The next connection-closed notification (others are skipped).
    std::optional<BrokerMessage> next_connection_closed(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    // The connection-closed notifications that arrive within wait.
    std::vector<BrokerMessage> connection_closed_within(std::chrono::milliseconds wait);

private:
    // > 0 bytes read, 0 end of stream, -1 error, -2 timeout.
    int receive(char* buffer, std::size_t size, std::chrono::milliseconds timeout);
    bool fill(std::size_t needed, std::chrono::steady_clock::time_point deadline);
    std::optional<BrokerMessage> read_framed(std::chrono::milliseconds timeout);
    std::string next_id() { return std::to_string(++m_last_id); }

    int m_fd = -1;
    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
    std::string m_buffer;
    std::string m_cert_path, m_key_path;
    std::deque<BrokerMessage> m_kept;  // read while waiting for a reply
    unsigned m_last_id = 1000;
};
