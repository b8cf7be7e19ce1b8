// The signalling server: the TLS listener for clients and the registry of
// every session of the gateway. It owns the gateway's TLS identity, files the
// server legs the broker adds, holds accepted client legs until they pair,
// runs the session sweep on the auxiliary loop, and is the control channel's
// connection manager and the legs' host.
//
// Threads: ConnectionManager calls on the control thread; accepts (on the
// accept strand) and leg calls on main-loop threads; the sweep on the
// auxiliary thread. `mutex` guards every table, the server-connected
// callbacks, the dormant lists, the relay handle and the sweep timer. Lock
// order: control table -> `mutex` -> one leg's mutex -> control send queue.
// Legs are stopped, restarted and asked for their state under `mutex`
// (their entries only take their own leaf mutex and post); objects released
// by an operation are dropped after `mutex` is, so their destructors run
// unlocked. The acceptor, the next socket and the accept retry timer are
// confined to the accept strand.
#pragma once

#include "ConnectionManager.h"
#include "Log.h"
#include "SSIG.h"
#include "SSIGLegHost.h"
#include "SSIGLegTypes.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vexa {

class SSIGClientConnection;
class SSIGConnection;
class SSIGLegContexts;
class SSIGServerConnection;
class SSIGServerSSL;
class UDPServer;

// Periods of the signalling server; the defaults are the production values.
struct SSIGServerTimings {
    // The session sweep, on a fixed grid from construction.
    std::chrono::milliseconds sweep_period{std::chrono::seconds(5)};
    // How long a removed object stays on its dormant list.
    boost::posix_time::time_duration dormant_hold = boost::posix_time::seconds(10);
    // The clock of the dormant lists (UTC; whole seconds in production).
    std::function<boost::posix_time::ptime()> clock = &boost::posix_time::second_clock::universal_time;
    // The pause before accepting again after a failed accept (EMFILE...).
    std::chrono::milliseconds accept_retry{std::chrono::seconds(1)};
};

class SSIGServer : private boost::noncopyable,
                   public ConnectionManager,
                   public SSIGLegHost,
                   public std::enable_shared_from_this<SSIGServer> {
public:
    using tcp = boost::asio::ip::tcp;
    using client_ptr = std::shared_ptr<SSIGClientConnection>;
    using server_ptr = std::shared_ptr<SSIGServerConnection>;
    using pair_ptr = std::shared_ptr<SSIGConnection>;

    using Timing = SSIGServerTimings;

    // Table sizes, for statistics and tests.
    struct Counts {
        size_t tagged = 0, resumable = 0, established = 0, pending = 0, callbacks = 0;
        size_t dormant_pairs = 0, dormant_clients = 0, dormant_servers = 0;
    };

    // Initialises the stanza library, builds the TLS identity and listens on
    // bind_ip:port (port "0": an ephemeral port). Throws, after logging, when
    // the identity cannot be built, the address does not parse, the port is
    // outside 0..65535 or cannot be bound.
    SSIGServer(boost::asio::io_context& main_loop, boost::asio::io_context& aux_loop,
               const std::string& bind_ip, const std::string& port,
               boost::shared_ptr<UDPServer> relay, Timing timing = Timing(),
               SSIGLegTimings leg_timings = SSIGLegTimings());
    virtual ~SSIGServer();

    // Arms the first accept and the sweep.
    void start();
    // The owner's last step before releasing the server (the sweep timer
    // lives on the auxiliary loop, which may be destroyed first): ends
    // accepting and sweeping for good and drops every session object and the
    // relay handle, stopping the legs. Any thread; idempotent.
    void stop();

    // The bound listening port.
    unsigned short local_port() const { return listen_port; }
    Counts counts();

    // --- ConnectionManager (control thread) ---
    std::string add_connection(const std::string& ip_address, const std::string& tcp_port,
                               const std::string& sg_sni, const std::string& server_sni,
                               const std::string& ctag, const std::string& connection_id,
                               const std::string& session_log_id, StateCallback state_callback,
                               ClosedCallback closed_callback) override;
    void remove_ssig_connection(const std::string& rtag) override;
    void teardown_connection(const std::string& rtag) override;
    std::map<std::string, std::string> get_statistics() override;
    void populate_json_session_statistics(std::string& out) override;
    // Closes the listener (posted to the accept strand), stops and forgets
    // every session, tears the stanza library down. The sweep goes on.
    void shutdown() override;
    void set_external_ip(const std::string& ip) override;
    void set_external_port(const std::string& port) override;

    // --- SSIGLegHost: client leg ---
    void remove_pending_client_connection(const client_ptr& leg) override;
    void handle_client_ssig_invite(const client_ptr& leg, const ssig::SSIGMap& map) override;
    std::string find_session_log_id(const std::string& session_id) override;
    HelloAdmission admit_client_hello(const std::string& session_id, const sVEXA_XML_HELLO& hello,
                                      const client_ptr& leg) override;
    void count_client_deadline_close(ClientDeadline why) override;
    void set_server_connected_callback(const std::string& session_id,
                                       const std::weak_ptr<SSIGClientConnection>& owner,
                                       std::function<void(bool)> callback) override;
    void set_server_reconnected_callback(const std::string& session_id,
                                         const std::weak_ptr<SSIGClientConnection>& owner,
                                         std::function<void(bool)> callback) override;
    void clear_server_connected_callback(const std::string& session_id,
                                         const client_ptr& owner) override;
    bool get_server_connection_info(const std::string& session_id, SessionTag* ctag,
                                    std::string* rtag, std::string* sni, x509_ref* cert,
                                    unsigned char (*hash)[32]) override;
    bool set_xml_forwarders(const std::string& session_id, const client_ptr& leg) override;

    // --- SSIGLegHost: server leg (each acts only on entries holding leg) ---
    void remove_connection(const SessionTag& rtag, const server_ptr& leg) override;
    bool is_session_resumable(const std::string& session_id, const server_ptr& leg) override;
    void cleanup_connections_for_next_resume(const std::string& session_id,
                                             const server_ptr& leg) override;
    void invoke_server_connected_callback(const std::string& session_id) override;
    void setup_tunnel(uint32_t client_spi, uint32_t client_salt, const ssig::SSIGMap::value_type& client_key,
                      const boost::asio::ip::udp::endpoint& server_udp, uint32_t server_spi,
                      uint32_t server_salt, const ssig::SSIGMap::value_type& server_key,
                      unsigned char clear_header, uint32_t resume_timeout, const std::string& rtag,
                      const std::string& connection_id, const std::string& session_id,
                      const std::string& session_log_id, StateCallback state_callback,
                      ClosedCallback closed_callback, const server_ptr& leg) override;

    // --- SSIGLegHost: both legs ---
    SSIGServerSSL& get_server_ssl() override { return *ssl; }
    SSIGLegContexts& get_leg_contexts() override { return *leg_contexts; }
    std::string get_gateway_sni() const override { return sni; }

    // The MITM hops of the client leg joined to leg.
    bool get_client_connection_info(const std::string& session_id, const server_ptr& leg,
                                    ssig::MitmInfoVector* out) override;
    // Resumption steps of a verified HELLO (admit_client_hello runs them
    // under one hold of the mutex): an established pair of the id taken
    // apart (1 when there was one); the session's server leg restarted as
    // its table says (0, or -500 for an unknown id).
    int move_established_to_resumable(const std::string& session_id);
    int restart_server_connection(const std::string& session_id);
    // Whether the session's tagged server leg has completed its TLS
    // handshake; false when there is none.
    bool is_server_ssig_connected(const std::string& session_id, bool* out);
    // A filed server leg (tagged, else resumable, else established), or empty.
    server_ptr find_server_connection(const std::string& session_id);

    // The stanza library's log callout: 0 fatal, 1 error, 2 info, else debug.
    static void xml_logger(int level, const char* text);
    // MaxConnections as the add limit reads it (negative wraps: no limit),
    // and the pruning slack: a tenth of it, truncated.
    static uint64_t parse_max_connections(const std::string& text);
    static uint64_t pruning_slack(uint64_t max_connections);

private:
    struct ConnectedCallback {
        std::weak_ptr<SSIGClientConnection> owner;
        std::function<void(bool)> callback;
    };
    template <class T>
    struct Dormant {
        boost::posix_time::ptime release_at;
        std::shared_ptr<T> object;
    };
    // Objects leaving the tables, released once `mutex` is no longer held.
    struct Released {
        std::vector<pair_ptr> pairs;
        std::vector<client_ptr> clients;
        std::vector<server_ptr> servers;
        std::vector<std::function<void(bool)>> callbacks;
    };

    void listen(const std::string& bind_ip, const std::string& port);
    void arm_accept();
    void handle_accept(const boost::system::error_code& error);
    void handle_accept_retry(const boost::system::error_code& error);
    void close_acceptor();
    void arm_sweep();
    void handle_periodic_ssig(const boost::system::error_code& error);

    // Takes `mutex`. Keeps callback for owner under the session's tagged leg (or calls it
    // at once when call_if_connected and the leg is connected); drops it,
    // logged as where said, when there is no such leg or owner lost the turn.
    void register_connected_callback(const std::string& session_id,
                                     const std::weak_ptr<SSIGClientConnection>& owner,
                                     std::function<void(bool)> callback, bool call_if_connected,
                                     const char* where, const char* missing);

    // All below: `mutex` held.
    void terminate_excess_pending_connections(Released& released);
    // A client leg leaving the tables for good: held on the dormant list when
    // it got as far as TLS, else released at once.
    void retire_client(const client_ptr& leg, Released& released);
    // Closes the pending client legs other than leg that wait or negotiate
    // for the session (the callback's owner, the admitted and the joined leg).
    void displace_clients(const std::string& session_id, const server_ptr& server, const client_ptr& leg,
                          Released& released);
    void close_pending_client(const std::string& session_id, const client_ptr& leg, Released& released);
    // The server leg filed under the id: tagged, else resumable, else established.
    server_ptr filed_server(const std::string& session_id) const;
    int move_established_to_resumable_locked(const std::string& session_id, Released& released);
    int restart_server_connection_locked(const std::string& session_id, Released& released);
    // Whether owner holds the turn of the session's tagged leg.
    bool holds_turn(const server_ptr& server, const std::weak_ptr<SSIGClientConnection>& owner) const;
    // The closes at deadlines since the last sweep, as one record.
    void log_deadline_closes();
    void add_dormant_connection(const pair_ptr& pair);
    void add_dormant_connection(const client_ptr& leg);
    void add_dormant_connection(const server_ptr& leg);
    void release_dormant_connections(Released& released);
    void close_server_connection(const std::string& session_id);
    void close_pending_client_connection(const std::string& session_id, Released& released);
    void move_to_resumable(const std::string& session_id, Released& released);
    void erase_callback(const std::string& session_id, Released& released);
    void erase_callback_of(const std::string& session_id, const client_ptr& owner,
                           Released& released);
    bool holds(const std::string& session_id, const SSIGServerConnection* leg) const;
    // Stops and forgets every pair, pending and tagged leg.
    void stop_sessions(Released& released);
    // Forgets the resumable legs and the server-connected callbacks, uncalled.
    void forget_resumable(Released& released);

    std::string sni;
    std::unique_ptr<SSIGServerSSL> ssl;
    std::unique_ptr<SSIGLegContexts> leg_contexts;
    boost::asio::io_context& main_loop;
    boost::asio::io_context& aux_loop;
    const Timing timing;
    const SSIGLegTimings leg_timings;

    // Accept strand only.
    boost::asio::strand<boost::asio::io_context::executor_type> accept_strand;
    tcp::acceptor acceptor;
    std::shared_ptr<tcp::socket> next_socket;
    boost::asio::steady_timer accept_retry_timer;
    unsigned short listen_port = 0;

    logger_t lg;

    std::mutex mutex;
    std::unique_ptr<boost::asio::steady_timer> sweep_timer;
    bool stopped = false;
    std::unordered_map<std::string, server_ptr> tagged;
    std::unordered_map<std::string, server_ptr> resumable;
    std::unordered_set<client_ptr> pending;
    std::unordered_map<std::string, pair_ptr> established;
    std::unordered_map<std::string, ConnectedCallback> callbacks;
    // Every server leg ever filed, by rtag text, while it exists: a leg can
    // outlive the tables (dormant lists, tunnels holding it), and the broker's
    // removal must silence it wherever it is.
    std::unordered_multimap<std::string, std::weak_ptr<SSIGServerConnection>> legs_by_rtag;
    boost::shared_ptr<UDPServer> udp;
    const uint64_t max_connections;
    const uint64_t slack;
    std::deque<Dormant<SSIGConnection>> dormant_pairs;
    std::deque<Dormant<SSIGClientConnection>> dormant_clients;
    std::deque<Dormant<SSIGServerConnection>> dormant_servers;

    // Client legs closed at their deadlines, counted by the legs.
    std::atomic<uint64_t> closed_without_tls{0};
    std::atomic<uint64_t> closed_without_frame{0};
    std::atomic<uint64_t> closed_after_fail{0};
};

}  // namespace vexa
