// The media relay: a client-facing ("external") and a server-facing
// ("internal") UDP socket, a buffer pool per receiving side, four relay
// threads, the tunnel maps of both directions, the 5-second inactivity check
// and the statistics.
//
// Threads: the four relay threads (receive from clients, receive from
// servers, send to clients, send to servers; a receive thread forwards
// itself while its direction is idle, see PacketForwarderPool); set-up on
// main-loop threads;
// removal and statistics on the control thread; the check on the auxiliary
// loop's thread. Each direction has one mutex over its three maps and its
// high-water mark; no operation holds both. The check calls the tunnels'
// state and termination callbacks with that direction's mutex held, so they
// must not call back into the relay; what they throw is logged and stops
// neither the check nor its timer.
#pragma once

#include "Log.h"
#include "PacketForwarder.h"
#include "PacketForwarderPool.h"
#include "SessionState.h"
#include "UDPConnection.h"

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/unordered_map.hpp>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vexa {

class UDPServer : public boost::enable_shared_from_this<UDPServer> {
public:
    using PacketForwarder = vexa::PacketForwarder;
    using PacketForwarderPool = vexa::PacketForwarderPool;
    using endpoint = boost::asio::ip::udp::endpoint;
    using spi_map_t = PacketForwarderPool::spi_map_t;
    using session_map_t = boost::unordered_map<std::string, boost::shared_ptr<UDPConnection>>;
    using tunnel_ptr = boost::shared_ptr<UDPConnection>;

    enum eENDPOINT_TYPE { UDP_CLIENT = 0, UDP_SERVER = 1 };

    static const std::string stats_sessions_tag;      // "sessions"
    static const std::string stats_sessions_hwm_tag;  // "sessions_hwm"
    static constexpr int CHECK_INTERVAL_SECONDS = 5;

    // Binds both sockets; throws when an address is no IP address or a
    // socket cannot be made or bound. Port "0" binds an ephemeral port.
    // inline_backlog: the pools' (PacketForwarderPool::INLINE_BACKLOG).
    UDPServer(boost::asio::io_service& loop, const std::string& external_ip,
              const std::string& external_port, const std::string& internal_ip,
              const std::string& internal_port,
              unsigned inline_backlog = PacketForwarderPool::INLINE_BACKLOG);
    ~UDPServer();

    UDPServer(const UDPServer&) = delete;
    UDPServer& operator=(const UDPServer&) = delete;

    // Starts the four relay threads and arms the check.
    void start();
    // Ends the four threads and the check (the process itself never stops
    // the relay; in-process users do).
    void stop();

    // The ports the sockets are bound to.
    uint16_t get_external_port() const;
    uint16_t get_internal_port() const;

    tunnel_ptr setup_client_to_server_tunnel(const endpoint& target, unsigned spi, unsigned salt,
                                             const std::vector<char>& key, unsigned clear_header,
                                             unsigned resume_timeout, const std::string& rtag,
                                             const std::string& connection_id,
                                             const std::string& session_id,
                                             const std::string& session_log_id,
                                             boost::function<void(eSESSION_STATE)> state_changed,
                                             boost::function<void(const std::string&)> terminated);
    tunnel_ptr setup_server_to_client_tunnel(const endpoint& target, unsigned spi, unsigned salt,
                                             const std::vector<char>& key, unsigned clear_header,
                                             unsigned resume_timeout, const std::string& rtag,
                                             const std::string& connection_id,
                                             const std::string& session_id,
                                             const std::string& session_log_id,
                                             boost::function<void(eSESSION_STATE)> state_changed,
                                             boost::function<void(const std::string&)> terminated);
    // Removes the session's tunnels without reporting; the count of
    // directions that had one in service.
    unsigned remove_udp_connection(const std::string& rtag);
    bool session_tracked(const std::string& session_id);

    std::map<std::string, std::string> get_statistics();
    void populate_json_session_statistics(std::string& out);
    void populate_json_session_statistics(std::string& out, time_t now);

    // The check timer's handler; one call is one tick.
    void handle_periodic(const boost::system::error_code& error);

    // The receiving sides, for feeding datagrams in directly.
    PacketForwarderPool& get_client_pool() { return client_pool; }
    PacketForwarderPool& get_server_pool() { return server_pool; }

    // Socket buffer sizes in bytes from the KiB settings, clamped.
    static int rx_buffer_bytes(const std::string& kib);
    static int tx_buffer_bytes(const std::string& kib);

private:
    struct Words;
    static const Words client_to_server_words;
    static const Words server_to_client_words;

    tunnel_ptr setup_tunnel(const Words& words, std::mutex& mutex, spi_map_t& plain, spi_map_t& clear,
                            session_map_t& sessions, uint64_t& hwm, const endpoint& target,
                            unsigned spi, unsigned salt, const std::vector<char>& key,
                            unsigned clear_header, unsigned resume_timeout, const std::string& rtag,
                            const std::string& connection_id, const std::string& session_id,
                            const std::string& session_log_id,
                            boost::function<void(eSESSION_STATE)> state_changed,
                            boost::function<void(const std::string&)> terminated);
    unsigned remove_from(const char* side, std::mutex& mutex, spi_map_t& plain, spi_map_t& clear,
                         session_map_t& sessions, const std::string& rtag,
                         std::vector<tunnel_ptr>& released);
    void handle_periodic_udp_active(std::mutex& mutex, spi_map_t& spi_map, session_map_t& sessions,
                                    eENDPOINT_TYPE side, const char* tag);
    void handle_periodic_udp_inactive(std::mutex& mutex, session_map_t& sessions, eENDPOINT_TYPE side);
    void bind_socket(int socket, const char* which, const std::string& ip, uint16_t port, int rx, int tx);

    static void read_thread(boost::shared_ptr<UDPServer> self, PacketForwarderPool* pool, int socket);
    static void write_thread(boost::shared_ptr<UDPServer> self, PacketForwarderPool* pool);

    int external_socket;
    int internal_socket;
    boost::asio::ip::address external_address;
    boost::asio::ip::address internal_address;
    uint16_t external_port;
    uint16_t internal_port;
    boost::asio::io_service& loop;
    boost::asio::steady_timer check_timer;

    std::mutex server_mutex;
    spi_map_t server_spi_map;
    spi_map_t server_spi_clear_map;
    session_map_t server_session_map;
    uint64_t server_hwm;

    std::mutex client_mutex;
    spi_map_t client_spi_map;
    spi_map_t client_spi_clear_map;
    session_map_t client_session_map;
    uint64_t client_hwm;

    logger_t lg;
    bool roaming;
    PacketForwarderPool client_pool;
    PacketForwarderPool server_pool;

    std::vector<std::thread> threads;
    std::atomic<bool> stopping;
};

}  // namespace vexa
