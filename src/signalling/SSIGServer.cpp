#include "SSIGServer.h"
#include "SSIGServerRecords.h"

#include "Config.h"
#include "SSIGClientConnection.h"
#include "SSIGConnection.h"
#include "SSIGLegContexts.h"
#include "SSIGServerConnection.h"
#include "SSIGServerSSL.h"
#include "UDPServer.h"
#include "vexa_tags.h"
#include "vexa_xml.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
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
