// The listener through which a broker drives the gateway: accepts control
// connections on its own event loop (optionally over TLS) within
// TCPControlMaxConnections, keeps the live connections, holds the online
// state and performs the "shutdown" command.
//
// Threads: accepts, handshakes, reads, commands and writes of every
// connection run on the one control event-loop thread; prepare, start and
// stop on the owner's thread. m_table_mutex guards m_connections; it comes
// before the signalling server's mutex (shutdown) and a connection's leaf
// mutexes (stop). The online state and the stopped flag are atomic. The
// work guard is set by start() before the thread exists and released on the
// loop thread by stop().
#pragma once

#include "ConnectionManager.h"
#include "ControlDeadlines.h"
#include "Log.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <openssl/x509.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>

namespace vexa {

class XMLTCPControlConnection;

class XMLTCPControlServer : public std::enable_shared_from_this<XMLTCPControlServer> {
public:
    static constexpr int ONLINE = 0;
    static constexpr int OFFLINE = 1;

    // Binds and listens at once (port "0" picks a free port); throws
    // system_error named after the failing step: resolve, open, set_option,
    // bind, listen. The SNI text is not used. Connections that stay silent
    // are closed after the deadlines.
    XMLTCPControlServer(const std::string& sni, const std::string& ip, const std::string& port,
                        ConnectionManager& cm, ControlDeadlines deadlines = ControlDeadlines());
    ~XMLTCPControlServer();
    XMLTCPControlServer(const XMLTCPControlServer&) = delete;
    XMLTCPControlServer& operator=(const XMLTCPControlServer&) = delete;

    // Loads the TLS certificate files when all three are configured.
    void prepare();
    // Arms the first accept and starts the event-loop thread.
    void start();
    // Closes the listener and every connection, lets the event loop run dry
    // and joins its thread. Idempotent; refused on the event-loop thread.
    void stop();
    // The "shutdown" command: closes the listener and every connection, then
    // shuts the connection manager down. No accept is armed again; the
    // event-loop thread stays up, idle, until stop().
    void shutdown();

    void set_online(bool online);
    bool is_online() const { return m_online_state.load() == ONLINE; }

    void close_connection(const std::shared_ptr<XMLTCPControlConnection>& connection);

    // False when TLS was not requested; otherwise stores the context's
    // address into *context (when given) and returns true.
    bool use_secure_channel(boost::asio::ssl::context** context = nullptr);

    const ControlDeadlines& deadlines() const { return m_deadlines; }

    // The port the listener is bound to.
    unsigned short local_port() const { return m_local_port; }
    boost::asio::io_service& get_io_service() { return m_io; }
    std::size_t connection_count();
    // Bytes queued or being written on all open connections.
    std::size_t queued_bytes();

private:
    void arm_accept();
    void handle_accept(const boost::system::error_code& error);
    void accept_connection();
    void handle_retry_timer(const boost::system::error_code& error);
    void close_everything();

    boost::asio::io_service m_io;
    // Keeps the loop running from start() to stop(), also with nothing to
    // accept after "shutdown".
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
        m_keep_running;
    std::thread m_thread;
    boost::asio::ip::tcp::acceptor m_acceptor;
    std::shared_ptr<boost::asio::ip::tcp::socket> m_next_socket;
    boost::asio::steady_timer m_retry_timer;
    unsigned short m_local_port = 0;

    const std::string m_cert_path;
    const std::string m_cert_phrase;
    const std::string m_cert_file;
    const std::string m_key_file;
    const std::string m_ca_file;
    bool m_tls_requested = false;
    boost::asio::ssl::context m_ssl_context;
    X509* m_certificate = nullptr;

    std::atomic<int> m_online_state{OFFLINE};
    std::atomic<bool> m_stopped{false};

    std::mutex m_table_mutex;
    std::unordered_set<std::shared_ptr<XMLTCPControlConnection>> m_connections;

    ConnectionManager& m_cm;
    const ControlDeadlines m_deadlines;
    logger_t m_log;
};

// TLS pass-phrase callback: TCPControlLinuxExtCertPhrase, read at each call,
// cut to max_length characters.
std::string get_xmltcp_linux_ext_passphrase(std::size_t max_length,
                                            boost::asio::ssl::context::password_purpose purpose);

}  // namespace vexa
