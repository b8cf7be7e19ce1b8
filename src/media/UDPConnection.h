// One direction of a session's media tunnel: the AES-GCM engine that checks
// its datagrams, the destination they are forwarded to, the peers a roaming
// tunnel has seen, the session state it reports and two callbacks into the
// signalling gateway.
//
// Threads: the thread forwarding the direction's datagrams (authenticate,
// counters, peer learning, ACTIVE): its pool's receive thread or send
// thread, one at a time (PacketForwarderPool); the other direction's
// forwarding thread (set_target_endpoint through peer_learnt), a main-loop
// thread (set-up, rekey), the auxiliary thread (5-second check) and the
// control thread (removal, statistics).
// `guard` protects the fields that are not word-sized: target, peers,
// authenticator, its key generation and the three callbacks. It is a leaf: no
// callback runs and nothing else is locked while it is held. state,
// first_datagram, in_service, clear_header and spi are atomics; the counters
// are relaxed atomics. The sequence window (the highest sequence number
// accepted and the key generation it belongs to) belongs to the forwarding
// thread, which the pool's hand-over orders: a rekey only advances the
// generation, and the window starts afresh at the first datagram checked
// with the new key.
#pragma once

#include "AESGCM.h"
#include "IdleMonitored.h"
#include "Log.h"
#include "SessionState.h"
#include "SessionStatistics.h"

#include <boost/asio/ip/udp.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vexa {

class UDPConnection : public IdleMonitored {
public:
    using endpoint = boost::asio::ip::udp::endpoint;
    using peer_learnt_t = boost::function<void(const endpoint&)>;
    using state_changed_t = boost::function<void(eSESSION_STATE)>;
    using terminated_t = boost::function<void(const std::string&)>;

    UDPConnection(const endpoint& target, uint32_t salt, const std::vector<char>& key,
                  uint32_t clear_header, const std::string& rtag, const std::string& connection_id,
                  const std::string& session_id, const std::string& session_log_id, uint32_t spi,
                  bool roaming, uint32_t resume_timeout, state_changed_t state_changed,
                  terminated_t terminated);
    ~UDPConnection();

    UDPConnection(const UDPConnection&) = delete;
    UDPConnection& operator=(const UDPConnection&) = delete;

    // 16-byte aligned, like the engines it sits beside.
    static void* operator new(std::size_t size);
    static void operator delete(void* p) noexcept;

    // What the check of one datagram found.
    enum class Verdict {
        forged,          // the tag does not match: drop
        out_of_service,  // parked by the 5-second check since it was looked up: drop
        accepted,        // forward
        newest,          // forward; its sequence number is newer than every one
                         // accepted under this key (the first one always is)
    };
    // Checks the authenticated part of a datagram (SPI onwards). An accepted
    // one records activity and logs the first accepted datagram; one for a
    // tunnel out of service records nothing. Only on the direction's
    // forwarding thread, once per datagram: it advances the sequence window.
    Verdict check(char* data, unsigned long length);
    // True when check() accepts the datagram.
    bool authenticate(char* data, unsigned long length) { return check(data, length) >= Verdict::accepted; }
    void reset_encryption(unsigned salt, const std::vector<char>& key);
    // The same with an engine made beforehand (so a set-up can fail before
    // it changes anything).
    void replace_authenticator(const boost::shared_ptr<AESGCM>& engine);

    // Stores the state and reports it; callers compare with the old state.
    // What a callback throws (here, in notify_termination and in
    // call_peer_learnt) is logged and goes no further: neither a relay
    // thread nor the 5-second check may stop at it.
    void set_udp_session_state(eSESSION_STATE s);
    eSESSION_STATE get_udp_session_state() const { return state.load(); }
    // Reports termination once; later calls do nothing.
    void notify_termination(const std::string& reason);
    // Empties the state and termination callbacks and peer_learnt, so that
    // nothing is reported from now on and the cross-reference to the other
    // direction is broken.
    void clear_callbacks();

    void set_target_endpoint(const endpoint& ep);
    endpoint get_target_endpoint() const;
    void set_client_peer(endpoint ep);
    endpoint get_client_peer() const;
    void set_server_peer(endpoint ep);
    endpoint get_server_peer() const;

    void set_peer_learnt(peer_learnt_t callback);
    // Moves the callback out (non-roaming tunnels learn once).
    peer_learnt_t take_peer_learnt();
    peer_learnt_t copy_peer_learnt() const;
    bool has_peer_learnt() const;
    // Calls a callback taken from this tunnel with the learnt endpoint.
    void call_peer_learnt(const peer_learnt_t& callback, const endpoint& ep);

    bool is_roaming() const { return roaming; }
    uint32_t get_clear_header() const { return clear_header.load(std::memory_order_relaxed); }
    void set_clear_header(uint32_t v) { clear_header.store(v, std::memory_order_relaxed); }
    bool is_in_service() const { return in_service.load(); }
    void set_in_service(bool v) { in_service.store(v); }
    bool is_first_datagram() const { return first_datagram.load(); }
    void set_first_datagram(bool v) { first_datagram.store(v); }
    uint32_t get_spi() const { return spi.load(std::memory_order_relaxed); }
    void set_spi(uint32_t v) { spi.store(v, std::memory_order_relaxed); }

    const std::string& get_rtag() const { return rtag; }
    const std::string& get_connection_id() const { return connection_id; }
    const std::string& get_session_id() const { return session_id; }
    const std::string& get_session_log_id() const { return session_log_id; }

    SessionStatistics stats;

private:
    template <class Call>
    void run_callback(const char* which, Call&& call) noexcept;

    // True when sequence, accepted under key generation, is the newest seen.
    bool advance_window(uint32_t sequence, uint32_t generation);

    mutable std::mutex guard;
    boost::shared_ptr<AESGCM> authenticator;
    uint32_t key_generation;  // advanced by every rekey; never 0
    endpoint target;
    endpoint client_peer;
    endpoint server_peer;
    const bool roaming;
    peer_learnt_t peer_learnt;
    std::atomic<uint32_t> clear_header;
    std::atomic<bool> in_service;
    std::atomic<eSESSION_STATE> state;
    state_changed_t state_changed;
    terminated_t terminated;
    const std::string rtag;
    const std::string connection_id;
    const std::string session_id;
    const std::string session_log_id;
    std::atomic<uint32_t> spi;
    std::atomic<bool> first_datagram;
    uint32_t window_generation;  // 0: no datagram accepted yet
    uint32_t window_highest;
    logger_t lg;
};

}  // namespace vexa
