#include "SSIGServer.h"

#include "Config.h"
#include "SSIGClientConnection.h"
#include "SSIGConnection.h"
#include "SSIGInviteFilter.h"
#include "SSIGLegContexts.h"
#include "SSIGServerConnection.h"
#include "SSIGServerSSL.h"
#include "UDPServer.h"
#include "vexa_tags.h"
#include "vexa_xml.h"
#include "vexa_xml_hello.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include <openssl/err.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace vexa {

using boost::log::trivial::debug;
using boost::log::trivial::error;
using boost::log::trivial::fatal;
using boost::log::trivial::info;
using boost::log::trivial::trace;
using boost::log::trivial::warning;

namespace {

// Every record of one session carries its ids.
#define SESSION_ATTRS(id, log_id) VEXA_LOG_SESSION_ID(id) << VEXA_LOG_SESSION_LOG_ID(log_id)

// Each queued TLS library error as one record; the first with its source
// position and extra data when the library holds some.
void log_openssl_errors(logger_t& lg)
{
    const char* file = nullptr;
    const char* data = nullptr;
    int line = 0;
    int flags = 0;
    bool first = true;
    while (const unsigned long code = ERR_get_error_all(&file, &line, nullptr, &data, &flags)) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        if (first && data && *data && (flags & ERR_TXT_STRING))
            BOOST_LOG_SEV(lg, error) << "*** SSIGServer::SSL: " << (file ? file : "") << ":" << line
                                     << ":" << text << ":" << data;
        else
            BOOST_LOG_SEV(lg, error) << "*** SSIGServer::SSL: " << text;
        first = false;
    }
}

unsigned short parse_listen_port(const std::string& text)
{
    const long port = std::strtol(text.c_str(), nullptr, 10);
    if (port < 0 || port > 65535)
        throw std::invalid_argument("SSIG server port out of range: " + text);
    return static_cast<unsigned short>(port);
}

// A function to hand on: an empty one becomes a no-op, so whoever calls it
// later (the relay among them) never meets an empty function.
StateCallback never_empty(StateCallback f)
{
    return f ? f : [](eSESSION_STATE) {};
}
ClosedCallback never_empty(ClosedCallback f)
{
    return f ? f : [](const std::string&) {};
}

}  // namespace

SSIGServer::SSIGServer(boost::asio::io_context& main, boost::asio::io_context& aux,
                       const std::string& bind_ip, const std::string& port,
                       boost::shared_ptr<UDPServer> relay, Timing timing_in,
                       SSIGLegTimings leg_timings_in)
    : main_loop(main),
      aux_loop(aux),
      timing(std::move(timing_in)),
      leg_timings(std::move(leg_timings_in)),
      accept_strand(boost::asio::make_strand(main)),
      acceptor(main),
      accept_retry_timer(main),
      sweep_timer(new boost::asio::steady_timer(aux)),
      udp(std::move(relay)),
      max_connections(parse_max_connections(Config::get_instance()->get("MaxConnections"))),
      slack(pruning_slack(max_connections))
{
    sweep_timer->expires_after(timing.sweep_period);

    const sVEXA_XML_CALLOUTS callouts{SHA256_Init, SHA256_Update, SHA256_Final, &SSIGServer::xml_logger};
    if (vexa_xml_init(&callouts) != 0)
        BOOST_LOG_SEV(lg, info) << "Failed to initialize XML & logging interface utility";

    try {
        sni = Config::get_instance()->get("SSLCertKsgSni");
        ssl.reset(new SSIGServerSSL(main, aux, sni));
        leg_contexts.reset(new SSIGLegContexts(*ssl, &SSIGClientConnection::ssl_ksg_client_facing_sni_cback,
                                               &SSIGServerConnection::ssl_ksg_server_facing_cert_cback));
        listen(bind_ip, port);
        next_socket = std::make_shared<tcp::socket>(main);
        BOOST_LOG_SEV(lg, info) << "SSIG server is up: " << endpoint_text(acceptor.local_endpoint());
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(lg, error) << "*** SSIGServer::Failed to create the SSIG server: " << e.what();
        log_openssl_errors(lg);
        throw;
    }
}

SSIGServer::~SSIGServer() = default;

void SSIGServer::listen(const std::string& bind_ip, const std::string& port)
{
    BOOST_LOG_SEV(lg, info)
        << "*** SSIGServer:: Setting up listening socket for incoming client connections.";
    try {
        const tcp::endpoint endpoint(boost::asio::ip::make_address(bind_ip), parse_listen_port(port));
        acceptor.open(endpoint.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen(128);
    } catch (const std::exception& e) {
        // The error's own text ("bind: ...") names neither address nor port.
        BOOST_LOG_SEV(lg, error) << "signalling listener " << bind_ip << ":" << port << ": " << e.what();
        throw;
    }
    listen_port = acceptor.local_endpoint().port();
}

uint64_t SSIGServer::parse_max_connections(const std::string& text)
{
    return static_cast<uint64_t>(std::strtol(text.c_str(), nullptr, 10));
}

uint64_t SSIGServer::pruning_slack(uint64_t max)
{
    return static_cast<uint64_t>(static_cast<double>(max) * 0.1);
}

void SSIGServer::xml_logger(int level, const char* text)
{
    static logger_t xml_lg;
    switch (level) {
    case 0: BOOST_LOG_SEV(xml_lg, fatal) << text; break;
    case 1: BOOST_LOG_SEV(xml_lg, error) << text; break;
    case 2: BOOST_LOG_SEV(xml_lg, info) << text; break;
    default: BOOST_LOG_SEV(xml_lg, debug) << text; break;
    }
}

// ---- start, stop, shutdown ----

void SSIGServer::start()
{
    auto self = shared_from_this();
    boost::asio::post(accept_strand, [self] { self->arm_accept(); });
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (sweep_timer)
            arm_sweep();
    }
    BOOST_LOG_SEV(lg, info) << "SSIG server started";
}

void SSIGServer::stop()
{
    auto self = shared_from_this();
    boost::asio::post(accept_strand, [self] { self->close_acceptor(); });
    Released released;
    std::unique_ptr<boost::asio::steady_timer> timer;
    boost::shared_ptr<UDPServer> relay;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
        if (sweep_timer) {
            sweep_timer->cancel();
            timer = std::move(sweep_timer);
        }
        stop_sessions(released);
        forget_resumable(released);
        for (auto& d : dormant_pairs)
            released.pairs.push_back(std::move(d.object));
        for (auto& d : dormant_clients)
            released.clients.push_back(std::move(d.object));
        for (auto& d : dormant_servers)
            released.servers.push_back(std::move(d.object));
        dormant_pairs.clear();
        dormant_clients.clear();
        dormant_servers.clear();
        relay = std::move(udp);
        legs_by_rtag.clear();
    }
}

void SSIGServer::shutdown()
{
    BOOST_LOG_SEV(lg, trace) << "Shutting down SSIG server";
    // The acceptor belongs to the accept strand; closing it there also ends
    // the accept for good (no re-arm on a closed acceptor).
    auto self = shared_from_this();
    boost::asio::post(accept_strand, [self] { self->close_acceptor(); });
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    stop_sessions(released);
    BOOST_LOG_SEV(lg, trace) << "Shutting down SSIG server -- clearing " << resumable.size()
                             << " resumable connections.";
    forget_resumable(released);
    vexa_xml_teardown();
}

void SSIGServer::stop_sessions(Released& released)
{
    for (auto& kv : established) {
        kv.second->stop();
        released.pairs.push_back(std::move(kv.second));
    }
    established.clear();
    for (const auto& leg : pending) {
        leg->stop();
        released.clients.push_back(leg);
    }
    pending.clear();
    for (auto& kv : tagged) {
        kv.second->stop();
        released.servers.push_back(std::move(kv.second));
    }
    tagged.clear();
}

void SSIGServer::forget_resumable(Released& released)
{
    // Resumable legs were stopped when they were filed there.
    for (auto& kv : resumable)
        released.servers.push_back(std::move(kv.second));
    resumable.clear();
    for (auto& kv : callbacks)
        released.callbacks.push_back(std::move(kv.second.callback));
    callbacks.clear();
}

SSIGServer::Counts SSIGServer::counts()
{
    std::lock_guard<std::mutex> lock(mutex);
    Counts c;
    c.tagged = tagged.size();
    c.resumable = resumable.size();
    c.established = established.size();
    c.pending = pending.size();
    c.callbacks = callbacks.size();
    c.dormant_pairs = dormant_pairs.size();
    c.dormant_clients = dormant_clients.size();
    c.dormant_servers = dormant_servers.size();
    return c;
}

// ---- accept (accept strand) ----

void SSIGServer::arm_accept()
{
    next_socket = std::make_shared<tcp::socket>(main_loop);
    auto self = shared_from_this();
    acceptor.async_accept(*next_socket,
                          boost::asio::bind_executor(accept_strand, [self](const boost::system::error_code& ec) {
                              self->handle_accept(ec);
                          }));
}

void SSIGServer::handle_accept(const boost::system::error_code& ec)
{
    // Closed by shutdown or stop: no accept any more.
    if (ec == boost::asio::error::operation_aborted || !acceptor.is_open())
        return;
    if (ec) {
        // EMFILE and the like: a re-arm at once would spin on the same error.
        auto self = shared_from_this();
        accept_retry_timer.expires_after(timing.accept_retry);
        accept_retry_timer.async_wait(boost::asio::bind_executor(
            accept_strand, [self](const boost::system::error_code& e) { self->handle_accept_retry(e); }));
        return;
    }
    try {
        auto leg = std::make_shared<SSIGClientConnection>(shared_from_this(), next_socket, main_loop,
                                                          leg_timings);
        Released released;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopped) {
                leg->stop();
                released.clients.push_back(leg);
                return;
            }
            // Filed before it starts, so a handshake that fails at once finds it.
            terminate_excess_pending_connections(released);
            pending.insert(leg);
        }
        leg->start();
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(lg, error) << "*** SSIGServer::Failed to create a new SSIG connection: " << e.what();
    }
    arm_accept();
}

void SSIGServer::handle_accept_retry(const boost::system::error_code& ec)
{
    if (ec || !acceptor.is_open())
        return;
    arm_accept();
}

void SSIGServer::close_acceptor()
{
    boost::system::error_code ec;
    accept_retry_timer.cancel(ec);
    if (!acceptor.is_open())
        return;
    acceptor.close(ec);
    if (ec)
        BOOST_LOG_SEV(lg, error) << "*** SSIGServer::Failed to close the listening socket: " << ec.message();
}

void SSIGServer::terminate_excess_pending_connections(Released& released)
{
    // No maximum, no pruning; a leg whose HELLO verified is its session's,
    // already counted with the filed sessions, and never pruned.
    if (max_connections == 0)
        return;
    // Cheap first: the pending set bounds the legs that count.
    const uint64_t filed = resumable.size() + tagged.size() + established.size();
    const uint64_t bound = filed + pending.size();
    if (bound <= max_connections || bound - max_connections <= slack)
        return;
    struct Candidate {
        int rank;  // stopped legs go first, then legs without TLS, then the rest
        boost::posix_time::ptime created;
        client_ptr leg;
    };
    std::vector<Candidate> candidates;
    for (const auto& leg : pending) {
        if (leg->is_hello_admitted())
            continue;
        const int rank = leg->is_stopped() ? 0 : !leg->has_completed_tls() ? 1 : 2;
        candidates.push_back({rank, leg->get_creation_time(), leg});
    }
    const uint64_t total = filed + candidates.size();
    if (total <= max_connections || total - max_connections <= slack)
        return;
    const uint64_t excess = std::min<uint64_t>(total - max_connections, candidates.size());
    static const char* const where = "terminate_excess_pending_connections";
    BOOST_LOG_SEV(lg, warning) << where << ": " << candidates.size() << " connections are pending but only "
                               << static_cast<int64_t>(candidates.size()) - static_cast<int64_t>(excess)
                               << " more connections may be established; terminating " << excess
                               << " pending connections";
    std::partial_sort(candidates.begin(), candidates.begin() + std::ptrdiff_t(excess), candidates.end(),
                      [](const Candidate& a, const Candidate& b) {
                          return a.rank != b.rank ? a.rank < b.rank : a.created < b.created;
                      });
    for (uint64_t i = 0; i < excess; ++i) {
        const client_ptr& leg = candidates[i].leg;
        BOOST_LOG_SEV(lg, warning) << where << ": Terminating excess pending connection from "
                                   << endpoint_text(leg->get_client_endpoint());
        leg->stop();
        erase_callback_of(leg->get_session_id(), leg, released);
        pending.erase(leg);
        retire_client(leg, released);
    }
}

void SSIGServer::retire_client(const client_ptr& leg, Released& released)
{
    if (leg->has_completed_tls())
        add_dormant_connection(leg);
    else
        released.clients.push_back(leg);
}

// ---- dormant lists ----

void SSIGServer::add_dormant_connection(const pair_ptr& pair)
{
    dormant_pairs.push_back({timing.clock() + timing.dormant_hold, pair});
}

void SSIGServer::add_dormant_connection(const client_ptr& leg)
{
    dormant_clients.push_back({timing.clock() + timing.dormant_hold, leg});
}

void SSIGServer::add_dormant_connection(const server_ptr& leg)
{
    dormant_servers.push_back({timing.clock() + timing.dormant_hold, leg});
}

void SSIGServer::release_dormant_connections(Released& released)
{
    const boost::posix_time::ptime now = timing.clock();
    while (!dormant_pairs.empty() && now >= dormant_pairs.front().release_at) {
        released.pairs.push_back(std::move(dormant_pairs.front().object));
        dormant_pairs.pop_front();
    }
    while (!dormant_clients.empty() && now >= dormant_clients.front().release_at) {
        released.clients.push_back(std::move(dormant_clients.front().object));
        dormant_clients.pop_front();
    }
    while (!dormant_servers.empty() && now >= dormant_servers.front().release_at) {
        released.servers.push_back(std::move(dormant_servers.front().object));
        dormant_servers.pop_front();
    }
}

// ---- the sweep (auxiliary loop) ----

void SSIGServer::arm_sweep()
{
    auto self = shared_from_this();
    sweep_timer->async_wait([self](const boost::system::error_code& ec) { self->handle_periodic_ssig(ec); });
}

void SSIGServer::handle_periodic_ssig(const boost::system::error_code& ec)
{
    if (ec)
        return;
    static const char* const where = "handle_periodic_ssig";
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    if (stopped || !sweep_timer)
        return;
    release_dormant_connections(released);

    for (auto it = resumable.begin(); it != resumable.end();) {
        const server_ptr leg = it->second;
        if (udp && udp->session_tracked(it->first)) {
            ++it;
            continue;
        }
        BOOST_LOG_SEV(lg, info) << SESSION_ATTRS(it->first, leg->get_session_log_id()) << where
                                << ": Removing SSIG connection from the resumable map because the "
                                   "corresponding UDP tunnel was ended - "
                                << it->first;
        leg->notify_termination("ResumeTimeout");
        leg->stop();
        add_dormant_connection(leg);
        it = resumable.erase(it);
    }

    for (auto it = established.begin(); it != established.end();) {
        const pair_ptr pair = it->second;
        if (pair->is_active()) {
            ++it;
            continue;
        }
        const std::string id = it->first;
        BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(id, pair->get_session_log_id()) << where
                                 << ": Erasing or moving established SSIG connection: session-id=" << id;
        erase_callback(id, released);
        pair->stop();
        const server_ptr& server = pair->get_server_connection();
        if (server && server->is_resumable()) {
            BOOST_LOG_SEV(lg, info) << SESSION_ATTRS(id, pair->get_session_log_id()) << where
                                    << ": Moving inactive SSIG server connection to resumable map - " << id;
            server_ptr& slot = resumable[id];
            if (slot)
                released.servers.push_back(std::move(slot));
            slot = pair->extract_server_connection();
        } else {
            BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(id, pair->get_session_log_id()) << where
                                     << ": Deleting inactive SSIG server connection from established map "
                                        "(cannot be resumed) - "
                                     << id;
        }
        add_dormant_connection(pair);
        it = established.erase(it);
    }

    for (auto it = pending.begin(); it != pending.end();) {
        const client_ptr leg = *it;
        if (leg->is_active()) {
            ++it;
            continue;
        }
        const std::string id = leg->get_session_id();
        BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(id, leg->get_session_log_id()) << where
                                 << ": Erasing pending client SSIG connection: session-id=" << id;
        erase_callback_of(id, leg, released);
        leg->stop();
        retire_client(leg, released);
        it = pending.erase(it);
    }

    for (auto it = tagged.begin(); it != tagged.end();) {
        const server_ptr leg = it->second;
        if (leg->is_active()) {
            ++it;
            continue;
        }
        const std::string id = it->first;
        BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(id, leg->get_session_log_id()) << where
                                 << ": Erasing or moving tagged SSIG server connection: session-id=" << id;
        erase_callback(id, released);
        leg->stop();
        if (leg->is_resumable()) {
            BOOST_LOG_SEV(lg, info) << SESSION_ATTRS(id, leg->get_session_log_id()) << where
                                    << ": Moving tagged SSIG server connection to resumable map - " << id;
            server_ptr& slot = resumable[id];
            if (slot)
                released.servers.push_back(std::move(slot));
            slot = leg;
        } else {
            BOOST_LOG_SEV(lg, info) << SESSION_ATTRS(id, leg->get_session_log_id()) << where
                                    << ": Deleting inactive tagged SSIG server connection from tagged "
                                       "connections (cannot be resumed) - "
                                    << id;
            leg->notify_termination("ConnectionTimeout");
        }
        add_dormant_connection(leg);
        it = tagged.erase(it);
    }

    for (auto it = legs_by_rtag.begin(); it != legs_by_rtag.end();)
        it = it->second.expired() ? legs_by_rtag.erase(it) : std::next(it);
    log_deadline_closes();

    // A fixed grid: the previous expiry plus the period, however long this took.
    sweep_timer->expires_at(sweep_timer->expiry() + timing.sweep_period);
    arm_sweep();
}

void SSIGServer::count_client_deadline_close(ClientDeadline why)
{
    switch (why) {
    case ClientDeadline::WITHOUT_TLS: ++closed_without_tls; break;
    case ClientDeadline::WITHOUT_FIRST_FRAME: ++closed_without_frame; break;
    case ClientDeadline::AFTER_FAIL: ++closed_after_fail; break;
    }
}

void SSIGServer::log_deadline_closes()
{
    // One record per sweep however many strangers came and went.
    const uint64_t tls = closed_without_tls.exchange(0);
    const uint64_t frame = closed_without_frame.exchange(0);
    const uint64_t fail = closed_after_fail.exchange(0);
    if (tls + frame + fail == 0)
        return;
    BOOST_LOG_SEV(lg, info) << (tls + frame + fail) << " client connections closed: " << tls << " without TLS, "
                            << frame << " without a first frame, " << fail << " after a FAIL";
}

// ---- server-connected callbacks ----

void SSIGServer::erase_callback(const std::string& session_id, Released& released)
{
    const auto it = callbacks.find(session_id);
    if (it == callbacks.end())
        return;
    released.callbacks.push_back(std::move(it->second.callback));
    callbacks.erase(it);
}

void SSIGServer::erase_callback_of(const std::string& session_id, const client_ptr& owner,
                                   Released& released)
{
    const auto it = callbacks.find(session_id);
    if (it == callbacks.end())
        return;
    const std::weak_ptr<SSIGClientConnection>& stored = it->second.owner;
    if (stored.owner_before(owner) || owner.owner_before(stored))
        return;
    released.callbacks.push_back(std::move(it->second.callback));
    callbacks.erase(it);
}

void SSIGServer::set_server_connected_callback(const std::string& session_id,
                                               const std::weak_ptr<SSIGClientConnection>& owner,
                                               std::function<void(bool)> callback)
{
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = tagged.find(session_id);
    if (it == tagged.end()) {
        BOOST_LOG_SEV(lg, error) << VEXA_LOG_SESSION_ID(session_id) << "set_server_connected_callback"
                                 << " ERROR - Failed to find session-id in tagged or established "
                                    "connections maps "
                                 << session_id;
        released.callbacks.push_back(std::move(callback));
        return;
    }
    if (!holds_turn(it->second, owner)) {
        // A newer verified HELLO took the session's turn and closed this leg.
        BOOST_LOG_SEV(lg, debug) << VEXA_LOG_SESSION_ID(session_id) << "set_server_connected_callback"
                                 << ": the leg no longer holds the session's turn " << session_id;
        released.callbacks.push_back(std::move(callback));
        return;
    }
    if (it->second->is_connected()) {
        callback(true);
        released.callbacks.push_back(std::move(callback));
        return;
    }
    ConnectedCallback& slot = callbacks[session_id];
    if (slot.callback)
        released.callbacks.push_back(std::move(slot.callback));
    slot.owner = owner;
    slot.callback = std::move(callback);
}

void SSIGServer::set_server_reconnected_callback(const std::string& session_id,
                                                 const std::weak_ptr<SSIGClientConnection>& owner,
                                                 std::function<void(bool)> callback)
{
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = tagged.find(session_id);
    if (it == tagged.end()) {
        BOOST_LOG_SEV(lg, error) << VEXA_LOG_SESSION_ID(session_id) << "set_server_reconnected_callback"
                                 << " ERROR - Failed to find session-id in tagged connections map "
                                 << session_id;
        released.callbacks.push_back(std::move(callback));
        return;
    }
    if (!holds_turn(it->second, owner)) {
        BOOST_LOG_SEV(lg, debug) << VEXA_LOG_SESSION_ID(session_id) << "set_server_reconnected_callback"
                                 << ": the leg no longer holds the session's turn " << session_id;
        released.callbacks.push_back(std::move(callback));
        return;
    }
    // The leg may still be connected on its old link: only its next
    // handshake counts.
    ConnectedCallback& slot = callbacks[session_id];
    if (slot.callback)
        released.callbacks.push_back(std::move(slot.callback));
    slot.owner = owner;
    slot.callback = std::move(callback);
}

void SSIGServer::clear_server_connected_callback(const std::string& session_id, const client_ptr& owner)
{
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    erase_callback_of(session_id, owner, released);
}

void SSIGServer::invoke_server_connected_callback(const std::string& session_id)
{
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = callbacks.find(session_id);
    if (it == callbacks.end())
        return;
    std::function<void(bool)> callback = std::move(it->second.callback);
    callbacks.erase(it);
    if (callback)
        callback(true);
    released.callbacks.push_back(std::move(callback));
}

// ---- look-ups for the client leg's HELLO ----

void SSIGServer::remove_pending_client_connection(const client_ptr& leg)
{
    BOOST_LOG_SEV(lg, trace) << "Removing SSIG pending client connection";
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    if (pending.erase(leg) != 0) {
        leg->stop();
        released.clients.push_back(leg);
    }
    erase_callback_of(leg->get_session_id(), leg, released);
}

void SSIGServer::handle_client_ssig_invite(const client_ptr& leg, const ssig::SSIGMap& received)
{
    BOOST_LOG_SEV(lg, trace) << "Processing SSIG invite from client";
    ssig::SSIGMap invite = received;
    const bool encapsulation = SSIGInviteFilter::from_config().apply(invite);
    const ssig::SSIGMap::value_type* ctag = invite.find(ssig::SSIGMap::type_of("ctag"));
    const std::string id = ctag && !ctag->empty()
                               ? Tag(std::string(ctag->begin(), ctag->end())).get_session_id()
                               : std::string();

    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    // Held until the mutex is released, whatever happens to the leg here.
    released.clients.push_back(leg);
    pending.erase(leg);
    const auto refuse = [&](const char* why) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(id) << why;
        leg->stop();
        erase_callback_of(leg->get_session_id(), leg, released);
    };
    if (!ctag) {
        refuse("no tag found in SSIG invite packet from Kavri client");
        return;
    }
    if (!encapsulation) {
        refuse("No support for UDP encapsulation found in SSIG invite packet from Kavri client");
        return;
    }
    // Only the client whose HELLO for this very session was validated and
    // forwarded may pair with its server leg.
    const auto t = id.empty() ? tagged.end() : tagged.find(id);
    if (t != tagged.end())
        released.clients.push_back(t->second->get_joined_client());
    if (t == tagged.end() || stopped || leg->get_last_xml_sent() != VEXA_XML_TYPE_HELLO ||
        leg->get_session_id() != id || released.clients.back() != leg) {
        refuse("no matching connection found for given SSIG invite tag from Kavri client");
        return;
    }
    const server_ptr server = t->second;
    BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(id, server->get_session_log_id())
                             << "Found matching tag: " << id;
    pair_ptr& slot = established[id];
    if (slot) {
        // Not reachable through the tables' own moves; never leave a pair unstopped.
        slot->stop();
        add_dormant_connection(slot);
    }
    slot = std::make_shared<SSIGConnection>(server, leg);
    BOOST_LOG_SEV(lg, info) << SESSION_ATTRS(id, server->get_session_log_id())
                            << "Connection established (S: " << endpoint_text(server->get_server_endpoint())
                            << " <-> C: " << endpoint_text(leg->get_client_endpoint())
                            << "; session ID: " << id << ")";
    // Each leg's entries post to its own strand; a stopped leg keeps its no-ops.
    const client_ptr client = leg;
    server->set_ssig_ksdp_forwarder(
        [client](const ssig::SSIGMap& map, ssig_complete_handler_t completion) {
            client->handle_server_ksdp_ssig(map, std::move(completion));
        });
    client->set_ssig_ksdp_forwarder(
        [server](const ssig::SSIGMap& map, ssig_complete_handler_t completion) {
            server->handle_client_ksdp_ssig(map, std::move(completion));
        });
    // The client's next frame is read once the INVITE is written to the server.
    server->handle_client_ksdp_ssig(
        invite, [client](const boost::system::error_code& ec) { client->handle_ssig(ec); });
    tagged.erase(t);
}

// ---- media tunnels (server leg on INVITE_OK) ----

void SSIGServer::setup_tunnel(uint32_t client_spi, uint32_t client_salt,
                              const ssig::SSIGMap::value_type& client_key,
                              const boost::asio::ip::udp::endpoint& server_udp, uint32_t server_spi,
                              uint32_t server_salt, const ssig::SSIGMap::value_type& server_key,
                              unsigned char clear_header, uint32_t resume_timeout, const std::string& rtag,
                              const std::string& connection_id, const std::string& session_id,
                              const std::string& session_log_id, StateCallback state_callback,
                              ClosedCallback closed_callback, const server_ptr& leg)
{
    // The relay calls these from its own threads, some with its direction
    // mutex held: they are never empty and never take this server's mutex.
    const boost::function<void(eSESSION_STATE)> state = never_empty(std::move(state_callback));
    const boost::function<void(const std::string&)> closed = never_empty(std::move(closed_callback));
    const std::vector<char> c2s_key(client_key.begin(), client_key.end());
    const std::vector<char> s2c_key(server_key.begin(), server_key.end());
    // Until the client's first datagram names its address.
    const boost::asio::ip::udp::endpoint placeholder(boost::asio::ip::address_v4::any(), 4172);

    UDPServer::tunnel_ptr c2s, s2c;
    std::lock_guard<std::mutex> lock(mutex);
    // Held across the relay's set-up, so that a removal of the session either
    // comes first (nothing is set up) or finds the tunnels to end.
    const auto e = established.find(session_id);
    if (!udp || e == established.end() || e->second->get_server_connection() != leg) {
        BOOST_LOG_SEV(lg, debug) << SESSION_ATTRS(session_id, session_log_id)
                                 << "No UDP tunnel for a session that is no longer established: "
                                 << session_id;
        return;
    }
    c2s = udp->setup_client_to_server_tunnel(server_udp, client_spi, client_salt, c2s_key, clear_header,
                                             resume_timeout, rtag, connection_id, session_id, session_log_id,
                                             state, closed);
    s2c = udp->setup_server_to_client_tunnel(placeholder, server_spi, server_salt, s2c_key, clear_header,
                                             resume_timeout, rtag, connection_id, session_id, session_log_id,
                                             state, closed);
    if (c2s && s2c) {
        // What one direction learns of its peer becomes the other's target.
        c2s->set_peer_learnt(boost::bind(&UDPConnection::set_target_endpoint, s2c, boost::placeholders::_1));
        s2c->set_peer_learnt(boost::bind(&UDPConnection::set_target_endpoint, c2s, boost::placeholders::_1));
    }
}

std::string SSIGServer::find_session_log_id(const std::string& session_id)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto t = tagged.find(session_id);
    if (t != tagged.end())
        return t->second->get_session_log_id();
    auto r = resumable.find(session_id);
    if (r != resumable.end())
        return r->second->get_session_log_id();
    auto e = established.find(session_id);
    if (e != established.end())
        return e->second->get_session_log_id();
    return std::string();
}

bool SSIGServer::get_server_connection_info(const std::string& session_id, SessionTag* ctag,
                                            std::string* rtag, std::string* server_sni, x509_ref* cert,
                                            unsigned char (*hash)[32])
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = tagged.find(session_id);
    if (it == tagged.end()) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id)
                                << "Failed to get ctag - no matching server connection found for given "
                                   "session ID="
                                << session_id;
        return false;
    }
    const server_ptr& leg = it->second;
    if (ctag)
        *ctag = leg->get_ctag();
    if (rtag)
        *rtag = leg->get_rtag().text();
    if (server_sni)
        *server_sni = leg->get_sni();
    if (cert)
        *cert = leg->get_server_certificate();
    if (hash)
        std::memcpy(*hash, leg->get_thumbprint().data(), sizeof *hash);
    return true;
}

bool SSIGServer::get_client_connection_info(const std::string& session_id, const server_ptr& leg,
                                            ssig::MitmInfoVector* out)
{
    if (!out) {
        BOOST_LOG_SEV(lg, info) << "Failed to get client connection info - input is NULL";
        return false;
    }
    // The hops of the client that sent this leg its HELLO, never those of
    // another leg that merely named the session.
    const client_ptr client = leg ? leg->get_joined_client() : client_ptr();
    if (!client || client->is_stopped()) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id)
                                << "Failed to get client connection info - no matching client connection "
                                   "found for given session ID="
                                << session_id;
        return false;
    }
    client->get_mitm_info(out);
    return true;
}

bool SSIGServer::set_xml_forwarders(const std::string& session_id, const client_ptr& client)
{
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = tagged.find(session_id);
    if (it == tagged.end()) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id)
                                << "failed to set XML forwarders - no matching server connection found "
                                   "for given session ID="
                                << session_id;
        return false;
    }
    const server_ptr server = it->second;
    if (!holds_turn(server, client)) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id)
                                << "failed to set XML forwarders - the client leg no longer holds the turn of "
                                   "session ID="
                                << session_id;
        return false;
    }
    // One client negotiates per session: a leg joined before this one goes.
    const client_ptr joined = server->get_joined_client();
    if (joined && joined != client) {
        released.clients.push_back(joined);
        if (pending.count(joined) != 0)
            close_pending_client(session_id, joined, released);
    }
    server->set_joined_client(client);
    // Each setter leaves a stopped leg as it is.
    server->set_ssig_xml_forwarder(
        [client](const char* xml, eVEXA_XML_TYPE type, ssig_complete_handler_t completion) {
            client->handle_server_xml_ssig(xml, type, std::move(completion));
        });
    client->set_ssig_xml_forwarder(
        [server](const char* xml, eVEXA_XML_TYPE type, ssig_complete_handler_t completion) {
            server->handle_client_xml_ssig(xml, type, std::move(completion));
        });
    BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(session_id, server->get_session_log_id())
                             << "XML forwarders set for session ID: " << session_id;
    return true;
}

bool SSIGServer::is_server_ssig_connected(const std::string& session_id, bool* out)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = tagged.find(session_id);
    if (it == tagged.end()) {
        BOOST_LOG_SEV(lg, error) << VEXA_LOG_SESSION_ID(session_id)
                                 << "No matching server connection found for given session-id=" << session_id;
        return false;
    }
    if (out)
        *out = it->second->is_connected();
    return true;
}

SSIGServer::server_ptr SSIGServer::find_server_connection(const std::string& session_id)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto t = tagged.find(session_id);
    if (t != tagged.end())
        return t->second;
    auto r = resumable.find(session_id);
    if (r != resumable.end())
        return r->second;
    auto e = established.find(session_id);
    if (e != established.end())
        return e->second->get_server_connection();
    return server_ptr();
}

// ---- adding connections (control thread) ----

std::string SSIGServer::add_connection(const std::string& ip_address, const std::string& tcp_port,
                                       const std::string& sg_sni, const std::string& server_sni,
                                       const std::string& ctag, const std::string& connection_id,
                                       const std::string& session_log_id, StateCallback state_callback,
                                       ClosedCallback closed_callback)
{
    // Never throws: the broker gets a refusal instead.
    try {
        unsigned char session_id[16] = {};
        unsigned char thumbprint[32] = {};
        unsigned short flags = 0;
        bool use_sg_sni = false;
        std::string rtag;
        if (vexa_util_parse_tovik_session_tag(ctag.c_str(), session_id, thumbprint, &flags) == 0) {
            use_sg_sni = (flags & 2) != 0;
            char out[129] = {};
            if (vexa_generate_rtag(ctag.c_str(), session_id, ssl->get_der(), ssl->get_der_length(), out))
                rtag = out;
        } else {
            // The parse writes the id and the thumbprint before its checks can fail.
            std::memset(session_id, 0, sizeof session_id);
            std::memset(thumbprint, 0, sizeof thumbprint);
            flags = 0;
        }
        if (rtag.empty())
            rtag = ctag;

        const std::string key = Tag(ctag).get_session_id();
        {
            Released released;
            std::lock_guard<std::mutex> lock(mutex);
            if (max_connections != 0 &&
                max_connections < tagged.size() + resumable.size() + established.size()) {
                BOOST_LOG_SEV(lg, error) << SESSION_ATTRS(key, session_log_id)
                                         << "Failed to add connection due to too many connections.";
                return std::string();
            }
            const char* duplicate = nullptr;
            if (tagged.count(key) != 0)
                duplicate = "Failed to add connection due to duplicate (pending) session ID: ";
            else if (resumable.count(key) != 0)
                duplicate = "Failed to add connection due to duplicate (resumable) session ID: ";
            else if (established.count(key) != 0 || (udp && udp->session_tracked(key)))
                duplicate = "Failed to add connection due to duplicate (established) session ID: ";
            if (duplicate) {
                BOOST_LOG_SEV(lg, error) << SESSION_ATTRS(key, session_log_id) << duplicate << key;
                return std::string();
            }
            if (stopped)
                return std::string();
            const server_ptr leg = std::make_shared<SSIGServerConnection>(
                shared_from_this(), main_loop, ip_address, tcp_port, use_sg_sni ? sg_sni : server_sni,
                connection_id, session_log_id, never_empty(std::move(state_callback)),
                never_empty(std::move(closed_callback)), ctag, rtag, thumbprint, leg_timings);
            tagged[key] = leg;
            legs_by_rtag.emplace(rtag, leg);
            // Started while filed: start() clears the stopped flag, so a sweep
            // or removal between filing and starting would revive a dropped leg.
            // start() only takes the leg's own mutex and posts.
            leg->start();
        }
        return rtag;
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(lg, error) << VEXA_LOG_SESSION_LOG_ID(session_log_id)
                                 << "*** SSIGServer::Failed to add connection: " << e.what();
    } catch (...) {
        BOOST_LOG_SEV(lg, error) << VEXA_LOG_SESSION_LOG_ID(session_log_id)
                                 << "*** SSIGServer::Failed to add connection";
    }
    return std::string();
}

// ---- statistics and external address ----

std::map<std::string, std::string> SSIGServer::get_statistics()
{
    std::lock_guard<std::mutex> lock(mutex);
    BOOST_LOG_SEV(lg, debug) << "get_statistics was called while there are " << established.size()
                             << " SSL connections working.";
    std::map<std::string, std::string> stats;
    if (udp)
        stats = udp->get_statistics();
    BOOST_LOG_SEV(lg, info) << "get_statistics returning " << stats[UDPServer::stats_sessions_tag]
                            << " UDP connections currently working; "
                            << stats[UDPServer::stats_sessions_hwm_tag]
                            << " UDP connections as high-water-mark.";
    return stats;
}

void SSIGServer::populate_json_session_statistics(std::string& out)
{
    std::lock_guard<std::mutex> lock(mutex);
    BOOST_LOG_SEV(lg, debug) << "populate_json_session_statistics was called while there are "
                             << established.size() << " SSL connections working.";
    if (udp)
        udp->populate_json_session_statistics(out);
}

void SSIGServer::set_external_ip(const std::string& ip)
{
    Config::get_instance()->set("ConnectionServerExternalRoutableIP", ip);
}

void SSIGServer::set_external_port(const std::string& port)
{
    Config::get_instance()->set("ConnectionServerExternalRoutablePort", port);
}

// ---- admission of a client's HELLO (client leg) ----

SSIGServer::server_ptr SSIGServer::filed_server(const std::string& session_id) const
{
    const auto t = tagged.find(session_id);
    if (t != tagged.end())
        return t->second;
    const auto r = resumable.find(session_id);
    if (r != resumable.end())
        return r->second;
    const auto e = established.find(session_id);
    if (e != established.end())
        return e->second->get_server_connection();
    return server_ptr();
}

bool SSIGServer::holds_turn(const server_ptr& server, const std::weak_ptr<SSIGClientConnection>& owner) const
{
    return server->is_admitted_client(owner);
}

HelloAdmission SSIGServer::admit_client_hello(const std::string& session_id, const sVEXA_XML_HELLO& hello,
                                              const client_ptr& leg)
{
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    if (leg->is_stopped())
        return HelloAdmission::STOPPED;
    server_ptr server = filed_server(session_id);
    if (!server) {
        BOOST_LOG_SEV(lg, error) << VEXA_LOG_SESSION_ID(session_id) << "restart_server_connection"
                                 << ": Bad session_id: " << session_id;
        return HelloAdmission::UNKNOWN_SESSION;
    }
    released.servers.push_back(server);
    if (!server->get_ctag().is_version_1_tag())
        return HelloAdmission::NOT_VERSION_1;
    // The client holds the rtag; a HELLO signed with anything else is a
    // stranger's, and must not touch the session.
    if (vexa_xml_validate_hello(&hello, server->get_rtag().text().c_str()) != 0)
        return HelloAdmission::INVALID;

    displace_clients(session_id, server, leg, released);
    move_established_to_resumable_locked(session_id, released);
    if (restart_server_connection_locked(session_id, released) != 0)
        return HelloAdmission::UNKNOWN_SESSION;
    // The restart files the same leg as tagged.
    const auto t = tagged.find(session_id);
    if (t == tagged.end())
        return HelloAdmission::UNKNOWN_SESSION;
    t->second->set_admitted_client(leg);
    leg->set_admitted(session_id);
    return HelloAdmission::ADMITTED;
}

void SSIGServer::displace_clients(const std::string& session_id, const server_ptr& server, const client_ptr& leg,
                                  Released& released)
{
    client_ptr others[3];
    const auto cb = callbacks.find(session_id);
    if (cb != callbacks.end())
        others[0] = cb->second.owner.lock();
    others[1] = server->get_admitted_client();
    others[2] = server->get_joined_client();
    for (const client_ptr& other : others) {
        if (!other)
            continue;
        released.clients.push_back(other);
        // A paired client goes with its pair (the resumption below).
        if (other != leg && pending.count(other) != 0)
            close_pending_client(session_id, other, released);
    }
}

void SSIGServer::close_pending_client(const std::string& session_id, const client_ptr& leg, Released& released)
{
    BOOST_LOG_SEV(lg, info) << SESSION_ATTRS(session_id, leg->get_session_log_id())
                            << "A newer verified KAVRI_HELLO takes the turn of session " << session_id
                            << ": closing the client connection from " << endpoint_text(leg->get_client_endpoint());
    leg->stop();
    erase_callback_of(session_id, leg, released);
    pending.erase(leg);
    retire_client(leg, released);
}

// ---- resumption (client leg on HELLO) ----

int SSIGServer::restart_server_connection(const std::string& session_id)
{
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    return restart_server_connection_locked(session_id, released);
}

int SSIGServer::restart_server_connection_locked(const std::string& session_id, Released& released)
{
    static const char* const where = "restart_server_connection";
    const auto file_tagged = [&](server_ptr leg) {
        server_ptr& slot = tagged[session_id];
        if (slot && slot != leg)
            released.servers.push_back(std::move(slot));
        slot = std::move(leg);
        return slot;
    };

    const auto r = resumable.find(session_id);
    if (r != resumable.end()) {
        BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(session_id, r->second->get_session_log_id()) << where
                                 << ": -- Restarting a resumable server connection - " << session_id;
        const server_ptr leg = file_tagged(r->second);
        resumable.erase(r);
        leg->restart(false);
        leg->mark_activity();
        return 0;
    }
    const auto e = established.find(session_id);
    if (e != established.end()) {
        const pair_ptr pair = e->second;
        BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(session_id, pair->get_session_log_id()) << where
                                 << ": -- Restarting an established server connection - " << session_id;
        if (client_ptr client = pair->extract_client_connection())
            pending.insert(client);
        established.erase(e);
        released.pairs.push_back(pair);
        if (server_ptr server = pair->extract_server_connection()) {
            const server_ptr leg = file_tagged(server);
            leg->restart(false);
            leg->mark_activity();
        }
        return 0;
    }
    const auto t = tagged.find(session_id);
    if (t != tagged.end()) {
        const server_ptr& leg = t->second;
        if (leg->get_resume_count() > 0) {
            BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(session_id, leg->get_session_log_id()) << where
                                     << ": -- Restarting a tagged server connection - " << session_id;
            leg->restart(false);
            leg->mark_activity();
        } else {
            BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(session_id, leg->get_session_log_id()) << where
                                     << ": This is the initial session establishment (not a session "
                                        "resume). No need to restart the server connection - "
                                     << session_id;
        }
        return 0;
    }
    BOOST_LOG_SEV(lg, error) << VEXA_LOG_SESSION_ID(session_id) << where << ": Bad session_id: " << session_id;
    return -500;
}

int SSIGServer::move_established_to_resumable(const std::string& session_id)
{
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    return move_established_to_resumable_locked(session_id, released);
}

int SSIGServer::move_established_to_resumable_locked(const std::string& session_id, Released& released)
{
    static const char* const where = "move_established_to_resumable";
    const auto it = established.find(session_id);
    if (it == established.end())
        return 0;
    const pair_ptr pair = it->second;
    const std::string log_id = pair->get_session_log_id();
    erase_callback(session_id, released);
    BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(session_id, log_id) << where
                             << ": moving SSIG connection: session-id=" << session_id;
    pair->stop();
    const server_ptr& server = pair->get_server_connection();
    if (server && server->is_resumable()) {
        BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(session_id, log_id) << where
                                 << " Moving the established server connection to the resumable map "
                                 << session_id;
        // The stopped client leg waits out its hold; it is no pending leg any more.
        if (client_ptr client = pair->extract_client_connection())
            add_dormant_connection(client);
        server_ptr& slot = resumable[session_id];
        if (slot)
            released.servers.push_back(std::move(slot));
        slot = pair->extract_server_connection();
    } else {
        BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(session_id, log_id) << where
                                 << " Deleting server connection from the established connections map "
                                 << session_id;
    }
    released.pairs.push_back(pair);
    established.erase(it);
    return 1;
}

// ---- server-leg failure ----

bool SSIGServer::holds(const std::string& session_id, const SSIGServerConnection* leg) const
{
    auto t = tagged.find(session_id);
    if (t != tagged.end() && t->second.get() == leg)
        return true;
    auto r = resumable.find(session_id);
    if (r != resumable.end() && r->second.get() == leg)
        return true;
    auto e = established.find(session_id);
    return e != established.end() && e->second->get_server_connection().get() == leg;
}

bool SSIGServer::is_session_resumable(const std::string& session_id, const server_ptr& leg)
{
    static const char* const where = "is_session_resumable";
    std::lock_guard<std::mutex> lock(mutex);
    BOOST_LOG_SEV(lg, trace) << VEXA_LOG_SESSION_ID(session_id) << where << ": session - " << session_id;
    const auto e = established.find(session_id);
    if (e != established.end() && e->second->get_server_connection() == leg) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where << ": session is established - "
                                << session_id;
        if (leg->is_resumable()) {
            BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where
                                    << ": session is established & resumable - " << session_id;
            return true;
        }
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where
                                << ": session is established & not resumable - " << session_id;
        return false;
    }
    const auto t = tagged.find(session_id);
    if (t != tagged.end() && t->second == leg) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where << ": session is tagged - "
                                << session_id;
        return true;
    }
    const auto r = resumable.find(session_id);
    if (r != resumable.end() && r->second == leg) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where << ": session is resumable - "
                                << session_id;
        return true;
    }
    return false;
}

void SSIGServer::cleanup_connections_for_next_resume(const std::string& session_id, const server_ptr& leg)
{
    BOOST_LOG_SEV(lg, info) << SESSION_ATTRS(session_id, leg->get_session_log_id())
                            << "cleanup_connections_for_next_resume" << ": called for session " << session_id;
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    // A leg the tables no longer hold (stopped and replaced) must not touch
    // the session that took its place.
    if (!holds(session_id, leg.get()))
        return;
    close_server_connection(session_id);
    close_pending_client_connection(session_id, released);
    move_to_resumable(session_id, released);
}

void SSIGServer::close_server_connection(const std::string& session_id)
{
    static const char* const where = "close_server_connection";
    BOOST_LOG_SEV(lg, trace) << VEXA_LOG_SESSION_ID(session_id) << where << " (" << session_id << ")";
    const auto e = established.find(session_id);
    if (e != established.end()) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where << " closing server connection "
                                << session_id << " (established)";
        e->second->stop();
        return;
    }
    const auto t = tagged.find(session_id);
    if (t != tagged.end()) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where << " closing server connection "
                                << session_id << " (tagged)";
        t->second->stop();
        return;
    }
    if (resumable.count(session_id) != 0)
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where << " closing server connection "
                                << session_id << " (resumable)";
}

void SSIGServer::close_pending_client_connection(const std::string& session_id, Released& released)
{
    static const char* const where = "close_pending_client_connection";
    // The legs that wait or negotiate for this very session: the callback's
    // owner and the legs the server leg knows, never a leg that only named
    // the session.
    client_ptr legs[3];
    const auto cb = callbacks.find(session_id);
    if (cb != callbacks.end())
        legs[0] = cb->second.owner.lock();
    if (const server_ptr server = filed_server(session_id)) {
        legs[1] = server->get_admitted_client();
        legs[2] = server->get_joined_client();
    }
    for (const client_ptr& leg : legs) {
        if (!leg)
            continue;
        released.clients.push_back(leg);
        if (leg->is_stopped() || pending.count(leg) == 0)
            continue;
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where << " (" << session_id
                                << ") ==> deleting client";
        leg->stop();
        pending.erase(leg);
    }
    const auto it = callbacks.find(session_id);
    if (it == callbacks.end())
        return;
    BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where << " (" << session_id
                            << ") ==> deleting callback";
    std::function<void(bool)> callback = std::move(it->second.callback);
    callbacks.erase(it);
    if (callback)
        callback(false);
    released.callbacks.push_back(std::move(callback));
}

void SSIGServer::move_to_resumable(const std::string& session_id, Released& released)
{
    static const char* const where = "move_to_resumable";
    const auto e = established.find(session_id);
    if (e != established.end()) {
        const pair_ptr pair = e->second;
        if (!pair->get_server_connection() || !pair->get_server_connection()->is_resumable())
            return;
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where
                                << ": Moving SSIG server connection from established to resumable "
                                   "connection map "
                                << session_id;
        server_ptr& slot = resumable[session_id];
        if (slot)
            released.servers.push_back(std::move(slot));
        slot = pair->extract_server_connection();
        released.pairs.push_back(pair);
        established.erase(e);
        return;
    }
    const auto t = tagged.find(session_id);
    if (t != tagged.end() && t->second->is_resumable()) {
        BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << where
                                << ": Moving SSIG server connection from tagged to resumable connection map "
                                << session_id;
        server_ptr& slot = resumable[session_id];
        if (slot && slot != t->second)
            released.servers.push_back(std::move(slot));
        slot = t->second;
        tagged.erase(t);
    }
}

void SSIGServer::remove_connection(const SessionTag&, const server_ptr& leg)
{
    const std::string id = leg->get_table_key();
    BOOST_LOG_SEV(lg, trace) << SESSION_ATTRS(id, leg->get_session_log_id())
                             << "SSIGServer::remove_connection: " << id;
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    bool removed = false;
    const auto t = tagged.find(id);
    if (t != tagged.end() && t->second == leg) {
        BOOST_LOG_SEV(lg, debug) << SESSION_ATTRS(id, leg->get_session_log_id())
                                 << "===> removing a tagged SSIG connection (" << id << ")";
        leg->stop();
        add_dormant_connection(leg);
        tagged.erase(t);
        removed = true;
    }
    const auto e = established.find(id);
    if (e != established.end() && e->second->get_server_connection() == leg) {
        BOOST_LOG_SEV(lg, debug) << SESSION_ATTRS(id, leg->get_session_log_id())
                                 << "===> removing an established SSIG connection (" << id << ")";
        e->second->stop();
        add_dormant_connection(e->second);
        established.erase(e);
        removed = true;
    }
    if (removed)
        erase_callback(id, released);
}

// ---- removal by the broker (control thread) ----

void SSIGServer::remove_ssig_connection(const std::string& rtag)
{
    BOOST_LOG_SEV(lg, debug) << "===> SSIGServer::remove_ssig_connection";
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    // The broker asked for it: nothing about this connection reaches it any
    // more, from whichever table, dormant list or tunnel still holds a leg.
    const auto range = legs_by_rtag.equal_range(rtag);
    for (auto it = range.first; it != range.second;) {
        if (server_ptr leg = it->second.lock()) {
            leg->clear_broker_callbacks();
            released.servers.push_back(std::move(leg));
        }
        it = legs_by_rtag.erase(it);
    }
    const auto t = std::find_if(tagged.begin(), tagged.end(), [&rtag](const auto& kv) {
        return kv.second->get_rtag().text() == rtag;
    });
    if (t != tagged.end()) {
        const std::string id = t->first;
        const server_ptr leg = t->second;
        BOOST_LOG_SEV(lg, debug) << SESSION_ATTRS(id, leg->get_session_log_id())
                                 << "===> removing a tagged SSIG connection (session_id=" << id << ")";
        // The broker asked for it: no notification follows.
        leg->clear_broker_callbacks();
        leg->stop();
        add_dormant_connection(leg);
        tagged.erase(t);
        erase_callback(id, released);
    }
    const auto e = std::find_if(established.begin(), established.end(), [&rtag](const auto& kv) {
        const server_ptr& server = kv.second->get_server_connection();
        return server && server->get_rtag().text() == rtag;
    });
    if (e != established.end()) {
        const std::string id = e->first;
        const pair_ptr pair = e->second;
        BOOST_LOG_SEV(lg, debug) << SESSION_ATTRS(id, pair->get_session_log_id())
                                 << "===> removing an established SSIG connection (session_id=" << id << ")";
        pair->get_server_connection()->clear_broker_callbacks();
        pair->stop();
        add_dormant_connection(pair);
        established.erase(e);
        erase_callback(id, released);
    }
    const auto r = std::find_if(resumable.begin(), resumable.end(), [&rtag](const auto& kv) {
        return kv.second->get_rtag().text() == rtag;
    });
    if (r != resumable.end()) {
        const std::string id = r->first;
        const server_ptr leg = r->second;
        BOOST_LOG_SEV(lg, debug) << SESSION_ATTRS(id, leg->get_session_log_id())
                                 << "===> removing a resumable SSIG connection (session_id=" << id << ")";
        leg->clear_broker_callbacks();
        add_dormant_connection(leg);
        resumable.erase(r);
    }
}

void SSIGServer::teardown_connection(const std::string& rtag)
{
    BOOST_LOG_SEV(lg, debug) << "===> SSIGServer::teardown_connection";
    remove_ssig_connection(rtag);
    boost::shared_ptr<UDPServer> relay;
    {
        std::lock_guard<std::mutex> lock(mutex);
        relay = udp;
    }
    if (relay)
        relay->remove_udp_connection(rtag);
}

}  // namespace vexa
