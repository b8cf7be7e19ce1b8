// The server-facing leg of one session: resolves and connects to the Kavri
// server, completes the TLS client handshake presenting the gateway's
// default certificate, reads the server's SSIG frames and hands them on
// towards the client leg (checking the server's stanzas against the
// negotiation, and setting up the media tunnels on its INVITE_OK), and
// writes what the client leg forwards (queued until the handshake is done). Each start() builds a fresh socket and TLS
// stream (a "link") under a new epoch; completions of an older link return.
//
// Threads: every completion of the resolver, the link's stream and its
// timers runs on the leg's strand, and the public entries that touch the
// link post to it; the link, the reader and the write queue are confined
// to the strand. m_mutex guards the epoch, stopped, connected, the
// forwarders, the admitted and joined client legs, the broker callbacks, the certificate copy and the counters;
// it is a leaf: nothing is called while it is held. The registry of legs
// by OpenSSL connection has its own leaf mutex. The signalling server may
// hold its own mutex when it calls in (accessors, setters, stop, restart).
// The relay reports session states from its own threads, some holding a
// relay lock: the state is an atomic word, and the broker's callback is
// copied under m_mutex before it is called. The client's kept key sets are
// strand-confined.
#pragma once

#include "IdleMonitored.h"
#include "Log.h"
#include "SSIG.h"
#include "SSIGFrameReader.h"
#include "SSIGHttp.h"
#include "SSIGLegTypes.h"
#include "SSIGMap.h"
#include "SSIGTunnelParams.h"
#include "SSIGWriteQueue.h"
#include "SessionState.h"
#include "Tag.h"
#include "vexa_xml.h"

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace vexa {

class SSIGClientConnection;
class SSIGLegHost;

class SSIGServerConnection : public std::enable_shared_from_this<SSIGServerConnection>,
                             public IdleMonitored {
public:
    using tcp = boost::asio::ip::tcp;
    using state_callback_t = std::function<void(eSESSION_STATE)>;
    using closed_callback_t = std::function<void(const std::string&)>;

    static constexpr unsigned MAX_REJECTED_RESTARTS = 5;

    // Throws std::invalid_argument for a port that is not a number within
    // 0..65535, and what the TLS context set-up throws.
    SSIGServerConnection(std::shared_ptr<SSIGLegHost> host, boost::asio::io_context& io,
                         const std::string& host_name, const std::string& port,
                         const std::string& sni, const std::string& connection_id,
                         const std::string& session_log_id, state_callback_t state_callback,
                         closed_callback_t closed_callback, const std::string& ctag,
                         const std::string& rtag, const unsigned char (&thumbprint)[32],
                         SSIGLegTimings timings = SSIGLegTimings());
    // Logs and fires the closed callback ("Unknown") if still set; nothing else.
    ~SSIGServerConnection();
    SSIGServerConnection(const SSIGServerConnection&) = delete;
    SSIGServerConnection& operator=(const SSIGServerConnection&) = delete;

    // A new epoch: fresh socket and TLS stream, registered, resolving.
    void start();
    // Silences the leg at once and closes the link once the frames already
    // handed to it are written (at most stop_drain later); cancels the
    // resolver. Idempotent; any thread.
    void stop();
    // Stop and start again; rejected counts REJECTED-driven restarts (false
    // once the limit is reached, without restarting). A REJECTED-driven
    // restart leaves a stopped leg stopped (false as well).
    bool restart(bool rejected);
    bool is_stopped() const;
    // TLS to the server is up (until stop()).
    bool is_connected() const;

    // Fires the closed callback at most once.
    void notify_termination(const std::string& reason);
    // Drops both broker callbacks uncalled (the broker removed the session).
    void clear_broker_callbacks();

    // Writes to the server; any thread, the text or map is copied first.
    // Queued until the handshake completes. The completion runs on this
    // leg's strand once the frame is written, unless the leg is stopped.
    void handle_client_xml_ssig(const char* xml, eVEXA_XML_TYPE type,
                                ssig_complete_handler_t completion);
    void handle_client_ksdp_ssig(const ssig::SSIGMap& map, ssig_complete_handler_t completion);
    // Completion of a forward of this leg's frame to the client: reads on.
    void handle_ssig(const boost::system::error_code& ec);

    // Installed only while the leg is not stopped.
    void set_ssig_xml_forwarder(ssig_xml_forwarder_t forwarder);
    void set_ssig_ksdp_forwarder(ssig_ksdp_forwarder_t forwarder);

    // The client leg that holds the session's turn (its HELLO verified last)
    // and the one joined to this leg by the XML forwarders. Weak: the
    // forwarders and the signalling server's tables hold the legs. Set by
    // the signalling server under its mutex.
    void set_admitted_client(const std::weak_ptr<SSIGClientConnection>& client);
    std::shared_ptr<SSIGClientConnection> get_admitted_client() const;
    // Whether client is the admitted leg (and still exists); takes no reference.
    bool is_admitted_client(const std::weak_ptr<SSIGClientConnection>& client) const;
    void set_joined_client(const std::weak_ptr<SSIGClientConnection>& client);
    std::shared_ptr<SSIGClientConnection> get_joined_client() const;

    // Session identity, as filed.
    const SessionTag& get_ctag() const { return m_ctag; }
    const SessionTag& get_rtag() const { return m_rtag; }
    // The signalling server's key for this session: the ctag's session id.
    const std::string& get_table_key() const { return m_table_key; }
    const std::string& get_sni() const { return m_sni; }
    const std::string& get_connection_id() const { return m_connection_id; }
    const std::string& get_session_log_id() const { return m_session_log_id; }
    const std::array<unsigned char, 32>& get_thumbprint() const { return m_thumbprint; }
    // The server's certificate of the last handshake (a counted reference), or empty.
    x509_ref get_server_certificate() const;
    std::string get_server_subject() const;
    tcp::endpoint get_server_endpoint() const;

    // Resumption: non-zero once the server granted a resume timeout.
    uint32_t get_resume_timeout() const;
    // The server's grant, in seconds (hides the idle monitor's tick setter,
    // which stays the sweep's own business).
    void set_resume_timeout(uint32_t seconds);
    bool is_resumable() const { return get_resume_timeout() != 0; }
    // Starts so far minus one (0 after the first start).
    int get_resume_count() const;
    unsigned get_rejected_count() const;
    eSESSION_STATE get_session_state() const;

    // The relay's report of the session's media state (any thread): a change
    // is logged, and ACTIVE, INTERRUPTED and PENDING_RESUME go to the broker.
    void udp_state_change_callback(eSESSION_STATE state);

    // Whether a server stanza of type received is acceptable after the
    // client leg's last stanza to the server (last_sent; -99: none since
    // the last start).
    static bool is_expected_xml_type(eVEXA_XML_TYPE received, int last_sent);
    bool is_expected_xml_type(eVEXA_XML_TYPE received) const;

    // Verify callback of the server legs' shared TLS context: records the
    // server's certificate.
    static int ssl_ksg_server_facing_cert_cback(int preverify, X509_STORE_CTX* store);

private:
    // One connection attempt: what start() builds and stop() closes.
    struct Link;
    using link_ptr = std::shared_ptr<Link>;
    enum class Restart { RESTARTED, REFUSED, STOPPED };

    // m_mutex held: silences the leg and takes its registry entry (released
    // by the caller after the locks); then post_stop closes the link.
    void stop_locked(std::shared_ptr<SSIGServerConnection>& registered);
    void post_stop();
    // m_mutex held: the next epoch, which do_start then builds.
    uint64_t start_locked();
    void post_start(uint64_t epoch);
    Restart do_restart(bool rejected);

    void do_start(uint64_t epoch);
    void do_stop(const link_ptr& link);
    // True when link is no longer this leg's current, running link.
    bool is_stale(const link_ptr& link) const;
    // The link that was current when the leg stopped for good (its
    // writes still drain).
    bool is_last_link_of_stopped_leg(const link_ptr& link) const;
    void handle_resolve(const link_ptr& link, const boost::system::error_code& ec,
                        tcp::resolver::results_type endpoints);
    // Connects to the index-th resolved endpoint.
    void connect_next(const link_ptr& link, const tcp::resolver::results_type& endpoints,
                      std::size_t index);
    void handle_connect(const link_ptr& link, const boost::system::error_code& ec,
                        const tcp::resolver::results_type& endpoints, std::size_t index);
    void handle_handshake(const link_ptr& link, const boost::system::error_code& ec);
    void read_next(const link_ptr& link);
    void handle_read(const link_ptr& link, const boost::system::error_code& ec, std::size_t n);
    void handle_read_type(const link_ptr& link, const boost::system::error_code& ec, std::size_t n);
    void handle_read_ssig_length(const link_ptr& link, const boost::system::error_code& ec,
                                 std::size_t n);
    void handle_read_ssig_value(const link_ptr& link, const boost::system::error_code& ec,
                                std::size_t n);
    void handle_read_http_header(const link_ptr& link, const boost::system::error_code& ec,
                                 std::size_t n);
    void handle_read_http_payload(const link_ptr& link, const boost::system::error_code& ec,
                                  std::size_t n);
    void do_handle_ssig(const link_ptr& link, const boost::system::error_code& ec);
    void write_front(const link_ptr& link);
    void handle_write(const link_ptr& link, const boost::system::error_code& ec);
    void close_link(const link_ptr& link);
    // Resumable ? cleanup for the next resume : remove the session.
    void leg_failure_action();
    void remove();

    // What the server sends, before it is forwarded to the client leg: a
    // stanza acceptable at this point of the negotiation is checked and
    // relayed (or answered); any other is dropped and no more is read.
    void handle_server_xml(const link_ptr& link, const ssig::SSIGHttp& packet);
    void handle_server_xml_version(const link_ptr& link, const ssig::SSIGHttp& packet);
    void handle_server_xml_fail(const link_ptr& link, const ssig::SSIGHttp& packet);
    void handle_server_xml_rejected(const link_ptr& link, const ssig::SSIGHttp& packet);
    // Writes fail in the reply form and relays it as a FAIL.
    void send_kavri_fail_to_client(const link_ptr& link, const sVEXA_XML_FAIL& fail);
    // A VERSION failure: FAIL 1035 with reason (when a forwarder is set),
    // then the session is removed.
    void fail_version(const link_ptr& link, const char* reason, const ssig::MitmInfoVector& expected);
    // INVITE_OK: the media tunnels, then the gateway's address in the map.
    void handle_server_invite_ok(const link_ptr& link, ssig::SSIGMap& map);
    void setup_tunnels(const ssig::SSIGMap& invite_ok, const SSIGInviteOkSettings& settings);
    bool has_xml_forwarder() const;
    // Calls a forwarder (copied under the mutex) with handle_ssig as the
    // completion; false (frame dropped, no read armed) when none is set.
    bool forward_xml(const link_ptr& link, const char* xml, eVEXA_XML_TYPE type);
    bool forward_ksdp(const link_ptr& link, const ssig::SSIGMap& map);
    void set_state_negotiating(const char* caller);

    static std::mutex s_ssig_server_connections_mutex;
    static std::unordered_map<const SSL*, std::shared_ptr<SSIGServerConnection>>
        s_ssig_server_connections;
    void on_certificate(X509* cert);

    boost::asio::io_context& m_io;
    boost::asio::strand<boost::asio::io_context::executor_type> m_strand;
    tcp::resolver m_resolver;
    std::string m_host_name;
    std::string m_port;
    std::string m_sni;
    bool m_send_sni;
    std::string m_connection_id;
    std::string m_session_log_id;
    SessionTag m_ctag;
    SessionTag m_rtag;
    std::string m_table_key;
    std::array<unsigned char, 32> m_thumbprint;
    std::shared_ptr<SSIGLegHost> m_host;
    SSIGLegTimings m_timings;
    logger_t m_log;

    mutable std::mutex m_mutex;
    uint64_t m_epoch;
    bool m_stopped;
    bool m_connected;
    link_ptr m_link;               // written on the strand
    const SSL* m_registered_ssl;   // this leg's registry entry
    tcp::endpoint m_server_endpoint;
    state_callback_t m_state_callback;
    closed_callback_t m_closed_callback;
    // The copy of the closed callback handed to the relay with the tunnels.
    closed_callback_t m_relay_closed_callback;
    ssig_xml_forwarder_t m_xml_forwarder;
    ssig_ksdp_forwarder_t m_ksdp_forwarder;
    std::weak_ptr<SSIGClientConnection> m_admitted_client;
    std::weak_ptr<SSIGClientConnection> m_joined_client;
    x509_ref m_server_cert;
    std::string m_subject;
    bool m_cert_seen;
    int m_last_xml_sent;
    unsigned m_rejected_count;
    uint32_t m_resume_timeout;
    int m_resume_count;
    std::atomic<int> m_state;  // eSESSION_STATE
    // The key sets of the client's latest INVITE, for the tunnel set-up.
    SSIGClientKeySets m_client_keys;
};

}  // namespace vexa
