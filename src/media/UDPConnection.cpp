#include "UDPConnection.h"

#include "AESGCMUtil.h"
#include "Config.h"

#include <cstdlib>
#include <new>

using boost::log::trivial::error;
using boost::log::trivial::info;

namespace vexa {

namespace {

int32_t udp_idle_seconds()
{
    return static_cast<int32_t>(std::strtol(Config::get_instance()->get("UdpMaxNoActivitySeconds").c_str(), nullptr, 10));
}

}  // namespace

UDPConnection::UDPConnection(const endpoint& target_ep, uint32_t salt, const std::vector<char>& key,
                             uint32_t clear_hdr, const std::string& rtag_text,
                             const std::string& connection_id_text, const std::string& session_id_text,
                             const std::string& session_log_id_text, uint32_t spi_value,
                             bool roaming_enabled, uint32_t resume_timeout,
                             state_changed_t state_changed_cb, terminated_t terminated_cb)
    : IdleMonitored(udp_idle_seconds()),
      key_generation(1),
      target(target_ep),
      client_peer(boost::asio::ip::address_v4::any(), 0),
      server_peer(boost::asio::ip::address_v4::any(), 0),
      roaming(roaming_enabled),
      clear_header(clear_hdr),
      in_service(true),
      state(PENDING_INIT),
      state_changed(std::move(state_changed_cb)),
      terminated(std::move(terminated_cb)),
      rtag(rtag_text),
      connection_id(connection_id_text),
      session_id(session_id_text),
      session_log_id(session_log_id_text),
      spi(spi_value),
      first_datagram(true),
      window_generation(0),
      window_highest(0)
{
    BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_LOG_ID(session_log_id)
                            << "Constructing UDPConnection instance: UDP tunnel to "
                            << endpoint_text(target) << " for session " << session_id;
    // A bad key size throws here; no destructor runs, so nothing is reported.
    authenticator = AESGCM::create(key, salt);
    set_resume_timeout(resume_timeout);
}

UDPConnection::~UDPConnection()
{
    BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_LOG_ID(session_log_id)
                            << "Destroying UDPConnection instance: UDP tunnel to "
                            << endpoint_text(target) << " for session " << session_id;
    notify_termination("Unknown");
}

void* UDPConnection::operator new(std::size_t size)
{
    void* p = nullptr;
    if (posix_memalign(&p, 16, size) != 0 || p == nullptr)
        throw std::bad_alloc();
    return p;
}

void UDPConnection::operator delete(void* p) noexcept
{
    std::free(p);
}

UDPConnection::Verdict UDPConnection::check(char* data, unsigned long length)
{
    // Work on our own reference: a rekey may replace the engine meanwhile.
    boost::shared_ptr<AESGCM> engine;
    uint32_t generation;
    {
        std::lock_guard<std::mutex> lock(guard);
        engine = authenticator;
        generation = key_generation;
    }
    if (engine->authenticate(reinterpret_cast<const unsigned char*>(data),
                             static_cast<unsigned int>(length)) != 0)
        return Verdict::forged;
    // The check may have parked the tunnel since the relay thread found it;
    // traffic on a parked tunnel would otherwise keep it for ever. Tested
    // again after marking activity: the check tests activity once more after
    // clearing in_service and then keeps the tunnel in service, so a datagram
    // that still finds it in service here has been seen by the check.
    if (!in_service.load())
        return Verdict::out_of_service;
    mark_activity();
    if (!in_service.load())
        return Verdict::out_of_service;
    // The sequence number follows the SPI; an authentic tag covers both.
    const bool newest = advance_window(gcm::load_be32(reinterpret_cast<const unsigned char*>(data) + 4),
                                       generation);
    if (first_datagram.load(std::memory_order_relaxed) && first_datagram.exchange(false)) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_LOG_ID(session_log_id)
                                << "Forwarding the first UDP datagram to "
                                << endpoint_text(get_target_endpoint()) << " for session " << session_id;
    }
    return newest ? Verdict::newest : Verdict::accepted;
}

bool UDPConnection::advance_window(uint32_t sequence, uint32_t generation)
{
    if (window_generation != generation) {
        // The first datagram under this key.
        window_generation = generation;
        window_highest = sequence;
        return true;
    }
    // Serial number arithmetic: newer when ahead by less than half the
    // number space, so the window survives the wrap from 0xffffffff to 0.
    if (static_cast<int32_t>(sequence - window_highest) <= 0)
        return false;
    window_highest = sequence;
    return true;
}

void UDPConnection::reset_encryption(unsigned salt, const std::vector<char>& key)
{
    replace_authenticator(AESGCM::create(key, salt));
}

void UDPConnection::replace_authenticator(const boost::shared_ptr<AESGCM>& engine)
{
    boost::shared_ptr<AESGCM> old = engine;
    {
        std::lock_guard<std::mutex> lock(guard);
        authenticator.swap(old);
        // A new key restarts the sequence window.
        if (++key_generation == 0)
            key_generation = 1;
    }
    // The old engine goes when its last user is done with it.
}

template <class Call>
void UDPConnection::run_callback(const char* which, Call&& call) noexcept
{
    // An empty std::function converted to boost::function is a non-empty
    // one that throws bad_function_call.
    try {
        call();
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(lg, error) << VEXA_LOG_SESSION_LOG_ID(session_log_id) << "*** UDPConnection: the "
                                 << which << " callback of session " << session_id
                                 << " failed: " << e.what();
    } catch (...) {
        BOOST_LOG_SEV(lg, error) << VEXA_LOG_SESSION_LOG_ID(session_log_id) << "*** UDPConnection: the "
                                 << which << " callback of session " << session_id
                                 << " failed: unknown exception";
    }
}

void UDPConnection::set_udp_session_state(eSESSION_STATE s)
{
    state.store(s);
    state_changed_t callback;
    {
        std::lock_guard<std::mutex> lock(guard);
        callback = state_changed;
    }
    if (callback)
        run_callback("state", [&] { callback(s); });
}

void UDPConnection::notify_termination(const std::string& reason)
{
    terminated_t callback;
    {
        std::lock_guard<std::mutex> lock(guard);
        callback.swap(terminated);
    }
    if (callback)
        run_callback("termination", [&] { callback(std::string(reason)); });
}

void UDPConnection::call_peer_learnt(const peer_learnt_t& callback, const endpoint& ep)
{
    run_callback("peer-learnt", [&] { callback(ep); });
}

void UDPConnection::clear_callbacks()
{
    // Destroyed outside the lock: peer_learnt may hold the last reference to
    // the other direction.
    state_changed_t s;
    terminated_t t;
    peer_learnt_t p;
    {
        std::lock_guard<std::mutex> lock(guard);
        s.swap(state_changed);
        t.swap(terminated);
        p.swap(peer_learnt);
    }
}

void UDPConnection::set_target_endpoint(const endpoint& ep)
{
    std::lock_guard<std::mutex> lock(guard);
    target = ep;
}

UDPConnection::endpoint UDPConnection::get_target_endpoint() const
{
    std::lock_guard<std::mutex> lock(guard);
    return target;
}

void UDPConnection::set_client_peer(endpoint ep)
{
    std::lock_guard<std::mutex> lock(guard);
    client_peer = ep;
}

UDPConnection::endpoint UDPConnection::get_client_peer() const
{
    std::lock_guard<std::mutex> lock(guard);
    return client_peer;
}

void UDPConnection::set_server_peer(endpoint ep)
{
    std::lock_guard<std::mutex> lock(guard);
    server_peer = ep;
}

UDPConnection::endpoint UDPConnection::get_server_peer() const
{
    std::lock_guard<std::mutex> lock(guard);
    return server_peer;
}

void UDPConnection::set_peer_learnt(peer_learnt_t callback)
{
    {
        std::lock_guard<std::mutex> lock(guard);
        peer_learnt.swap(callback);
    }
    // The replaced callback is destroyed here, unlocked.
}

UDPConnection::peer_learnt_t UDPConnection::take_peer_learnt()
{
    peer_learnt_t callback;
    std::lock_guard<std::mutex> lock(guard);
    callback.swap(peer_learnt);
    return callback;
}

UDPConnection::peer_learnt_t UDPConnection::copy_peer_learnt() const
{
    std::lock_guard<std::mutex> lock(guard);
    return peer_learnt;
}

bool UDPConnection::has_peer_learnt() const
{
    std::lock_guard<std::mutex> lock(guard);
    return !peer_learnt.empty();
}

}  // namespace vexa
