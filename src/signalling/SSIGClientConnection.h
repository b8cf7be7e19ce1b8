// The client-facing leg of one session: the gateway's TLS server side of an
// accepted client connection. It reads the client's SSIG frames (TLV and
// HTTP-like), checks and rewrites the client's HELLO before forwarding it to
// the session's server leg, answers refusals with FAIL stanzas, and writes
// what the server leg forwards to the client.
//
// A leg that does not complete its TLS handshake, or deliver a first frame
// the leg acts on (one it drops unread does not count), in time is closed; so is one refused with a FAIL, a while after
// the FAIL is written: nobody else may hold a descriptor for long.
//
// Threads: every completion of the stream and the timers runs on the leg's
// strand (the stream's own), and every public entry that touches the
// stream posts to it; the reader, the write queue, the HELLO state, the
// wait flag and the deadline are confined to the strand. m_mutex guards
// stopped, the forwarders, the
// session id, log id, hop list and SNI; it is a leaf: nothing is called
// while it is held. The TLS and admission flags are atomic, read by the
// signalling server. The signalling server may hold its own mutex when it
// calls in (accessors, setters, stop()).
#pragma once

#include "IdleMonitored.h"
#include "Log.h"
#include "SSIG.h"
#include "SSIGFrameReader.h"
#include "SSIGHttp.h"
#include "SSIGLegTypes.h"
#include "SSIGMap.h"
#include "SSIGWriteQueue.h"
#include "TlsSocketStream.h"
#include "vexa_xml.h"

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <openssl/ssl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace vexa {

class SSIGLegHost;

class SSIGClientConnection : public std::enable_shared_from_this<SSIGClientConnection>,
                             public IdleMonitored {
public:
    using tcp = boost::asio::ip::tcp;
    using ssl_stream_t = TlsSocketStream;

    // The SNI of a client that sent none.
    static constexpr const char* NO_SNI_VALUE = "empty";

    // socket: accepted on io. Throws boost::system::system_error when the
    // peer is already gone (remote endpoint) or the linger option fails.
    SSIGClientConnection(std::shared_ptr<SSIGLegHost> host, std::shared_ptr<tcp::socket> socket,
                         boost::asio::io_context& io, SSIGLegTimings timings = SSIGLegTimings());
    ~SSIGClientConnection();
    SSIGClientConnection(const SSIGClientConnection&) = delete;
    SSIGClientConnection& operator=(const SSIGClientConnection&) = delete;

    // Begins the server-side TLS handshake.
    void start();
    // Silences the leg at once (no completion or forwarder of it runs any
    // more) and closes the connection once the frames already handed to it
    // are written, at most stop_drain later. Idempotent; any thread.
    void stop();
    bool is_stopped() const;

    // Writes to the client; any thread, the text or map is copied first.
    // The completion runs on this leg's strand once the frame is written,
    // unless the leg is stopped by then. An empty completion is allowed.
    // A stanza from the server ends a wait for the server's reconnection.
    void handle_server_xml_ssig(const char* xml, eVEXA_XML_TYPE type,
                                ssig_complete_handler_t completion);
    void handle_server_ksdp_ssig(const ssig::SSIGMap& map, ssig_complete_handler_t completion);
    // Completion of a forward of this leg's frame to the server: reads on.
    void handle_ssig(const boost::system::error_code& ec);

    // Installed only while the leg is not stopped.
    void set_ssig_ksdp_forwarder(ssig_ksdp_forwarder_t forwarder);
    void set_ssig_xml_forwarder(ssig_xml_forwarder_t forwarder);

    // Copies the HELLO's hop list (as the gateway rebuilt it); null: nothing.
    void get_mitm_info(ssig::MitmInfoVector* out) const;
    // The 12-character session id of the client's HELLO; "" before one.
    std::string get_session_id() const;
    std::string get_session_log_id() const;
    // The client's TLS server name, NO_SNI_VALUE when it sent none.
    std::string get_sni() const;
    // The type of the last stanza this leg sent towards the server (HELLO or
    // REJECT) or answered with itself (FAIL); -99 before any. Any thread.
    int get_last_xml_sent() const { return m_last_xml_sent.load(); }
    const boost::posix_time::ptime& get_creation_time() const { return m_creation_time; }
    // Whether the TLS handshake has completed.
    bool has_completed_tls() const { return m_tls_done.load(); }
    // Whether a HELLO of this leg was verified: the leg then counts as its
    // session's, not as a connection of its own.
    bool is_hello_admitted() const { return m_hello_admitted.load(); }
    // The signalling server's verdict on this leg's HELLO: it holds the turn
    // of session_id. Called with the server's mutex held.
    void set_admitted(const std::string& session_id);
    const tcp::endpoint& get_client_endpoint() const { return m_client_endpoint; }

    // Server-name callback of the client legs' shared TLS context; it finds
    // the leg in the SSL object's ex_data (arg is unused).
    static int ssl_ksg_client_facing_sni_cback(SSL* ssl, int* alert, void* arg);

private:
    // The ex_data index under which each leg's SSL object holds the leg;
    // allocated once per process.
    static int leg_index();

    // Transport.
    void handle_handshake(const boost::system::error_code& ec);
    void read_next();
    void handle_read(const boost::system::error_code& ec, std::size_t n);
    void handle_read_type(const boost::system::error_code& ec, std::size_t n);
    void handle_read_ssig_length(const boost::system::error_code& ec, std::size_t n);
    void handle_read_ssig_value(const boost::system::error_code& ec, std::size_t n);
    void handle_read_http_header(const boost::system::error_code& ec, std::size_t n);
    void handle_read_http_payload(const boost::system::error_code& ec, std::size_t n);
    void handle_client_tlv(const ssig::SSIGMap& map, uint32_t command);
    void do_handle_ssig(const boost::system::error_code& ec);
    // own_fail: the leg's own FAIL, after whose write the leg is closed.
    void enqueue(std::unique_ptr<ssig::SSIGPacket> frame, ssig_complete_handler_t completion,
                 bool own_fail = false);
    void write_front();
    void handle_write(const boost::system::error_code& ec);
    void write_xml(const char* xml, eVEXA_XML_TYPE type, ssig_complete_handler_t completion,
                   bool own_fail = false);
    // The one deadline of the leg: arms it (replacing any other) or ends it.
    enum class Deadline { NONE, HANDSHAKE, FIRST_FRAME, AFTER_FAIL };
    void arm_deadline(Deadline which, const boost::posix_time::ptime& at);
    void disarm_deadline();
    // A frame the leg acts on: the first-frame deadline is met.
    void end_first_frame_deadline();
    void handle_deadline(const boost::system::error_code& ec, uint64_t generation);
    void close_when_drained();
    void close_socket();
    void remove();
    std::string log_id() const;

    // The HELLO check and rewrite.
    void handle_client_xml(const ssig::SSIGHttp& packet);
    void handle_client_xml_hello(const ssig::SSIGHttp& packet);
    void handle_client_xml_reject(const ssig::SSIGHttp& packet);
    uint64_t parse_spi_preference(uint64_t own_spi);
    // Arms the HELLO wait and registers for the server leg's handshake: the
    // current one (or at once when connected), or with next_handshake the
    // next one only.
    void wait_for_server(const std::string& id, bool next_handshake);
    void server_connected_cback(bool connected);
    void handle_wait_for_server_connection(const boost::system::error_code& ec);
    void validate_client_xml_hello();
    int validate_server_thumbprint_hash(const X509* cert, const unsigned char (&hash)[32]);
    void send_client_xml_fail(const sVEXA_XML_FAIL& fail);
    void send_client_xml_fail(unsigned code, const std::string& reason, unsigned char hop_count);
    // Hops a FAIL raised while validating carries: all but the last.
    unsigned char validation_fail_hops() const;
    // Calls the XML forwarder (copied under the mutex) unless stopped.
    void forward_xml(const char* xml, eVEXA_XML_TYPE type);

    std::shared_ptr<tcp::socket> m_socket;
    std::shared_ptr<ssl_stream_t> m_stream;
    std::string m_sni;
    logger_t m_log;
    std::shared_ptr<SSIGLegHost> m_host;
    tcp::endpoint m_client_endpoint;
    boost::asio::strand<boost::asio::io_context::executor_type> m_strand;
    SSIGLegTimings m_timings;

    mutable std::mutex m_mutex;
    bool m_stopped;
    ssig_xml_forwarder_t m_xml_forwarder;
    ssig_ksdp_forwarder_t m_ksdp_forwarder;
    std::string m_session_id;
    std::string m_session_log_id;
    ssig::MitmInfoVector m_mitm_info;

    SSIGFrameReader m_reader;
    SSIGWriteQueue m_writes;
    bool m_handshake_done;
    bool m_closed;
    boost::asio::deadline_timer m_drain_timer;
    bool m_reading;
    // Written on the strand, read by the signalling server on pairing.
    std::atomic<int> m_last_xml_sent;
    sVEXA_XML_HELLO m_hello;
    // The client's stanza as received (the merge target) and whether the
    // gateway's own hop was added to m_hello.
    std::string m_hello_text;
    bool m_gateway_added;
    bool m_waiting_for_server;
    boost::asio::deadline_timer m_wait_timer;
    boost::posix_time::ptime m_creation_time;

    std::atomic<bool> m_tls_done;
    std::atomic<bool> m_hello_admitted;
    boost::asio::deadline_timer m_deadline_timer;
    Deadline m_deadline;
    uint64_t m_deadline_generation;
    // When start() ran: the handshake and first-frame deadlines count from it.
    boost::posix_time::ptime m_started_at;
    // The leg's own FAIL while it is queued.
    const ssig::SSIGPacket* m_fail_frame;
};

}  // namespace vexa
