// One broker's control connection: optional TLS handshake, the reader that
// frames header lines and documents within a 4096-byte input buffer, the
// command handlers and their replies, the session notifications, and the
// bounded send queue drained by the connection's send thread.
//
// The send queue is bounded by a count of messages and by a budget of bytes.
// A notification that does not fit ends the connection; a reply may pass the
// budget, but while the queue holds more than the budget no further command
// is read, until the writes have drained it below half.
//
// Until its first complete message a connection runs against the server's
// deadlines (TLS handshake, first message; both from the accept) and is
// closed when one passes; after it, it may idle for ever.
//
// Threads: reads, commands, writes, deadlines and stop run on the control
// event-loop thread; notifications are raised on relay, auxiliary and
// main-loop threads; the send thread only pops, waits for the write in flight
// and posts. Locks:
// m_id_mutex pairs a message id with its place in the queue; then the queue's
// own mutex; m_write_mutex guards m_write_complete. All three are leaves
// (nothing else is locked or called while they are held). Flags read across
// threads are atomic; the header fields, the reading pause and the deadline
// phase are touched on the loop thread only.
#pragma once

#include "ConcurrentQueue.h"
#include "ConnectionManager.h"
#include "ControlHeader.h"
#include "Log.h"
#include "SessionState.h"

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/regex.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace vexa {

class XMLTCPControlServer;
struct ControlCommand;

class XMLTCPControlConnection : public std::enable_shared_from_this<XMLTCPControlConnection> {
public:
    static constexpr std::size_t INPUT_BUFFER_LIMIT = 4096;
    static constexpr std::size_t MAX_QUEUED_MESSAGES = 10000;
    static constexpr std::size_t SEND_QUEUE_BYTE_BUDGET = 16 * 1024 * 1024;

    using socket_t = boost::asio::ip::tcp::socket;
    using ssl_stream_t = boost::asio::ssl::stream<socket_t&>;
    using message_t = std::shared_ptr<const std::string>;

    // Reads the peer's endpoint; throws system_error when the peer has gone.
    XMLTCPControlConnection(std::shared_ptr<socket_t> socket,
                            std::shared_ptr<XMLTCPControlServer> server,
                            boost::asio::io_service& io, ConnectionManager& cm);
    ~XMLTCPControlConnection();
    XMLTCPControlConnection(const XMLTCPControlConnection&) = delete;
    XMLTCPControlConnection& operator=(const XMLTCPControlConnection&) = delete;

    // Starts the handshake or the first read and the send thread; false
    // (already stopped) when the thread cannot be created. Called with the
    // server's table mutex held.
    bool start();
    // Drops queued messages, closes the socket and joins the send thread.
    // Idempotent; never takes the server's table mutex.
    void stop();

    const boost::asio::ip::tcp::endpoint& peer() const { return m_peer; }
    // Bytes of the messages queued or being written.
    std::size_t queued_bytes() const { return m_send_queue.bytes(); }

    // Session callbacks, raised on any thread; they only format and queue.
    void handle_connection_state_change(const std::string& connection_id,
                                        const std::string& session_id, eSESSION_STATE state);
    void handle_connection_terminated(const std::string& connection_id, const std::string& reason);

private:
    using read_handler_t = void (XMLTCPControlConnection::*)(const boost::system::error_code&,
                                                              std::size_t);
    // What the connection has yet to deliver before its deadline.
    enum class phase { handshake, first_message, established };

    void arm_deadline(phase awaited);
    void handle_deadline(const boost::system::error_code& error, phase awaited);

    void async_read_until(const char* delimiter, read_handler_t handler);
    void read_header();
    // Reads the next command unless the broker is not taking its replies.
    void read_next_command();
    void handle_handshake(const boost::system::error_code& error);
    void handle_header_read(const boost::system::error_code& error, std::size_t bytes);
    void handle_xml_read(const boost::system::error_code& error, std::size_t bytes);
    void log_parameters(const ControlCommand& command);
    // False when nothing more is to be read ("shutdown").
    bool dispatch(const ControlCommand& command);

    void process_init();
    void process_reset();
    void process_get_info();
    void process_get_counters();
    void process_get_json_session_statistics();
    void process_add_connection(const std::map<std::string, std::string>& params);
    void process_remove_connection(const std::map<std::string, std::string>& params);
    std::string session_log_id_for(const std::string& connection_id);

    void send_reply(const std::string& command, const std::map<std::string, std::string>& entries);
    void send_connection_state_changed_msg(const std::string& connection_id,
                                           const std::string& session_id, const std::string& state);
    void send_connection_closed_msg(const std::string& connection_id, const std::string& reason);
    // Frames body with the next id and queues it; a null reply_id marks a
    // notification.
    void send_connection_msg(const std::string& body, const std::string* reply_id);

    void send_thread();
    void async_write_reply(const message_t& message);
    void handle_write(const boost::system::error_code& error, std::size_t bytes,
                      const message_t& message);
    // The message left the queue's care (written, failed or dropped).
    void release_message(const message_t& message);
    void wait_for_write_complete();
    void signal_write_complete();

    const std::shared_ptr<XMLTCPControlServer> m_server;
    const std::shared_ptr<socket_t> m_socket;
    boost::asio::io_service& m_io;
    std::thread m_send_thread;
    ConnectionManager& m_cm;
    boost::asio::ip::tcp::endpoint m_peer;

    std::mutex m_write_mutex;
    std::condition_variable m_write_cv;
    bool m_write_complete = true;

    boost::asio::streambuf m_input;
    logger_t m_log;
    bool m_tls = false;
    boost::asio::ssl::context* m_ssl_context = nullptr;
    std::shared_ptr<ssl_stream_t> m_ssl;

    std::mutex m_id_mutex;
    uint32_t m_next_id = 0;
    concurrent_queue<message_t> m_send_queue;

    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_socket_open{true};
    // Set once the send queue overflowed and the closing was posted.
    std::atomic<bool> m_dead{false};

    const std::chrono::steady_clock::time_point m_accepted;
    boost::asio::steady_timer m_deadline_timer;
    phase m_phase = phase::first_message;

    ControlHeader m_header;
    // No read is armed until the send queue drains below half its budget.
    bool m_reading_paused = false;
    bool m_no_known_token_yet = true;
    const bool m_send_state_notifications;

    const boost::regex m_log_id_pattern;
    std::mt19937 m_random;
};

}  // namespace vexa
