#include "UDPServer.h"

#include "Config.h"
#include "DeferredLog.h"

#include <boost/asio/placeholders.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ios>
#include <set>
#include <stdexcept>

using boost::log::trivial::debug;
using boost::log::trivial::error;
using boost::log::trivial::info;
using boost::log::trivial::trace;
using boost::log::trivial::warning;

namespace vexa {

const std::string UDPServer::stats_sessions_tag = "sessions";
const std::string UDPServer::stats_sessions_hwm_tag = "sessions_hwm";

// The texts that tell the two directions apart in set-up records.
struct UDPServer::Words {
    const char* function;
    const char* duplicate;
    const char* resumed;
    const char* setup;
    const char* peer;
    const char* failed;
};

const UDPServer::Words UDPServer::client_to_server_words = {
    "setup_client_to_server_tunnel",
    "Failed to setup a Kavri client to server UDP tunnel due to duplicate ",
    ": Using an existing client-to-server UDP tunnel for the resumed connection - session = ",
    "Setup a client to server UDP tunnel - spi=",
    " server=",
    "*** UDPServer::Failed to create a client to server UDP tunnel: ",
};

const UDPServer::Words UDPServer::server_to_client_words = {
    "setup_server_to_client_tunnel",
    "Failed to setup a Kavri server to client UDP tunnel due to duplicate ",
    ": Using an existing server-to-client UDP tunnel for the resumed connection - session=",
    "Setup a server to client UDP tunnel - spi=",
    " client=",
    "*** UDPServer::Failed to create a server to client UDP tunnel: ",
};

namespace {

// The SPI as messages print it: the wire bytes read big-endian, in hex.
struct SpiText {
    uint32_t wire;
};

std::ostream& operator<<(std::ostream& os, SpiText s)
{
    return os << std::hex << ntohl(s.wire) << std::dec;
}

boost::log::formatting_ostream& operator<<(boost::log::formatting_ostream& os, SpiText s)
{
    os.stream() << s;
    return os;
}

long config_number(const char* key)
{
    return std::strtol(Config::get_instance()->get(key).c_str(), nullptr, 10);
}

uint16_t parse_port(const std::string& text)
{
    return static_cast<uint16_t>(std::strtol(text.c_str(), nullptr, 10));
}

boost::asio::ip::address parse_address(const std::string& text, const char* which)
{
    boost::system::error_code ec;
    boost::asio::ip::address a = boost::asio::ip::make_address(text, ec);
    if (ec)
        throw std::runtime_error(std::string("UDPServer: the ") + which + " address \"" + text +
                                 "\" is no IP address");
    return a;
}

int make_socket(const char* which)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        throw std::runtime_error(std::string("UDPServer: cannot create the ") + which +
                                 " UDP socket: " + std::strerror(errno));
    return fd;
}

std::string json_escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        // The text travels inside the control channel's XML.
        case '<': out += "\\u003c"; break;
        case '>': out += "\\u003e"; break;
        case '&': out += "\\u0026"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

void append_counters(std::string& out, const std::map<std::string, SessionStatistics>& table,
                     const std::string& key, time_t now)
{
    auto it = table.find(key);
    if (it == table.end())
        return;
    const SessionStatistics& s = it->second;
    auto field = [&out](const char* name, uint64_t value, bool first) {
        if (!first)
            out += ",";
        out += "\"";
        out += name;
        out += "\":";
        out += std::to_string(value);
    };
    field("packet-count", SessionStatistics::get(s.packet_count), true);
    field("packet-bytes", SessionStatistics::get(s.packet_bytes), false);
    field("imaging-count", SessionStatistics::get(s.imaging_count), false);
    field("imaging-bytes", SessionStatistics::get(s.imaging_bytes), false);
    field("audio-count", SessionStatistics::get(s.audio_count), false);
    field("audio-bytes", SessionStatistics::get(s.audio_bytes), false);
    field("out-of-order", SessionStatistics::get(s.out_of_order), false);
    const time_t start = SessionStatistics::get(s.session_start);
    if (start != 0)
        out += ",\"session-time\":" + std::to_string(static_cast<long long>(now - start));
    const time_t last = SessionStatistics::get(s.last_packet_time);
    if (last != 0)
        out += ",\"recent-time\":" + std::to_string(static_cast<long long>(now - last));
}

const char* side_text(UDPServer::eENDPOINT_TYPE side)
{
    return side == UDPServer::UDP_CLIENT ? "UDP client" : "UDP server";
}

}  // namespace

int UDPServer::rx_buffer_bytes(const std::string& kib)
{
    long v = std::strtol(kib.c_str(), nullptr, 10);
    if (v > 4096)
        v = 4096;
    else if (v <= 255)
        v = 256;
    return static_cast<int>(v * 1024);
}

int UDPServer::tx_buffer_bytes(const std::string& kib)
{
    long v = std::strtol(kib.c_str(), nullptr, 10);
    if (v > 2048)
        v = 2048;
    else if (v <= 127)
        v = 128;
    return static_cast<int>(v * 1024);
}

UDPServer::UDPServer(boost::asio::io_service& event_loop, const std::string& external_ip,
                     const std::string& external_port_text, const std::string& internal_ip,
                     const std::string& internal_port_text, unsigned inline_backlog)
    : external_socket(-1),
      internal_socket(-1),
      external_port(parse_port(external_port_text)),
      internal_port(parse_port(internal_port_text)),
      loop(event_loop),
      check_timer(event_loop),
      server_hwm(0),
      client_hwm(0),
      roaming(false),
      client_pool(1024, "Client", client_mutex, client_spi_map, client_spi_clear_map,
                  &UDPConnection::set_client_peer, &UDPConnection::get_client_peer, internal_socket,
                  inline_backlog),
      server_pool(4096, "Server", server_mutex, server_spi_map, server_spi_clear_map,
                  &UDPConnection::set_server_peer, &UDPConnection::get_server_peer, external_socket,
                  inline_backlog),
      stopping(false)
{
    try {
        external_socket = make_socket("external");
        internal_socket = make_socket("internal");
        external_address = parse_address(external_ip, "external");
        internal_address = parse_address(internal_ip, "internal");
        // A steady clock: a wall-clock step must not fire a burst of checks.
        check_timer.expires_after(std::chrono::seconds(CHECK_INTERVAL_SECONDS));

        roaming = config_number("EnableRoamingIP") != 0;
        BOOST_LOG_SEV(lg, info) << "Roaming IP Address feature Enabled = " << (roaming ? 1 : 0);
        BOOST_LOG_SEV(lg, trace) << "Network activity check interval = " << CHECK_INTERVAL_SECONDS;

        Config* config = Config::get_instance();
        const int rx = rx_buffer_bytes(config->get("UdpSocketRxBufSize"));
        const int tx = tx_buffer_bytes(config->get("UdpSocketTxBufSize"));
        bind_socket(external_socket, "external", external_ip, external_port, rx, tx);
        bind_socket(internal_socket, "internal", internal_ip, internal_port, rx, tx);
    } catch (...) {
        if (external_socket >= 0)
            close(external_socket);
        if (internal_socket >= 0)
            close(internal_socket);
        throw;
    }
}

UDPServer::~UDPServer()
{
    // Only reached once stop() has joined the threads (they hold the relay).
    for (auto& t : threads)
        if (t.joinable())
            t.detach();
    // Break the directions' references to each other through peer_learnt,
    // so the tunnels go with their maps.
    for (session_map_t* m : {&server_session_map, &client_session_map})
        for (auto& kv : *m)
            kv.second->set_peer_learnt(UDPConnection::peer_learnt_t());
    for (spi_map_t* m : {&server_spi_map, &server_spi_clear_map, &client_spi_map, &client_spi_clear_map})
        for (auto& kv : *m)
            kv.second->set_peer_learnt(UDPConnection::peer_learnt_t());
    close(external_socket);
    close(internal_socket);
}

void UDPServer::bind_socket(int fd, const char* which, const std::string& ip, uint16_t port, int rx,
                            int tx)
{
    // The kernel caps the sizes at its own limits; a refusal is no reason to
    // run without a relay.
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rx, sizeof rx);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &tx, sizeof tx);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        BOOST_LOG_SEV(lg, warning) << "UDPServer: the " << which << " address " << ip
                                   << " is no IPv4 address; the socket is bound to 0.0.0.0";
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const std::string reason = std::strerror(errno);
        BOOST_LOG_SEV(lg, error) << "relay " << which << " UDP socket " << ip << ":" << port
                                 << ": bind: " << reason;
        throw std::runtime_error(std::string("UDPServer: cannot bind the ") + which + " UDP socket to " +
                                 ip + ":" + std::to_string(port) + ": " + reason);
    }
}

namespace {

uint16_t bound_port(int fd)
{
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

}  // namespace

uint16_t UDPServer::get_external_port() const
{
    return bound_port(external_socket);
}

uint16_t UDPServer::get_internal_port() const
{
    return bound_port(internal_socket);
}

void UDPServer::read_thread(boost::shared_ptr<UDPServer> self, PacketForwarderPool* pool, int socket)
{
    pthread_setname_np(pthread_self(), pool == &self->client_pool ? "udp-rd-client" : "udp-rd-server");
    while (pool->read_packet_from(socket)) {
    }
}

void UDPServer::write_thread(boost::shared_ptr<UDPServer> self, PacketForwarderPool* pool)
{
    pthread_setname_np(pthread_self(), pool == &self->client_pool ? "udp-wr-server" : "udp-wr-client");
    while (pool->process_and_forward_packet()) {
    }
}

void UDPServer::start()
{
    boost::shared_ptr<UDPServer> self = shared_from_this();
    // read_from_client, read_from_server, write_to_client, write_to_server.
    threads.emplace_back(&UDPServer::read_thread, self, &client_pool, external_socket);
    threads.emplace_back(&UDPServer::read_thread, self, &server_pool, internal_socket);
    threads.emplace_back(&UDPServer::write_thread, self, &server_pool);
    threads.emplace_back(&UDPServer::write_thread, self, &client_pool);
    check_timer.async_wait(
        boost::bind(&UDPServer::handle_periodic, self, boost::asio::placeholders::error));
}

void UDPServer::stop()
{
    if (stopping.exchange(true))
        return;
    client_pool.stop();
    server_pool.stop();
    // Wakes a receive blocked in recvfrom (close would not).
    shutdown(external_socket, SHUT_RD);
    shutdown(internal_socket, SHUT_RD);
    for (auto& t : threads)
        if (t.joinable() && t.get_id() != std::this_thread::get_id())
            t.join();
    threads.clear();
    boost::weak_ptr<UDPServer> weak = weak_from_this();
    boost::asio::post(loop, [weak] {
        if (boost::shared_ptr<UDPServer> self = weak.lock())
            self->check_timer.cancel();
    });
}

// ---- tunnel registry ----

UDPServer::tunnel_ptr UDPServer::setup_client_to_server_tunnel(
    const endpoint& target, unsigned spi, unsigned salt, const std::vector<char>& key,
    unsigned clear_header, unsigned resume_timeout, const std::string& rtag,
    const std::string& connection_id, const std::string& session_id,
    const std::string& session_log_id, boost::function<void(eSESSION_STATE)> state_changed,
    boost::function<void(const std::string&)> terminated)
{
    return setup_tunnel(client_to_server_words, client_mutex, client_spi_map, client_spi_clear_map,
                        client_session_map, client_hwm, target, spi, salt, key, clear_header,
                        resume_timeout, rtag, connection_id, session_id, session_log_id,
                        std::move(state_changed), std::move(terminated));
}

UDPServer::tunnel_ptr UDPServer::setup_server_to_client_tunnel(
    const endpoint& target, unsigned spi, unsigned salt, const std::vector<char>& key,
    unsigned clear_header, unsigned resume_timeout, const std::string& rtag,
    const std::string& connection_id, const std::string& session_id,
    const std::string& session_log_id, boost::function<void(eSESSION_STATE)> state_changed,
    boost::function<void(const std::string&)> terminated)
{
    return setup_tunnel(server_to_client_words, server_mutex, server_spi_map, server_spi_clear_map,
                        server_session_map, server_hwm, target, spi, salt, key, clear_header,
                        resume_timeout, rtag, connection_id, session_id, session_log_id,
                        std::move(state_changed), std::move(terminated));
}

UDPServer::tunnel_ptr UDPServer::setup_tunnel(
    const Words& words, std::mutex& mutex, spi_map_t& plain, spi_map_t& clear,
    session_map_t& sessions, uint64_t& hwm, const endpoint& target, unsigned spi, unsigned salt,
    const std::vector<char>& key, unsigned clear_header, unsigned resume_timeout,
    const std::string& rtag, const std::string& connection_id, const std::string& session_id,
    const std::string& session_log_id, boost::function<void(eSESSION_STATE)> state_changed,
    boost::function<void(const std::string&)> terminated)
{
    spi_map_t& chosen = clear_header != 0 ? clear : plain;
    const char* clear_text = clear_header != 0 ? " (clear)" : "";
    auto log_duplicate = [&](const char* what) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_LOG_ID(session_log_id) << words.duplicate << what
                                << SpiText{spi} << "]: " << endpoint_text(target);
    };
    auto log_setup = [&](const endpoint& to) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_LOG_ID(session_log_id) << words.setup
                                << SpiText{spi} << words.peer << endpoint_text(to) << clear_text;
        // The relay's sockets are IPv4: such a tunnel counts but never forwards.
        if (!to.address().is_v4())
            BOOST_LOG_SEV(lg, warning) << VEXA_LOG_SESSION_LOG_ID(session_log_id) << words.function
                                       << ": the target " << endpoint_text(to)
                                       << " is no IPv4 address; datagrams for it are not forwarded";
    };

    tunnel_ptr made;
    bool filed = false;
    try {
        tunnel_ptr existing;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (chosen.count(spi) == 0) {
                auto it = sessions.find(session_id);
                if (it != sessions.end())
                    existing = it->second;
            } else {
                filed = true;  // nothing of ours to clean up: a plain duplicate
            }
        }
        if (filed) {
            log_duplicate("SPI [");
            return tunnel_ptr();
        }

        if (existing) {
            // Resumption: rekey the session's tunnel in place under the new SPI.
            BOOST_LOG_SEV(lg, trace) << VEXA_LOG_SESSION_LOG_ID(session_log_id) << words.function
                                     << words.resumed << session_id << clear_text;
            // Made before anything changes, so a failure leaves the tunnel as it was.
            boost::shared_ptr<AESGCM> engine = AESGCM::create(key, salt);
            bool duplicate = false, resumed = false, released = false;
            uint32_t old_spi = 0;
            endpoint to;
            {
                std::lock_guard<std::mutex> lock(mutex);
                auto it = sessions.find(session_id);
                if (chosen.count(spi) != 0) {
                    duplicate = true;
                } else if (it != sessions.end() && it->second == existing) {
                    old_spi = existing->get_spi();
                    chosen.emplace(spi, existing);  // the only step that can throw
                    // Release the old entry only if it is still this tunnel's,
                    // from whichever map holds it.
                    for (spi_map_t* m : {&plain, &clear}) {
                        if (m == &chosen && old_spi == spi)
                            continue;
                        auto old = m->find(old_spi);
                        if (old != m->end() && old->second == existing) {
                            m->erase(old);
                            released = true;
                        }
                    }
                    existing->mark_activity();
                    existing->set_first_datagram(true);
                    existing->replace_authenticator(engine);
                    existing->set_spi(spi);
                    existing->set_clear_header(clear_header);
                    existing->set_in_service(true);
                    hwm = std::max<uint64_t>(hwm, plain.size() + clear.size());
                    to = existing->get_target_endpoint();
                    resumed = true;
                }
                // Else the tunnel was removed meanwhile: make a new one below.
            }
            if (duplicate) {
                log_duplicate("SPI [");
                return tunnel_ptr();
            }
            if (resumed) {
                if (released)
                    BOOST_LOG_SEV(lg, trace) << VEXA_LOG_SESSION_LOG_ID(session_log_id) << words.function
                                             << ": Releasing previous SPI " << SpiText{old_spi}
                                             << " for session " << session_id;
                log_setup(to);
                return existing;
            }
        }

        made.reset(new UDPConnection(target, salt, key, clear_header, rtag, connection_id, session_id,
                                     session_log_id, spi, roaming, resume_timeout,
                                     std::move(state_changed), std::move(terminated)));
        const char* lost = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            // Another set-up may have filed the SPI or the session meanwhile.
            if (chosen.count(spi) != 0) {
                lost = "SPI [";
            } else if (sessions.count(session_id) != 0) {
                lost = "session for SPI [";
            } else {
                sessions.emplace(session_id, made);
                try {
                    chosen.emplace(spi, made);
                } catch (...) {
                    sessions.erase(session_id);
                    throw;
                }
                filed = true;
                hwm = std::max<uint64_t>(hwm, plain.size() + clear.size());
            }
        }
        if (lost) {
            made->clear_callbacks();  // its release must report nothing
            log_duplicate(lost);
            return tunnel_ptr();
        }
        log_setup(target);
        return made;
    } catch (const std::exception& e) {
        if (made && !filed)
            made->clear_callbacks();
        BOOST_LOG_SEV(lg, error) << VEXA_LOG_SESSION_LOG_ID(session_log_id) << words.failed << e.what();
        return tunnel_ptr();
    }
}

unsigned UDPServer::remove_from(const char* side, std::mutex& mutex, spi_map_t& plain,
                                spi_map_t& clear, session_map_t& sessions, const std::string& rtag,
                                std::vector<tunnel_ptr>& released)
{
    unsigned count = 0;
    DeferredLog deferred(lg);
    std::lock_guard<std::mutex> lock(mutex);
    auto find_rtag = [&rtag](spi_map_t& m) {
        return std::find_if(m.begin(), m.end(), [&rtag](const spi_map_t::value_type& kv) {
            return kv.second->get_rtag() == rtag;
        });
    };
    spi_map_t* map = &plain;
    auto it = find_rtag(plain);
    if (it == plain.end()) {
        map = &clear;
        it = find_rtag(clear);
    }
    if (it != map->end()) {
        const tunnel_ptr conn = it->second;
        const bool is_clear = map == &clear;
        deferred.add(debug, conn->get_session_log_id(), [&](boost::log::record_ostream& o) {
            o << "===> removing a UDP " << side << (is_clear ? " clear connection" : " connection");
        });
        conn->clear_callbacks();
        released.push_back(conn);
        map->erase(it);
        count = 1;
    }
    auto s = std::find_if(sessions.begin(), sessions.end(), [&rtag](const session_map_t::value_type& kv) {
        return kv.second->get_rtag() == rtag;
    });
    if (s != sessions.end()) {
        const tunnel_ptr conn = s->second;
        const std::string key = s->first;
        deferred.add(debug, conn->get_session_log_id(), [&](boost::log::record_ostream& o) {
            o << "===> removing a UDP " << side << " session: " << key;
        });
        // A parked tunnel is only here: it must not report, nor keep the
        // other direction alive through peer_learnt.
        conn->clear_callbacks();
        released.push_back(conn);
        sessions.erase(s);
    }
    return count;
}

unsigned UDPServer::remove_udp_connection(const std::string& rtag)
{
    BOOST_LOG_SEV(lg, trace) << "===> UDPServer::remove_udp_connection";
    // Released after both mutexes, so their destruction logs nothing under them.
    std::vector<tunnel_ptr> released;
    unsigned count = remove_from("server", server_mutex, server_spi_map, server_spi_clear_map,
                                 server_session_map, rtag, released);
    count += remove_from("client", client_mutex, client_spi_map, client_spi_clear_map,
                         client_session_map, rtag, released);
    BOOST_LOG_SEV(lg, debug) << "UDPServer::remove_udp_connection: Removed " << count << " tunnels)";
    return count;
}

bool UDPServer::session_tracked(const std::string& session_id)
{
    {
        std::lock_guard<std::mutex> lock(server_mutex);
        if (server_session_map.count(session_id) != 0)
            return true;
    }
    std::lock_guard<std::mutex> lock(client_mutex);
    return client_session_map.count(session_id) != 0;
}

// ---- inactivity check ----

void UDPServer::handle_periodic(const boost::system::error_code& error)
{
    if (error || stopping.load())
        return;
    // The tunnels contain their callbacks' exceptions; anything else a walk
    // throws is logged, the other walks still run and the timer is re-armed:
    // an exception leaving this handler would end the check for good.
    auto guarded = [this](auto&& walk) {
        try {
            walk();
        } catch (const std::exception& e) {
            BOOST_LOG_SEV(lg, boost::log::trivial::error) << "*** UDPServer::handle_periodic: " << e.what();
        } catch (...) {
            BOOST_LOG_SEV(lg, boost::log::trivial::error) << "*** UDPServer::handle_periodic: unknown exception";
        }
    };
    guarded([this] { handle_periodic_udp_inactive(server_mutex, server_session_map, UDP_SERVER); });
    guarded([this] {
        handle_periodic_udp_active(server_mutex, server_spi_map, server_session_map, UDP_SERVER,
                                   " (no-clear-hdr)");
    });
    guarded([this] {
        handle_periodic_udp_active(server_mutex, server_spi_clear_map, server_session_map, UDP_SERVER, "");
    });
    guarded([this] { handle_periodic_udp_inactive(client_mutex, client_session_map, UDP_CLIENT); });
    guarded([this] {
        handle_periodic_udp_active(client_mutex, client_spi_map, client_session_map, UDP_CLIENT,
                                   " (no-clear-hdr)");
    });
    guarded([this] {
        handle_periodic_udp_active(client_mutex, client_spi_clear_map, client_session_map, UDP_CLIENT, "");
    });
    // A fixed grid: previous expiry + 5 s, not 5 s from now.
    check_timer.expires_at(check_timer.expiry() + std::chrono::seconds(CHECK_INTERVAL_SECONDS));
    check_timer.async_wait(
        boost::bind(&UDPServer::handle_periodic, shared_from_this(), boost::asio::placeholders::error));
}

void UDPServer::handle_periodic_udp_active(std::mutex& mutex, spi_map_t& spi_map,
                                           session_map_t& sessions, eENDPOINT_TYPE side,
                                           const char* tag)
{
    const char* who = side_text(side);
    std::vector<tunnel_ptr> released;
    DeferredLog deferred(lg);
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = spi_map.begin(); it != spi_map.end();) {
        const tunnel_ptr conn = it->second;
        const std::string& sid = conn->get_session_id();
        const std::string& log_id = conn->get_session_log_id();
        if (!conn->is_active()) {
            conn->set_in_service(false);
            // A datagram that marked activity since is_active() and still
            // finds the tunnel in service is forwarded: the send path tests
            // in_service after marking, so its mark is seen here and the
            // tunnel stays in service, as after any traffic.
            if (conn->take_activity()) {
                conn->set_in_service(true);
                ++it;
                continue;
            }
            conn->set_first_datagram(true);
            if (conn->get_resume_ticks() == 0) {
                auto s = sessions.find(sid);
                if (s != sessions.end()) {
                    deferred.add(trace, log_id, [&](boost::log::record_ostream& o) {
                        o << "handle_periodic_udp_active" << ": Removing inactive non-resumable " << who
                          << " connection: " << sid << tag;
                    });
                    s->second->notify_termination("ConnectionTimeout");
                    s->second->clear_callbacks();
                    released.push_back(s->second);
                    sessions.erase(s);
                }
                released.push_back(conn);
            } else {
                deferred.add(trace, log_id, [&](boost::log::record_ostream& o) {
                    o << "handle_periodic_udp_active" << ": Removing inactive resumable " << who
                      << " connection: " << sid << tag;
                });
                deferred.add(info, log_id, [&](boost::log::record_ostream& o) {
                    o << "handle_periodic_udp_active"
                      << ": ---SS---> Changing the session state to PENDING_RESUME - " << sid;
                });
                conn->set_udp_session_state(PENDING_RESUME);
            }
            it = spi_map.erase(it);
            continue;
        }
        if (conn->get_idle_time_seconds() != 0) {
            if (conn->get_udp_session_state() != INTERRUPTED) {
                deferred.add(info, log_id, [&](boost::log::record_ostream& o) {
                    o << "handle_periodic_udp_active" << ": Detected loss of UDP traffic from " << who
                      << " for session " << sid;
                });
                deferred.add(info, log_id, [&](boost::log::record_ostream& o) {
                    o << "handle_periodic_udp_active"
                      << ": ---SS---> Changing the session state to INTERRUPTED - " << sid;
                });
                conn->set_udp_session_state(INTERRUPTED);
            }
        } else if (conn->get_udp_session_state() != ACTIVE) {
            deferred.add(info, log_id, [&](boost::log::record_ostream& o) {
                o << "handle_periodic_udp_active" << ": Detected UDP traffic from " << who
                  << " for session " << sid;
            });
            deferred.add(info, log_id, [&](boost::log::record_ostream& o) {
                o << "handle_periodic_udp_active" << ": ---SS---> Changing the session state to ACTIVE - "
                  << sid;
            });
            conn->set_udp_session_state(ACTIVE);
        }
        ++it;
    }
}

void UDPServer::handle_periodic_udp_inactive(std::mutex& mutex, session_map_t& sessions,
                                             eENDPOINT_TYPE side)
{
    const char* who = side_text(side);
    std::vector<tunnel_ptr> released;
    DeferredLog deferred(lg);
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = sessions.begin(); it != sessions.end();) {
        const tunnel_ptr conn = it->second;
        // Counted apart from activity: a datagram that slips into a parked
        // tunnel must not restart its resume period.
        if (conn->is_in_service() || !conn->is_parked_period_expired()) {
            ++it;
            continue;
        }
        deferred.add(trace, conn->get_session_log_id(), [&](boost::log::record_ostream& o) {
            o << "handle_periodic_udp_inactive" << ": Removing resumable " << who
              << " session: " << conn->get_session_id();
        });
        conn->notify_termination("ConnectionTimeout");
        conn->clear_callbacks();
        released.push_back(conn);
        it = sessions.erase(it);
    }
}

// ---- statistics ----

std::map<std::string, std::string> UDPServer::get_statistics()
{
    size_t server_count, client_count;
    uint64_t server_mark, client_mark;
    {
        std::lock_guard<std::mutex> lock(server_mutex);
        server_count = server_spi_map.size() + server_spi_clear_map.size();
        server_mark = server_hwm;
    }
    {
        std::lock_guard<std::mutex> lock(client_mutex);
        client_count = client_spi_map.size() + client_spi_clear_map.size();
        client_mark = client_hwm;
    }
    std::map<std::string, std::string> out;
    out[stats_sessions_tag] = std::to_string(std::max(server_count, client_count));
    out[stats_sessions_hwm_tag] = std::to_string(std::max(server_mark, client_mark));
    return out;
}

void UDPServer::populate_json_session_statistics(std::string& out)
{
    populate_json_session_statistics(out, std::time(nullptr));
}

void UDPServer::populate_json_session_statistics(std::string& out, time_t now)
{
    std::set<std::string> keys;
    std::map<std::string, SessionStatistics> server_table, client_table;
    auto copy_side = [&keys](std::mutex& mutex, spi_map_t& plain, spi_map_t& clear,
                             std::map<std::string, SessionStatistics>& table) {
        std::lock_guard<std::mutex> lock(mutex);
        for (spi_map_t* m : {&plain, &clear})
            for (const auto& kv : *m) {
                keys.insert(kv.second->get_connection_id());
                table[kv.second->get_connection_id()] = kv.second->stats;
            }
    };
    copy_side(server_mutex, server_spi_map, server_spi_clear_map, server_table);
    copy_side(client_mutex, client_spi_map, client_spi_clear_map, client_table);

    std::string text = "{";
    bool first = true;
    for (const std::string& key : keys) {
        if (!first)
            text += ",";
        first = false;
        text += "\"" + json_escape(key) + "\":{ \"server-stats\": {";
        append_counters(text, server_table, key, now);
        text += "}, \"client-stats\": {";
        append_counters(text, client_table, key, now);
        text += "} }";
    }
    text += "}";
    out.swap(text);
}

}  // namespace vexa
