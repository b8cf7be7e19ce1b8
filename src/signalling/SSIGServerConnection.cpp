#include "SSIGServerConnection.h"
#include "SSIGServerConnectionLog.h"

#include "CommonUtil.h"
#include "Config.h"
#include "SSIG.h"
#include "SSIGLegContexts.h"
#include "SSIGLegHost.h"
#include "TlsSocketStream.h"
#include "vexa_tags.h"
#include "vexa_xml_frame.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace vexa {

using ssig::SSIGHttp;
using ssig::SSIGMap;
using ssig::SSIGPacket;
using ssig::SSIGTLV;


namespace {

constexpr uint32_t kInvite = 0;
constexpr uint32_t kInviteOk = 1;

std::string checked_port(const std::string& port)
{
    // A service name is left to the resolver; a number must be a port.
    if (!port.empty() && std::all_of(port.begin(), port.end(), [](char c) { return std::isdigit(uint8_t(c)); })) {
        if (port.size() > 5 || std::strtol(port.c_str(), nullptr, 10) > 65535)
            throw std::invalid_argument("SSIGServerConnection: port out of range: " + port);
    }
    return port;
}

}  // namespace

// One connection attempt to the server: the socket, the TLS stream over it,
// and what reads and writes on them. Strand only.
struct SSIGServerConnection::Link {
    Link(boost::asio::io_context& io, boost::asio::ssl::context& ctx, const TlsSocketStream::executor_type& strand,
         uint64_t link_epoch)
        : socket(io), stream(socket, ctx, strand), epoch(link_epoch), drain_timer(io)
    {
    }

    tcp::socket socket;
    TlsSocketStream stream;
    const uint64_t epoch;
    SSIGFrameReader reader;
    SSIGWriteQueue writes;
    bool handshake_done = false;
    bool reading = false;
    bool write_failed = false;
    bool closed = false;
    boost::asio::deadline_timer drain_timer;
};

std::mutex SSIGServerConnection::s_ssig_server_connections_mutex;
std::unordered_map<const SSL*, std::shared_ptr<SSIGServerConnection>>
    SSIGServerConnection::s_ssig_server_connections;

SSIGServerConnection::SSIGServerConnection(
    std::shared_ptr<SSIGLegHost> host, boost::asio::io_context& io, const std::string& host_name,
    const std::string& port, const std::string& sni, const std::string& connection_id,
    const std::string& session_log_id, state_callback_t state_callback,
    closed_callback_t closed_callback, const std::string& ctag, const std::string& rtag,
    const unsigned char (&thumbprint)[32], SSIGLegTimings timings)
    : IdleMonitored(static_cast<int32_t>(
          std::strtol(Config::get_instance()->get("SsigMaxNoActivitySeconds").c_str(), nullptr, 10))),
      m_io(io),
      m_strand(boost::asio::make_strand(io)),
      m_resolver(io),
      m_host_name(host_name),
      m_port(checked_port(port)),
      m_sni(sni),
      m_send_sni(false),
      m_connection_id(connection_id),
      m_session_log_id(session_log_id),
      m_ctag(ctag),
      m_rtag(rtag),
      m_table_key(m_ctag.get_session_id()),
      m_thumbprint(),
      m_host(std::move(host)),
      m_timings(timings),
      m_epoch(0),
      m_stopped(false),
      m_connected(false),
      m_registered_ssl(nullptr),
      m_server_endpoint(boost::asio::ip::address_v4::any(), 0),
      m_state_callback(std::move(state_callback)),
      m_closed_callback(closed_callback),
      m_relay_closed_callback(std::move(closed_callback)),
      m_subject("unknown"),
      m_cert_seen(false),
      m_last_xml_sent(-99),
      m_rejected_count(0),
      m_resume_timeout(0),
      m_resume_count(-1),
      m_state(PENDING_INIT)
{
    // Options, verify mode, depth and callback, the gateway's certificate
    // and key: all on the shared context each link's TLS session comes from.
    unsigned char id[16] = {0};
    unsigned char key[32] = {0};
    unsigned short flags = 0;
    m_send_sni = vexa_util_parse_tovik_session_tag(rtag.c_str(), id, key, &flags) == 0;
    BOOST_LOG_SEV(m_log, trivial::debug)
        << VEXA_LOG_SESSION_ID(m_ctag.get_session_id())
        << (m_send_sni ? "Server-facing connection has tovik tag: using default certificate"
                       : "Server-facing connection does not have tovik tag: using default certificate");

    std::copy(thumbprint, thumbprint + 32, m_thumbprint.begin());
    BOOST_LOG_SEV(m_log, trivial::trace) << VEXA_LOG_SESSION_ID(m_ctag.get_session_id())
                                         << "Constructing SSIGServerConnection instance";
}

SSIGServerConnection::~SSIGServerConnection()
{
    SERVER_LOG(info) << "Destroying SSIGServerConnection instance: session " << m_table_key;
    notify_termination("Unknown");
}

// --- life cycle --------------------------------------------------------------

void SSIGServerConnection::start()
{
    SERVER_LOG(trace) << "Starting SSIGServerConnection ...";
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        epoch = start_locked();
    }
    post_start(epoch);
}

uint64_t SSIGServerConnection::start_locked()
{
    ++m_resume_count;
    // Forwarders were wired to the previous negotiation; a restarted leg has
    // none until they are wired again.
    if (m_stopped) {
        m_xml_forwarder = nullptr;
        m_ksdp_forwarder = nullptr;
    }
    m_stopped = false;
    m_connected = false;
    return ++m_epoch;
}

void SSIGServerConnection::post_start(uint64_t epoch)
{
    auto self = shared_from_this();
    boost::asio::post(m_strand, [self, epoch] { self->do_start(epoch); });
}

void SSIGServerConnection::do_start(uint64_t epoch)
{
    link_ptr link = std::make_shared<Link>(m_io, m_host->get_leg_contexts().server_facing(), m_strand, epoch);
    SSL* ssl = link->stream.native_handle();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // A stop or another start came in meanwhile.
        if (epoch != m_epoch || m_stopped)
            return;
        m_link = link;
        m_client_keys.clear();
        // Registered under the leg's mutex, so a concurrent stop() finds it.
        std::lock_guard<std::mutex> registry(s_ssig_server_connections_mutex);
        auto inserted = s_ssig_server_connections.emplace(ssl, shared_from_this());
        if (inserted.second)
            m_registered_ssl = ssl;
        else
            ssl = nullptr;
    }
    if (!ssl)
        SERVER_LOG(error) << "SSIGServerConnection instance already exists for SSL context.";
    // An empty name cannot go into the extension (brokers may send one).
    if (m_send_sni && !m_sni.empty())
        SSL_set_tlsext_host_name(link->stream.native_handle(), m_sni.c_str());

    auto self = shared_from_this();
    m_resolver.async_resolve(
        m_host_name, m_port, tcp::resolver::address_configured,
        boost::asio::bind_executor(m_strand, [self, link](const boost::system::error_code& ec,
                                                          tcp::resolver::results_type endpoints) {
            self->handle_resolve(link, ec, std::move(endpoints));
        }));
}

void SSIGServerConnection::stop()
{
    SERVER_LOG(trace) << "Stopping SSIGServerConnection ...";
    // The registry's reference is released after the locks.
    std::shared_ptr<SSIGServerConnection> registered;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        stop_locked(registered);
    }
    post_stop();
}

void SSIGServerConnection::stop_locked(std::shared_ptr<SSIGServerConnection>& registered)
{
    m_connected = false;
    if (!m_stopped) {
        m_stopped = true;
        m_xml_forwarder = empty_xml_forwarder;
        m_ksdp_forwarder = empty_ksdp_forwarder;
    }
    if (m_registered_ssl) {
        std::lock_guard<std::mutex> registry(s_ssig_server_connections_mutex);
        auto it = s_ssig_server_connections.find(m_registered_ssl);
        if (it != s_ssig_server_connections.end()) {
            registered = std::move(it->second);
            s_ssig_server_connections.erase(it);
        }
        m_registered_ssl = nullptr;
    }
}

void SSIGServerConnection::post_stop()
{
    auto self = shared_from_this();
    boost::asio::post(m_strand, [self] {
        self->m_resolver.cancel();
        link_ptr link;
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            // Only the link that was current when the leg stopped; a restart
            // may already have asked for the next one.
            if (!self->m_stopped && self->m_link && self->m_link->epoch == self->m_epoch)
                return;
            link = std::move(self->m_link);
        }
        if (link)
            self->do_stop(link);
    });
}

void SSIGServerConnection::do_stop(const link_ptr& link)
{
    if (link->writes.empty() || !link->handshake_done || link->write_failed) {
        close_link(link);
        return;
    }
    // Frames handed over before the stop still go out, for a while.
    auto self = shared_from_this();
    link->drain_timer.expires_from_now(m_timings.stop_drain);
    link->drain_timer.async_wait(boost::asio::bind_executor(
        m_strand, [self, link](const boost::system::error_code&) { self->close_link(link); }));
}

void SSIGServerConnection::close_link(const link_ptr& link)
{
    if (link->closed)
        return;
    link->closed = true;
    link->drain_timer.cancel();
    boost::system::error_code ignored;
    link->stream.close(ignored);
}

bool SSIGServerConnection::restart(bool rejected)
{
    return do_restart(rejected) == Restart::RESTARTED;
}

SSIGServerConnection::Restart SSIGServerConnection::do_restart(bool rejected)
{
    // Stop and start under one hold of the mutex, so that a stop() from
    // elsewhere lands before or after the whole restart, never in between
    // (where the start would undo it).
    std::shared_ptr<SSIGServerConnection> registered;
    Restart outcome = Restart::RESTARTED;
    unsigned rejected_count;
    int resume_count;
    uint64_t epoch = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        rejected_count = m_rejected_count;
        resume_count = m_resume_count;
        if (rejected && m_stopped) {
            outcome = Restart::STOPPED;
        } else if (rejected && m_rejected_count > MAX_REJECTED_RESTARTS) {
            outcome = Restart::REFUSED;
        } else {
            stop_locked(registered);
            m_subject = "unknown";
            m_cert_seen = false;
            m_last_xml_sent = -99;
            m_rejected_count = rejected ? m_rejected_count + 1 : 0;
            epoch = start_locked();
        }
    }
    if (outcome == Restart::STOPPED) {
        SERVER_LOG(info) << "Not restarting the SSIG connection to the server: it was stopped";
        return outcome;
    }
    if (rejected)
        SERVER_LOG(info) << "Attempting to restart SSIG connection to the server (KAVRI_REJECTED count = "
                         << (rejected_count + 1) << ")";
    else
        SERVER_LOG(info) << "Attempting to restart SSIG connection to the server (resume attempt count = "
                         << (resume_count + 1) << ")";
    if (outcome == Restart::REFUSED) {
        SERVER_LOG(error) << "Maximum number of KAVRI_REJECTED retries has been reached - " << rejected_count;
        return outcome;
    }
    SERVER_LOG(trace) << "Stopping SSIGServerConnection ...";
    post_stop();
    SERVER_LOG(trace) << "Starting SSIGServerConnection ...";
    post_start(epoch);
    return outcome;
}

bool SSIGServerConnection::is_stopped() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopped;
}

bool SSIGServerConnection::is_connected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected;
}

bool SSIGServerConnection::is_stale(const link_ptr& link) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopped || link->epoch != m_epoch;
}

bool SSIGServerConnection::is_last_link_of_stopped_leg(const link_ptr& link) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopped && link->epoch == m_epoch;
}

void SSIGServerConnection::notify_termination(const std::string& reason)
{
    closed_callback_t callback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        callback.swap(m_closed_callback);
    }
    if (callback)
        callback(reason);
}

void SSIGServerConnection::clear_broker_callbacks()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed_callback = nullptr;
    m_relay_closed_callback = nullptr;
    m_state_callback = nullptr;
}

void SSIGServerConnection::leg_failure_action()
{
    auto self = shared_from_this();
    if (m_host->is_session_resumable(m_table_key, self))
        m_host->cleanup_connections_for_next_resume(m_table_key, self);
    else
        m_host->remove_connection(m_rtag, self);
}

void SSIGServerConnection::remove()
{
    m_host->remove_connection(m_rtag, shared_from_this());
}

// --- connect and TLS ---------------------------------------------------------

void SSIGServerConnection::handle_resolve(const link_ptr& link, const boost::system::error_code& ec,
                                          tcp::resolver::results_type endpoints)
{
    // A resolve cut short by stop() says nothing about the server.
    if (ec == boost::asio::error::operation_aborted || is_stale(link))
        return;
    if (ec) {
        SERVER_LOG(info) << "Could not connect to Kavri server.  Resolved failed:" << ec.message();
        remove();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_server_endpoint = endpoints.begin()->endpoint();
    }
    SERVER_LOG(debug) << "Connecting to Kavri server: " << endpoint_text(endpoints.begin()->endpoint());
    connect_next(link, endpoints, 0);
}

void SSIGServerConnection::connect_next(const link_ptr& link, const tcp::resolver::results_type& endpoints,
                                        std::size_t index)
{
    auto self = shared_from_this();
    link->socket.async_connect(
        std::next(endpoints.begin(), std::ptrdiff_t(index))->endpoint(),
        boost::asio::bind_executor(m_strand, [self, link, endpoints, index](const boost::system::error_code& ec) {
            self->handle_connect(link, ec, endpoints, index);
        }));
}

void SSIGServerConnection::handle_connect(const link_ptr& link, const boost::system::error_code& ec,
                                          const tcp::resolver::results_type& endpoints, std::size_t index)
{
    if (ec == boost::asio::error::operation_aborted) {
        SERVER_LOG(info) << "Could not connect to Kavri server. " << ec.message()
                         << " Ingnoring because we closed the socket.";
        return;
    }
    if (is_stale(link))
        return;
    const tcp::endpoint endpoint = std::next(endpoints.begin(), std::ptrdiff_t(index))->endpoint();
    if (!ec) {
        SERVER_LOG(info) << "Connected to Kavri server (session ID: " << m_table_key << ")";
        {
            // The media address follows the endpoint actually connected.
            std::lock_guard<std::mutex> lock(m_mutex);
            m_server_endpoint = endpoint;
        }
        boost::system::error_code option_ec;
        link->socket.set_option(tcp::no_delay(true), option_ec);
        if (option_ec)
            SERVER_LOG(error) << "Failed to set no delay option on connection to Kavri server: "
                              << option_ec.message();
        option_ec.clear();
        link->socket.set_option(boost::asio::socket_base::linger(false, 0), option_ec);
        if (option_ec)
            SERVER_LOG(error) << "Failed to set no linger option on connection to Kavri server: "
                              << option_ec.message();
        auto self = shared_from_this();
        link->stream.async_handshake(
            boost::asio::ssl::stream_base::client,
            boost::asio::bind_executor(m_strand, [self, link](const boost::system::error_code& e) {
                self->handle_handshake(link, e);
            }));
        return;
    }
    if (index + 1 < endpoints.size()) {
        boost::system::error_code ignored;
        link->socket.close(ignored);
        SERVER_LOG(debug) << "Connecting to Kavri server: "
                          << endpoint_text(std::next(endpoints.begin(), std::ptrdiff_t(index + 1))->endpoint())
                          << " [Retry]";
        connect_next(link, endpoints, index + 1);
        return;
    }
    SERVER_LOG(error) << "Could not connect to Kavri server.  No more endpoints.  Connect failed:" << ec.message();
    leg_failure_action();
}

void SSIGServerConnection::handle_handshake(const link_ptr& link, const boost::system::error_code& ec)
{
    SERVER_LOG(trace) << "handle_handshake" << ": ------> m_resume_count=" << get_resume_count();
    if (ec == boost::asio::error::operation_aborted) {
        SERVER_LOG(info) << "SSL handshake with Kavri server failed:" << ec.message()
                         << ". Ignoring because SG closed the socket.";
        return;
    }
    if (is_stale(link))
        return;
    auto self = shared_from_this();
    if (ec) {
        SERVER_LOG(error) << "SSL handshake with Kavri server failed:" << ec.message();
        if (m_host->is_session_resumable(m_table_key, self)) {
            m_host->cleanup_connections_for_next_resume(m_table_key, self);
            return;
        }
        if (link->writes.empty()) {
            SERVER_LOG(error) << "handle_handshake failed @ 3. Deleting all session info.";
            remove();
            return;
        }
        std::deque<SSIGWriteQueue::Entry> queued = link->writes.take_all();
        const bool any_handler = std::any_of(queued.begin(), queued.end(),
                                             [](const SSIGWriteQueue::Entry& e) { return bool(e.completion); });
        if (any_handler) {
            SERVER_LOG(error) << "handle_handshake failed @ 2. Deleting all session info.";
            for (auto& entry : queued)
                if (entry.completion && !is_stopped())
                    entry.completion(ec);
        }
        remove();
        return;
    }

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped || link->epoch != m_epoch)
            return;
        m_connected = true;
    }
    link->handshake_done = true;
    SERVER_LOG(debug) << "SSL handshake completed with Kavri server";
    m_host->invoke_server_connected_callback(m_table_key);
    if (!link->writes.empty()) {
        SERVER_LOG(info) << "Sending pending SSIG message to the server ...";
        write_front(link);
        set_state_negotiating("handle_handshake");
    }
    SERVER_LOG(trace) << "Reinitiate reading";
    read_next(link);
}

void SSIGServerConnection::set_state_negotiating(const char* caller)
{
    if (m_state.exchange(NEGOTIATING) == NEGOTIATING)
        return;
    SERVER_LOG(info) << caller << ": ---SS---> Changing the session state to NEGOTIATING - " << m_table_key;
}

int SSIGServerConnection::ssl_ksg_server_facing_cert_cback(int, X509_STORE_CTX* store)
{
    X509* cert = X509_STORE_CTX_get_current_cert(store);
    const SSL* ssl = static_cast<const SSL*>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    std::shared_ptr<SSIGServerConnection> leg;
    {
        std::lock_guard<std::mutex> registry(s_ssig_server_connections_mutex);
        auto it = s_ssig_server_connections.find(ssl);
        if (it != s_ssig_server_connections.end())
            leg = it->second;
    }
    if (!leg) {
        logger_t lg;
        BOOST_LOG_SEV(lg, trivial::error) << "No SSIGServerConnection instance found for SSL context.";
        return 1;
    }
    if (cert)
        leg->on_certificate(cert);
    // The chain is never refused here: the client leg's thumbprint check decides.
    return 1;
}

void SSIGServerConnection::on_certificate(X509* cert)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_cert_seen) {
            char subject[256] = {0};
            X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
            m_subject = subject;
            m_cert_seen = true;
            first = true;
        }
        // The last one seen is the server's own: OpenSSL checks it last.
        // A counted reference: the session already holds the decoded one.
        X509_up_ref(cert);
        m_server_cert.reset(cert);
    }
    if (first)
        print_x509_cert(m_log, trivial::debug, cert, "x509 certificate received from the Kavri server");
}

// --- reads -----------------------------------------------------------------

void SSIGServerConnection::read_next(const link_ptr& link)
{
    if (link->reading || link->closed)
        return;
    link->reading = true;
    auto self = shared_from_this();
    auto done = boost::asio::bind_executor(
        m_strand, [self, link](const boost::system::error_code& ec, std::size_t n) { self->handle_read(link, ec, n); });
    if (link->reader.stage() == SSIGFrameReader::Stage::HTTP_HEADER)
        boost::asio::async_read_until(link->stream, link->reader.header(), SSIGFrameReader::HEADER_DELIMITER,
                                      std::move(done));
    else
        boost::asio::async_read(link->stream, link->reader.buffer(), std::move(done));
}

void SSIGServerConnection::handle_read(const link_ptr& link, const boost::system::error_code& ec, std::size_t n)
{
    link->reading = false;
    switch (link->reader.stage()) {
    case SSIGFrameReader::Stage::TYPE: return handle_read_type(link, ec, n);
    case SSIGFrameReader::Stage::TLV_LENGTH: return handle_read_ssig_length(link, ec, n);
    case SSIGFrameReader::Stage::TLV_VALUE: return handle_read_ssig_value(link, ec, n);
    case SSIGFrameReader::Stage::HTTP_HEADER: return handle_read_http_header(link, ec, n);
    case SSIGFrameReader::Stage::HTTP_PAYLOAD: return handle_read_http_payload(link, ec, n);
    }
}

void SSIGServerConnection::handle_read_type(const link_ptr& link, const boost::system::error_code& ec, std::size_t n)
{
    if (ec || n != 4) {
        const char* text = "SSIG server connection error while reading SSIG packet type: ";
        if (is_stale(link) || !is_connected())
            SERVER_LOG(info) << text << ec.message() << ". Ignoring because SG is not connected.";
        else if (ec == boost::asio::error::operation_aborted)
            SERVER_LOG(info) << text << ec.message() << ". Ignoring because SG closed the socket.";
        else {
            SERVER_LOG(error) << text << ec.message();
            leg_failure_action();
        }
        return;
    }
    if (is_stale(link))
        return;
    if (link->reader.advance(n) != SSIGFrameReader::Verdict::NEXT_READ) {
        SERVER_LOG(info) << "Unknown SSIG packet type detected: " << link->reader.type_number();
        remove();
        return;
    }
    if (link->reader.stage() == SSIGFrameReader::Stage::TLV_LENGTH)
        SERVER_LOG(trace) << "SSIG packet type detected";
    else
        SERVER_LOG(trace) << "HTTP packet type detected";
    read_next(link);
}

// The error cases every later read shares: a stop's abort is only logged;
// anything else takes the leg-failure action. True when handled.
#define SERVER_READ_ERROR(text)                                                                   \
    if (ec) {                                                                                     \
        if (ec == boost::asio::error::operation_aborted) {                                        \
            SERVER_LOG(info) << text << ec.message() << ". Ignoring because SG closed the socket."; \
        } else if (!is_stale(link)) {                                                             \
            SERVER_LOG(error) << text << ec.message();                                            \
            leg_failure_action();                                                                 \
        }                                                                                         \
        return;                                                                                   \
    }                                                                                             \
    if (is_stale(link))                                                                           \
        return;

void SSIGServerConnection::handle_read_ssig_length(const link_ptr& link, const boost::system::error_code& ec,
                                                   std::size_t n)
{
    SERVER_READ_ERROR("SSIG server connection error while reading SSIG APDU header: ")
    if (link->reader.advance(n) != SSIGFrameReader::Verdict::NEXT_READ) {
        SERVER_LOG(info) << "SSIG server connection error while reading SSIG APDU header: invalid size";
        remove();
        return;
    }
    SERVER_LOG(trace) << "SSIG packet value length: " << link->reader.tlv_length();
    read_next(link);
}

void SSIGServerConnection::handle_read_ssig_value(const link_ptr& link, const boost::system::error_code& ec,
                                                  std::size_t n)
{
    SERVER_READ_ERROR("Error reading SSIG body from Kavri server: ")
    link->reader.advance(n);
    SSIGMap map = link->reader.tlv()->tokenize();
    const bool invite_ok = link->reader.tlv()->get_command_value() == kInviteOk;
    link->reader.release_frame();
    if (invite_ok)
        handle_server_invite_ok(link, map);
    forward_ksdp(link, map);
    mark_activity();
}

void SSIGServerConnection::handle_read_http_header(const link_ptr& link, const boost::system::error_code& ec,
                                                   std::size_t n)
{
    SERVER_READ_ERROR("SSIG server connection error while reading SSIG HTTP/POST header: ")
    if (link->reader.advance(n) != SSIGFrameReader::Verdict::NEXT_READ) {
        SERVER_LOG(debug) << "SSIG server connection error: HTTP/POST header contains invalid content length";
        remove();
        return;
    }
    SERVER_LOG(trace) << "HTTP packet content length: " << link->reader.content_length();
    read_next(link);
    mark_activity();
}

void SSIGServerConnection::handle_read_http_payload(const link_ptr& link, const boost::system::error_code& ec,
                                                    std::size_t n)
{
    SERVER_READ_ERROR("SSIG server connection error while reading SSIG HTTP/POST packet: ")
    link->reader.advance(n);
    handle_server_xml(link, *link->reader.http());
    link->reader.release_frame();
    mark_activity();
}

#undef SERVER_READ_ERROR

bool SSIGServerConnection::forward_xml(const link_ptr& link, const char* xml, eVEXA_XML_TYPE type)
{
    ssig_xml_forwarder_t forwarder;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        forwarder = m_xml_forwarder;
    }
    if (!forwarder)
        return false;
    std::weak_ptr<Link> weak_link = link;
    auto self = shared_from_this();
    forwarder(xml, type, [self, weak_link](const boost::system::error_code& ec) {
        boost::asio::post(self->m_strand, [self, weak_link, ec] {
            if (link_ptr l = weak_link.lock())
                self->do_handle_ssig(l, ec);
        });
    });
    return true;
}

bool SSIGServerConnection::forward_ksdp(const link_ptr& link, const SSIGMap& map)
{
    ssig_ksdp_forwarder_t forwarder;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        forwarder = m_ksdp_forwarder;
    }
    if (!forwarder)
        return false;
    std::weak_ptr<Link> weak_link = link;
    auto self = shared_from_this();
    forwarder(map, [self, weak_link](const boost::system::error_code& ec) {
        boost::asio::post(self->m_strand, [self, weak_link, ec] {
            if (link_ptr l = weak_link.lock())
                self->do_handle_ssig(l, ec);
        });
    });
    return true;
}

void SSIGServerConnection::handle_ssig(const boost::system::error_code& ec)
{
    auto self = shared_from_this();
    boost::asio::post(m_strand, [self, ec] {
        if (link_ptr link = self->m_link)
            self->do_handle_ssig(link, ec);
    });
}

void SSIGServerConnection::do_handle_ssig(const link_ptr& link, const boost::system::error_code& ec)
{
    if (!ec) {
        if (is_stale(link))
            return;
        SERVER_LOG(trace) << "Forwarded the received SSIG server message to the client";
        read_next(link);
    } else if (ec == boost::asio::error::operation_aborted) {
        SERVER_LOG(info) << "SSIG server SSL read error " << ec.message() << ". Ignoring because SG closed the socket.";
    } else if (!is_stale(link)) {
        SERVER_LOG(error) << "SSIG server SSL read error " << ec.message();
        leg_failure_action();
    }
}

// --- writes ----------------------------------------------------------------

void SSIGServerConnection::handle_client_xml_ssig(const char* xml, eVEXA_XML_TYPE type,
                                                  ssig_complete_handler_t completion)
{
    SERVER_LOG(info) << "Sending " << ssig::get_ssig_xml_cmd(xml) << " message to the server ...";
    std::unique_ptr<SSIGHttp> frame(new SSIGHttp(SSIGPacket::Type_HTTP_POST));
    frame->build_ssig_packet(xml);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped)
            completion = empty_ssig_complete_handler;
        m_last_xml_sent = type;
    }
    auto self = shared_from_this();
    boost::asio::post(m_strand, [self, f = std::move(frame), c = std::move(completion)]() mutable {
        link_ptr link = self->m_link;
        if (!link)
            return;
        const char* text = reinterpret_cast<const char*>(f->data());
        const char* stanza = std::strchr(text, '<');
        const std::string shown = stanza ? ssig::sanitize_xml(stanza, "<SIGNATURE>", "</SIGNATURE>") : "";
        const bool idle = link->writes.push(std::move(f), std::move(c));
        if (link->handshake_done) {
            LEG_LOG(self, trace) << "Sending SSIG XML message to the server: " << shown;
            if (idle)
                self->write_front(link);
            self->set_state_negotiating("handle_client_xml_ssig");
        } else {
            LEG_LOG(self, trace) << "Queuing a message for Sending SSIG message to the server: " << shown;
        }
    });
}

void SSIGServerConnection::handle_client_ksdp_ssig(const SSIGMap& map, ssig_complete_handler_t completion)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped)
            completion = empty_ssig_complete_handler;
    }
    auto self = shared_from_this();
    boost::asio::post(m_strand, [self, map, c = std::move(completion)]() mutable {
        link_ptr link = self->m_link;
        if (!link)
            return;
        // Only the client's INVITE carries key sets; each replaces the last.
        if (map.command_value == kInvite)
            self->m_client_keys.keep(map);
        std::unique_ptr<SSIGTLV> frame(new SSIGTLV());
        frame->build_ssig_packet(map);
        if (link->handshake_done)
            LEG_LOG(self, info) << "Sending " << ssig::get_ssig_tlv_cmd(reinterpret_cast<const char*>(frame->data()))
                                << " message to the server ...";
        if (link->writes.push(std::move(frame), std::move(c)) && link->handshake_done)
            self->write_front(link);
    });
}

void SSIGServerConnection::write_front(const link_ptr& link)
{
    SSIGPacket& frame = link->writes.front();
    auto self = shared_from_this();
    boost::asio::async_write(
        link->stream, boost::asio::buffer(frame.data(), frame.packet_size()),
        boost::asio::bind_executor(m_strand, [self, link](const boost::system::error_code& ec, std::size_t) {
            self->handle_write(link, ec);
        }));
}

void SSIGServerConnection::handle_write(const link_ptr& link, const boost::system::error_code& ec)
{
    SSIGWriteQueue::Entry done = link->writes.pop();
    if (!done.completion)
        SERVER_LOG(debug) << "handle_write" << " SSIGServerConnection has no write handler";
    else if (!is_stale(link) || is_last_link_of_stopped_leg(link))
        // A frame drained after a stop still tells its sender: a client leg
        // waiting for it reads on (and learns the session is gone) instead
        // of idling until the sweep. Only a restart's older links stay mute.
        done.completion(ec);
    if (ec == boost::asio::error::operation_aborted) {
        SERVER_LOG(info) << "Error sending SSIG message to Kavri server: " << ec.message()
                         << ". Ignoring because SG closed the socket.";
    } else if (ec) {
        link->write_failed = true;
        if (!is_stale(link)) {
            SERVER_LOG(error) << "Error sending SSIG message to Kavri server: " << ec.message();
            leg_failure_action();
        }
    }
    if (!link->writes.empty() && !link->write_failed && !link->closed)
        write_front(link);
    else if (link->writes.empty() && is_stale(link))
        close_link(link);
}

// --- accessors ---------------------------------------------------------------

void SSIGServerConnection::set_admitted_client(const std::weak_ptr<SSIGClientConnection>& client)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_admitted_client = client;
}

std::shared_ptr<SSIGClientConnection> SSIGServerConnection::get_admitted_client() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_admitted_client.lock();
}

bool SSIGServerConnection::is_admitted_client(const std::weak_ptr<SSIGClientConnection>& client) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !client.expired() && !m_admitted_client.expired() && !m_admitted_client.owner_before(client) &&
           !client.owner_before(m_admitted_client);
}

void SSIGServerConnection::set_joined_client(const std::weak_ptr<SSIGClientConnection>& client)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_joined_client = client;
}

std::shared_ptr<SSIGClientConnection> SSIGServerConnection::get_joined_client() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_joined_client.lock();
}

void SSIGServerConnection::set_ssig_xml_forwarder(ssig_xml_forwarder_t forwarder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_stopped)
        m_xml_forwarder = std::move(forwarder);
}

void SSIGServerConnection::set_ssig_ksdp_forwarder(ssig_ksdp_forwarder_t forwarder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_stopped)
        m_ksdp_forwarder = std::move(forwarder);
}

x509_ref SSIGServerConnection::get_server_certificate() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_server_cert)
        return x509_ref();
    X509_up_ref(m_server_cert.get());
    return x509_ref(m_server_cert.get());
}

std::string SSIGServerConnection::get_server_subject() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subject;
}

SSIGServerConnection::tcp::endpoint SSIGServerConnection::get_server_endpoint() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_server_endpoint;
}

uint32_t SSIGServerConnection::get_resume_timeout() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_resume_timeout;
}

void SSIGServerConnection::set_resume_timeout(uint32_t seconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_resume_timeout = seconds;
}

int SSIGServerConnection::get_resume_count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_resume_count;
}

unsigned SSIGServerConnection::get_rejected_count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rejected_count;
}

eSESSION_STATE SSIGServerConnection::get_session_state() const
{
    return static_cast<eSESSION_STATE>(m_state.load());
}

void SSIGServerConnection::udp_state_change_callback(eSESSION_STATE state)
{
    // The relay's forwarding threads and its check may report at once: only the
    // one that changes the word reports the change.
    const auto old = static_cast<eSESSION_STATE>(m_state.exchange(state));
    if (old == state)
        return;
    SERVER_LOG(info) << "Session state transition: " << session_state_name(old) << " --> "
                     << session_state_name(state);
    if (state != ACTIVE && state != INTERRUPTED && state != PENDING_RESUME)
        return;
    state_callback_t callback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        callback = m_state_callback;
    }
    if (callback)
        callback(state);
}

}  // namespace vexa
