#include "SSIGClientConnection.h"

#include "CommonUtil.h"
#include "Config.h"
#include "MergeXML.h"
#include "SSIGLegContexts.h"
#include "SSIGLegHost.h"
#include "SSIGServerSSL.h"
#include "SSIGTLV.h"
#include "safe_lib.h"
#include "vexa_tags.h"
#include "vexa_xml_fail.h"
#include "vexa_xml_frame.h"
#include "vexa_xml_hello.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <openssl/err.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace vexa {

namespace trivial = boost::log::trivial;
using ssig::SSIGHttp;
using ssig::SSIGMap;
using ssig::SSIGPacket;
using ssig::SSIGTLV;

// Every record of the leg carries the client's endpoint and the session's log id.
#define LEG_LOG(leg, sev)                                                        \
    BOOST_LOG_SEV((leg)->m_log, trivial::sev)                                    \
        << boost::log::add_value(log_attr::ClientEndPoint, (leg)->m_client_endpoint) \
        << VEXA_LOG_SESSION_LOG_ID((leg)->log_id())
#define CLIENT_LOG(sev) LEG_LOG(this, sev)

namespace {

const char* const kInitialLogId = "00000000-0000-0000-0000-000000000000";

long config_number(const char* key)
{
    return std::strtol(Config::get_instance()->get(key).c_str(), nullptr, 10);
}

std::string content_text(const SSIGHttp& packet)
{
    return std::string(packet.content());
}

}  // namespace

SSIGClientConnection::SSIGClientConnection(std::shared_ptr<SSIGLegHost> host,
                                           std::shared_ptr<tcp::socket> socket,
                                           boost::asio::io_context& io, SSIGLegTimings timings)
    : IdleMonitored(static_cast<int32_t>(config_number("SsigMaxNoActivitySeconds"))),
      m_socket(std::move(socket)),
      m_sni(NO_SNI_VALUE),
      m_host(std::move(host)),
      m_strand(boost::asio::make_strand(io)),
      m_timings(timings),
      m_stopped(false),
      m_session_log_id(kInitialLogId),
      m_handshake_done(false),
      m_closed(false),
      m_drain_timer(io),
      m_reading(false),
      m_last_xml_sent(-99),
      m_hello(),
      m_gateway_added(false),
      m_waiting_for_server(false),
      m_wait_timer(io),
      m_tls_done(false),
      m_hello_admitted(false),
      m_deadline_timer(io),
      m_deadline(Deadline::NONE),
      m_deadline_generation(0),
      m_fail_frame(nullptr)
{
    // The shared context carries the options and the server-name callback,
    // which finds this leg through the SSL object.
    m_stream = std::make_shared<ssl_stream_t>(*m_socket, m_host->get_leg_contexts().client_facing(), m_strand);
    SSL_set_ex_data(m_stream->native_handle(), leg_index(), this);

    m_client_endpoint = m_socket->remote_endpoint();
    boost::system::error_code ignored;
    m_socket->set_option(tcp::no_delay(true), ignored);
    m_socket->set_option(boost::asio::socket_base::linger(false, 0));

    m_creation_time = m_timings.clock();
    CLIENT_LOG(trace) << "Constructing SSIGClientConnection instance";
}

SSIGClientConnection::~SSIGClientConnection()
{
    CLIENT_LOG(info) << "Destroying SSIGClientConnection instance: session " << get_session_id();
}

std::string SSIGClientConnection::log_id() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_session_log_id;
}

void SSIGClientConnection::start()
{
    CLIENT_LOG(trace) << "Starting SSIGClientConnection ...";
    auto self = shared_from_this();
    boost::asio::post(m_strand, [self] {
        self->m_started_at = boost::asio::deadline_timer::traits_type::now();
        self->arm_deadline(Deadline::HANDSHAKE, self->m_started_at + self->m_timings.handshake_deadline);
        self->m_stream->async_handshake(
            boost::asio::ssl::stream_base::server,
            boost::asio::bind_executor(self->m_strand, [self](const boost::system::error_code& ec) {
                self->handle_handshake(ec);
            }));
    });
}

void SSIGClientConnection::stop()
{
    CLIENT_LOG(trace) << "Stopping SSIGClientConnection ...";
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped)
            return;
        m_stopped = true;
        m_xml_forwarder = empty_xml_forwarder;
        m_ksdp_forwarder = empty_ksdp_forwarder;
    }
    auto self = shared_from_this();
    boost::asio::post(m_strand, [self] {
        self->m_wait_timer.cancel();
        self->disarm_deadline();
        self->close_when_drained();
    });
}

void SSIGClientConnection::set_admitted(const std::string& session_id)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_session_id = session_id;
    }
    m_hello_admitted = true;
}

void SSIGClientConnection::arm_deadline(Deadline which, const boost::posix_time::ptime& at)
{
    // A completion already queued for an earlier deadline finds the
    // generation moved on and does nothing.
    m_deadline = which;
    const uint64_t generation = ++m_deadline_generation;
    m_deadline_timer.expires_at(at);
    auto self = shared_from_this();
    m_deadline_timer.async_wait(boost::asio::bind_executor(
        m_strand, [self, generation](const boost::system::error_code& ec) { self->handle_deadline(ec, generation); }));
}

void SSIGClientConnection::end_first_frame_deadline()
{
    if (m_deadline == Deadline::FIRST_FRAME)
        disarm_deadline();
}

void SSIGClientConnection::disarm_deadline()
{
    if (m_deadline == Deadline::NONE)
        return;
    m_deadline = Deadline::NONE;
    ++m_deadline_generation;
    m_deadline_timer.cancel();
}

void SSIGClientConnection::handle_deadline(const boost::system::error_code& ec, uint64_t generation)
{
    if (ec == boost::asio::error::operation_aborted || generation != m_deadline_generation ||
        m_deadline == Deadline::NONE || is_stopped())
        return;
    const Deadline which = m_deadline;
    m_deadline = Deadline::NONE;
    switch (which) {
    case Deadline::HANDSHAKE: m_host->count_client_deadline_close(ClientDeadline::WITHOUT_TLS); break;
    case Deadline::FIRST_FRAME: m_host->count_client_deadline_close(ClientDeadline::WITHOUT_FIRST_FRAME); break;
    default: m_host->count_client_deadline_close(ClientDeadline::AFTER_FAIL); break;
    }
    stop();
    remove();
}

bool SSIGClientConnection::is_stopped() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopped;
}

int SSIGClientConnection::leg_index()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int SSIGClientConnection::ssl_ksg_client_facing_sni_cback(SSL* ssl, int*, void*)
{
    auto* leg = static_cast<SSIGClientConnection*>(SSL_get_ex_data(ssl, leg_index()));
    if (!leg)
        return SSL_TLSEXT_ERR_ALERT_FATAL;

    if (X509* peer = const_cast<X509*>(SSL_get0_peer_certificate(ssl)))
        print_x509_cert(leg->m_log, trivial::debug, peer,
                        "This is the x509 certificate presented by the client");
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    if (name)
        LEG_LOG(leg, debug) << "SNI from client is " << name << "\n";
    else
        LEG_LOG(leg, debug) << "No SNI from client.\n";

    // The shared context has no certificate: every client gets the gateway's.
    SSL_set_SSL_CTX(ssl, leg->m_host->get_server_ssl().get_gateway_context().native_handle());

    if (!name) {
        {
            std::lock_guard<std::mutex> lock(leg->m_mutex);
            leg->m_sni = NO_SNI_VALUE;
        }
        LEG_LOG(leg, info)
            << "ssl_ksg_client_facing_sni_cback: Received no SNI value. Using default certificate.";
    } else {
        {
            std::lock_guard<std::mutex> lock(leg->m_mutex);
            leg->m_sni = name;
        }
        LEG_LOG(leg, info) << "ssl_ksg_client_facing_sni_cback: incoming Tovik client, sni is \""
                         << name << "\" using default certificate.";
    }
    return 0;
}

void SSIGClientConnection::handle_handshake(const boost::system::error_code& ec)
{
    // Writes wait for the handshake: frames handed over meanwhile go now.
    if (!ec) {
        m_handshake_done = true;
        m_tls_done = true;
        if (m_deadline == Deadline::HANDSHAKE)
            arm_deadline(Deadline::FIRST_FRAME, m_started_at + m_timings.first_frame_deadline);
        if (!m_writes.empty())
            write_front();
    }
    if (is_stopped()) {
        // stop() posted its close after the frames handed over before it:
        // once they are queued, it closes (or lets them drain first).
        if (ec)
            close_socket();
        return;
    }
    if (ec) {
        char reason[256] = {0};
        ERR_error_string_n(static_cast<unsigned long>(ec.value()), reason, sizeof reason);
        CLIENT_LOG(error) << "*** SSIGClientConnection::SSL handshake failure: " << ec.message()
                          << " (" << ec.value() << ") " << reason;
        ERR_print_errors_fp(stderr);
        remove();
        return;
    }
    const std::string sni = get_sni();
    if (config_number("SSLRefuseClientOnSniMismatch") != 0 &&
        !m_host->get_server_ssl().does_sni_match_cert(sni)) {
        CLIENT_LOG(info) << "Client refused due to SNI mismatch: (SNI: " << sni << " )";
        remove();
        return;
    }
    CLIENT_LOG(info) << "SSL handshake completed with Kavri client (SNI: " << sni << ")";
    read_next();
}

void SSIGClientConnection::remove()
{
    m_host->remove_pending_client_connection(shared_from_this());
}

// --- reads -----------------------------------------------------------------

void SSIGClientConnection::read_next()
{
    // One read at a time on the stream, whoever asks.
    if (m_reading)
        return;
    m_reading = true;
    auto self = shared_from_this();
    auto done = boost::asio::bind_executor(
        m_strand, [self](const boost::system::error_code& ec, std::size_t n) { self->handle_read(ec, n); });
    if (m_reader.stage() == SSIGFrameReader::Stage::HTTP_HEADER)
        boost::asio::async_read_until(*m_stream, m_reader.header(), SSIGFrameReader::HEADER_DELIMITER,
                                      std::move(done));
    else
        boost::asio::async_read(*m_stream, m_reader.buffer(), std::move(done));
}

void SSIGClientConnection::handle_read(const boost::system::error_code& ec, std::size_t n)
{
    m_reading = false;
    if (is_stopped())
        return;
    switch (m_reader.stage()) {
    case SSIGFrameReader::Stage::TYPE: return handle_read_type(ec, n);
    case SSIGFrameReader::Stage::TLV_LENGTH: return handle_read_ssig_length(ec, n);
    case SSIGFrameReader::Stage::TLV_VALUE: return handle_read_ssig_value(ec, n);
    case SSIGFrameReader::Stage::HTTP_HEADER: return handle_read_http_header(ec, n);
    case SSIGFrameReader::Stage::HTTP_PAYLOAD: return handle_read_http_payload(ec, n);
    }
}

void SSIGClientConnection::handle_read_type(const boost::system::error_code& ec, std::size_t n)
{
    if (ec || n != 4) {
        CLIENT_LOG(info) << "SSIG client connection error while reading SSIG packet type: " << ec.message();
        remove();
        return;
    }
    switch (m_reader.advance(n)) {
    case SSIGFrameReader::Verdict::NEXT_READ:
        if (m_reader.stage() == SSIGFrameReader::Stage::TLV_LENGTH)
            CLIENT_LOG(trace) << "SSIG packet type detected";
        else
            CLIENT_LOG(trace) << "HTTP packet type detected";
        read_next();
        return;
    default:
        CLIENT_LOG(info) << "Unknown SSIG packet type detected: " << m_reader.type_number();
        remove();
        return;
    }
}

void SSIGClientConnection::handle_read_ssig_length(const boost::system::error_code& ec, std::size_t n)
{
    if (ec || n != 4) {
        CLIENT_LOG(info) << "SSIG client connection error while reading SSIG APDU header: " << ec.message();
        remove();
        return;
    }
    const SSIGFrameReader::Verdict verdict = m_reader.advance(n);
    CLIENT_LOG(trace) << "SSIG packet value length: " << m_reader.tlv_length();
    if (verdict != SSIGFrameReader::Verdict::NEXT_READ) {
        CLIENT_LOG(info) << "SSIG client connection error while reading SSIG APDU header: invalid length";
        remove();
        return;
    }
    read_next();
}

void SSIGClientConnection::handle_read_ssig_value(const boost::system::error_code& ec, std::size_t n)
{
    if (ec) {
        CLIENT_LOG(info) << "SSIG client connection error while reading SSIG APDU body: " << ec.message();
        remove();
        return;
    }
    m_reader.advance(n);
    const SSIGTLV& frame = *m_reader.tlv();
    const uint32_t command = frame.get_command_value();
    const SSIGMap map = frame.tokenize();
    m_reader.release_frame();
    handle_client_tlv(map, command);
    mark_activity();
}

void SSIGClientConnection::handle_client_tlv(const SSIGMap& map, uint32_t command)
{
    if (command == 0) {
        end_first_frame_deadline();
        CLIENT_LOG(info) << "Received SSIG INVITE message from the client";
        m_host->handle_client_ssig_invite(shared_from_this(), map);
        return;
    }
    ssig_ksdp_forwarder_t forwarder;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        forwarder = m_ksdp_forwarder;
    }
    if (!forwarder) {
        // Dropped, and nothing more is read: the first-frame deadline stays.
        CLIENT_LOG(debug) << "SSIG client connection no SSIG forwarding function defined";
        return;
    }
    end_first_frame_deadline();
    auto self = shared_from_this();
    forwarder(map, [self](const boost::system::error_code& e) { self->handle_ssig(e); });
}

void SSIGClientConnection::handle_read_http_header(const boost::system::error_code& ec, std::size_t n)
{
    if (ec == boost::asio::error::not_found) {
        CLIENT_LOG(info) << "SSIG client connection error while reading SSIG HTTP/POST header: too long "
                            "or missing terminator";
        remove();
        return;
    }
    if (ec) {
        CLIENT_LOG(info) << "SSIG client connection error while reading SSIG HTTP/POST header: "
                         << ec.message();
        remove();
        return;
    }
    if (m_reader.advance(n) != SSIGFrameReader::Verdict::NEXT_READ) {
        CLIENT_LOG(debug) << "SSIG client connection error: HTTP/POST header contains invalid content length";
        remove();
        return;
    }
    CLIENT_LOG(trace) << "HTTP packet content length: " << m_reader.content_length();
    read_next();
    mark_activity();
}

void SSIGClientConnection::handle_read_http_payload(const boost::system::error_code& ec, std::size_t n)
{
    if (ec) {
        CLIENT_LOG(info) << "SSIG client connection error while reading SSIG HTTP/POST packet: "
                         << ec.message();
        remove();
        return;
    }
    m_reader.advance(n);
    handle_client_xml(*m_reader.http());
    m_reader.release_frame();
    mark_activity();
}

void SSIGClientConnection::handle_ssig(const boost::system::error_code& ec)
{
    auto self = shared_from_this();
    boost::asio::post(m_strand, [self, ec] { self->do_handle_ssig(ec); });
}

void SSIGClientConnection::do_handle_ssig(const boost::system::error_code& ec)
{
    if (is_stopped())
        return;
    if (ec) {
        CLIENT_LOG(info) << "SSIG client connection error while server writing SSIG SSL: " << ec.message();
        return;
    }
    CLIENT_LOG(trace)
        << "Forwarded the received SSIG client message to the server. Waiting for response from server ...";
    read_next();
}

// --- writes ----------------------------------------------------------------

void SSIGClientConnection::handle_server_xml_ssig(const char* xml, eVEXA_XML_TYPE type,
                                                  ssig_complete_handler_t completion)
{
    // The server's answer (a FAIL) ends a wait for its reconnection.
    auto self = shared_from_this();
    boost::asio::post(m_strand, [self] {
        if (!self->m_waiting_for_server)
            return;
        self->m_waiting_for_server = false;
        LEG_LOG(self, info) << "A stanza from the server ends the wait for its reconnection";
        self->m_wait_timer.cancel();
    });
    write_xml(xml, type, std::move(completion));
}

void SSIGClientConnection::write_xml(const char* xml, eVEXA_XML_TYPE, ssig_complete_handler_t completion,
                                     bool own_fail)
{
    CLIENT_LOG(info) << "Sending " << ssig::get_ssig_xml_cmd(xml) << " message to the client ...";
    std::unique_ptr<SSIGHttp> frame(new SSIGHttp(SSIGPacket::Type_HTTP_REPLY));
    frame->build_ssig_packet(xml);
    if (is_stopped())
        completion = empty_ssig_complete_handler;
    CLIENT_LOG(trace) << "Sending SSIG XML message to the client: "
                      << ssig::sanitize_xml(ssig::sanitize_xml(xml ? xml : "", "<REQUESTED>", "</REQUESTED>"),
                                            "<NEGOTIATED>", "</NEGOTIATED>");
    enqueue(std::move(frame), std::move(completion), own_fail);
}

void SSIGClientConnection::handle_server_ksdp_ssig(const SSIGMap& map, ssig_complete_handler_t completion)
{
    std::unique_ptr<SSIGTLV> frame(new SSIGTLV());
    frame->build_ssig_packet(map);
    if (is_stopped())
        completion = empty_ssig_complete_handler;
    CLIENT_LOG(info) << "Sending " << ssig::get_ssig_tlv_cmd(reinterpret_cast<const char*>(frame->data()))
                     << " message to the client ...";
    enqueue(std::move(frame), std::move(completion));
}

void SSIGClientConnection::enqueue(std::unique_ptr<SSIGPacket> frame, ssig_complete_handler_t completion,
                                   bool own_fail)
{
    auto self = shared_from_this();
    boost::asio::post(m_strand, [self, f = std::move(frame), c = std::move(completion), own_fail]() mutable {
        if (own_fail)
            self->m_fail_frame = f.get();
        // A frame handed over after stop still goes to the socket (and fails
        // there once it is closed); its completion is not called.
        if (self->m_writes.push(std::move(f), std::move(c)) && self->m_handshake_done)
            self->write_front();
    });
}

void SSIGClientConnection::write_front()
{
    SSIGPacket& frame = m_writes.front();
    auto self = shared_from_this();
    boost::asio::async_write(
        *m_stream, boost::asio::buffer(frame.data(), frame.packet_size()),
        boost::asio::bind_executor(m_strand, [self](const boost::system::error_code& ec, std::size_t) {
            self->handle_write(ec);
        }));
}

void SSIGClientConnection::handle_write(const boost::system::error_code& ec)
{
    SSIGWriteQueue::Entry done = m_writes.pop();
    if (done.frame.get() == m_fail_frame) {
        // Refused: no more is read from this client, so it goes a while after.
        m_fail_frame = nullptr;
        if (!is_stopped())
            arm_deadline(Deadline::AFTER_FAIL,
                         boost::asio::deadline_timer::traits_type::now() + m_timings.fail_close_delay);
    }
    if (!done.completion) {
        CLIENT_LOG(debug) << "handle_write SSIGClientConnection has no write handler";
    } else if (!is_stopped()) {
        done.completion(ec);
    }
    if (!m_writes.empty())
        write_front();
    else if (is_stopped())
        close_socket();
}

void SSIGClientConnection::close_when_drained()
{
    if (m_writes.empty()) {
        close_socket();
        return;
    }
    auto self = shared_from_this();
    m_drain_timer.expires_from_now(m_timings.stop_drain);
    m_drain_timer.async_wait(boost::asio::bind_executor(
        m_strand, [self](const boost::system::error_code&) { self->close_socket(); }));
}

void SSIGClientConnection::close_socket()
{
    if (m_closed)
        return;
    m_closed = true;
    m_drain_timer.cancel();
    // No TLS close alert: the socket just goes.
    boost::system::error_code ignored;
    m_stream->shutdown(tcp::socket::shutdown_both, ignored);
    m_stream->close(ignored);
}

// --- accessors ---------------------------------------------------------------

void SSIGClientConnection::set_ssig_ksdp_forwarder(ssig_ksdp_forwarder_t forwarder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_stopped)
        m_ksdp_forwarder = std::move(forwarder);
}

void SSIGClientConnection::set_ssig_xml_forwarder(ssig_xml_forwarder_t forwarder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_stopped)
        m_xml_forwarder = std::move(forwarder);
}

void SSIGClientConnection::get_mitm_info(ssig::MitmInfoVector* out) const
{
    if (!out)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    *out = m_mitm_info;
}

std::string SSIGClientConnection::get_session_id() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_session_id;
}

std::string SSIGClientConnection::get_session_log_id() const
{
    return log_id();
}

std::string SSIGClientConnection::get_sni() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sni;
}

// --- stanzas from the client -------------------------------------------------

void SSIGClientConnection::handle_client_xml(const SSIGHttp& packet)
{
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    vexa_xml_header_get_type(packet.content(), packet.content_length(), nullptr, &type, nullptr);
    // Only a stanza the leg acts on ends the first-frame deadline: one it
    // drops (no answer, no further read) would otherwise hold the
    // connection until the idle sweep.
    if (type == VEXA_XML_TYPE_HELLO ? m_last_xml_sent == -99 : type == VEXA_XML_TYPE_REJECT)
        end_first_frame_deadline();
    if (type == VEXA_XML_TYPE_HELLO && m_last_xml_sent == -99) {
        handle_client_xml_hello(packet);
        return;
    }
    if (type == VEXA_XML_TYPE_REJECT && m_last_xml_sent == -99) {
        handle_client_xml_reject(packet);
        return;
    }
    // A client's repeated HELLO is still good for a replay: its signature is masked.
    CLIENT_LOG(error) << "Unexpected XML (type " << static_cast<int>(type) << ") received from Kavri client. "
                      << "Last sent XML type: " << m_last_xml_sent.load()
                      << "; Received XML: "
                      << ssig::sanitize_xml(content_text(packet), "<SIGNATURE>", "</SIGNATURE>");
    if (type == VEXA_XML_TYPE_REJECT) {
        CLIENT_LOG(error) << "handle_client_xml" << ": Responding to unexpected KAVRI_REJECT with KAVRI_FAIL";
        handle_client_xml_reject(packet);
    }
}

void SSIGClientConnection::handle_client_xml_reject(const SSIGHttp& packet)
{
    CLIENT_LOG(error) << "Received a KAVRI_REJECT from the client. Sending KAVRI_FAIL to the client.";
    CLIENT_LOG(trace) << "Received XML: " << content_text(packet);
    send_client_xml_fail(1033, "Kavri Security Gateway received KAVRI_REJECT", 0);
}

void SSIGClientConnection::handle_client_xml_hello(const SSIGHttp& packet)
{
    const std::string content = content_text(packet);
    std::memset(&m_hello, 0, sizeof m_hello);
    if (vexa_xml_parse_hello(packet.content(), packet.content_length(), nullptr, &m_hello) != 0) {
        CLIENT_LOG(trace) << "Received a KAVRI_HELLO message: " << content;
        CLIENT_LOG(error) << "Failed to parse KAVRI_HELLO XML from Kavri client, xml=" << content;
        send_client_xml_fail(1034, "Received invalid HELLO. SG could not parse the received HELLO message.", 0);
        return;
    }
    m_hello_text = content;

    const std::string id = get_session_id_b64(m_hello.session_id);
    const std::string log_id_text = m_host->find_session_log_id(id);
    {
        // The session id is the signalling server's to give, once the HELLO verified.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_session_log_id = log_id_text;
    }
    CLIENT_LOG(info) << "Received a KAVRI_HELLO message: session-id = " << id;
    CLIENT_LOG(trace) << "Received a KAVRI_HELLO message: "
                      << ssig::sanitize_xml(content, "<SIGNATURE>", "</SIGNATURE>");

    // Nothing of the session is touched for a HELLO that does not verify
    // against the session's own tags: anyone can send one.
    switch (m_host->admit_client_hello(id, m_hello, shared_from_this())) {
    case HelloAdmission::ADMITTED:
        break;
    case HelloAdmission::UNKNOWN_SESSION:
        CLIENT_LOG(error) << "Failed to find a tagged/established/resumable session with the specified session-id ("
                          << id << ")";
        send_client_xml_fail(1043, "SG received an invalid session-id in a KAVRI_HELLO", 0);
        return;
    case HelloAdmission::NOT_VERSION_1:
        CLIENT_LOG(info)
            << "Failed - the received session-tag is not a version 1 tag. Closing the client connection.";
        stop();
        remove();
        return;
    case HelloAdmission::INVALID: {
        CLIENT_LOG(info) << "failed to validate KAVRI_HELLO XML";
        // The hops a FAIL of the later validation carries: all but the last
        // once the gateway's own hop is added, which it is below ten.
        const unsigned char count = m_hello.mitm_hellos.count;
        send_client_xml_fail(1034, "Security Gateway received invalid KAVRI_HELLO (HELLO validation failed)",
                             count < VEXA_XML_MAX_MITM ? count : static_cast<unsigned char>(count - 1));
        return;
    }
    case HelloAdmission::STOPPED:
        return;
    }

    CLIENT_LOG(trace) << "Handle KAVRI_HELLO XML from client";
    CLIENT_LOG(trace) << "Received XML: " << ssig::sanitize_xml(content, "<SIGNATURE>", "</SIGNATURE>");

    sVEXA_XML_MITM_HELLOS& hops = m_hello.mitm_hellos;
    if (hops.count < VEXA_XML_MAX_MITM) {
        sVEXA_XML_MITM_HELLO& own = hops.mitm[hops.count];
        std::memset(&own, 0, sizeof own);
        kavri_strncpy_s(own.name, sizeof own.name, m_host->get_gateway_sni().c_str(), sizeof own.name - 1);
        kavri_sprintf_s(own.version, sizeof own.version, "%s", vexa_xml_get_api_version());
        own.spi = 0;
        ++hops.count;
        m_gateway_added = true;
    } else {
        CLIENT_LOG(info)
            << "Cannot add itself to the MITM XML array as the max allowed MITM has been reached";
    }

    ssig::MitmInfoVector list;
    for (unsigned i = 0; i < hops.count && i < unsigned(VEXA_XML_MAX_MITM); ++i) {
        sVEXA_XML_MITM_HELLO hop{};
        kavri_strncpy_s(hop.version, sizeof hop.version, hops.mitm[i].version, sizeof hop.version - 1);
        kavri_strncpy_s(hop.name, sizeof hop.name, hops.mitm[i].name, sizeof hop.name - 1);
        hop.spi = hops.mitm[i].spi;
        list.push_back(hop);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mitm_info = list;
    }

    // The preference goes only into the gateway's own hop; upstream hops
    // keep what their owners signed.
    const uint64_t spi = parse_spi_preference(m_hello.spi);
    if (spi != 0 && m_gateway_added)
        hops.mitm[hops.count - 1].spi = spi;

    wait_for_server(id, false);
}

void SSIGClientConnection::wait_for_server(const std::string& id, bool next_handshake)
{
    // The timer is armed before the callback is registered, so that an
    // "already connected" call finds it to cancel.
    m_waiting_for_server = true;
    auto self = shared_from_this();
    m_wait_timer.expires_from_now(m_timings.hello_wait);
    m_wait_timer.async_wait(boost::asio::bind_executor(
        m_strand, [self](const boost::system::error_code& ec) { self->handle_wait_for_server_connection(ec); }));
    std::weak_ptr<SSIGClientConnection> weak = self;
    auto callback = [weak](bool connected) {
        if (auto leg = weak.lock())
            leg->server_connected_cback(connected);
    };
    if (next_handshake)
        m_host->set_server_reconnected_callback(id, weak, std::move(callback));
    else
        m_host->set_server_connected_callback(id, weak, std::move(callback));
}

uint64_t SSIGClientConnection::parse_spi_preference(uint64_t own_spi)
{
    ssig::MitmInfoVector list;
    get_mitm_info(&list);
    for (std::size_t i = list.size() >= 2 ? list.size() - 1 : 0; i-- > 0;) {
        if (list[i].spi != 0) {
            std::ostringstream hex;
            hex << std::hex << list[i].spi;
            CLIENT_LOG(info) << "Detected MITM SPI preference in the KAVRI_HELLO - name=\"" << list[i].name
                             << "\", version=" << list[i].version << " spi=" << hex.str();
            return list[i].spi;
        }
    }
    if (own_spi != 0) {
        CLIENT_LOG(info) << "Client SPI preference in the KAVRI_HELLO - spi=" << own_spi;
        return own_spi;
    }
    return 0;
}

void SSIGClientConnection::server_connected_cback(bool connected)
{
    // Called under the signalling server's mutex: only hand over to the strand.
    auto self = shared_from_this();
    boost::asio::post(m_strand, [self, connected] {
        if (connected)
            LEG_LOG(self, info) << "server_connected_cback: Server connected (SSIG SSL completed)";
        else
            LEG_LOG(self, info) << "server_connected_cback: Failed to connect to the server";
        if (self->m_waiting_for_server) {
            self->m_waiting_for_server = connected;
            LEG_LOG(self, info) << "server_connected_cback: cancelling the async_wait (SSIG SSL completed)";
            self->m_wait_timer.cancel();
        }
    });
}

void SSIGClientConnection::handle_wait_for_server_connection(const boost::system::error_code& ec)
{
    // This wait's registration goes first: the validation below may make
    // the next one (the wait for a reconnection after a REJECT).
    m_host->clear_server_connected_callback(get_session_id(), shared_from_this());
    if (is_stopped())
        return;
    if (ec == boost::asio::error::operation_aborted) {
        if (m_waiting_for_server) {
            m_waiting_for_server = false;
            CLIENT_LOG(info) << "handle_wait_for_server_connection: Detected a server connection";
            validate_client_xml_hello();
        }
    } else if (!ec) {
        CLIENT_LOG(error) << "handle_wait_for_server_connection: No server connection detected (timeout) "
                             "while processing KAVRI_HELLO XML. Closing client-side connection";
        stop();
        remove();
    } else {
        CLIENT_LOG(error) << "handle_wait_for_server_connection: No server connection detected while "
                             "processing KAVRI_HELLO XML (exception occured). Closing client-side connection.";
        stop();
        remove();
    }
}

unsigned char SSIGClientConnection::validation_fail_hops() const
{
    const unsigned char count = m_hello.mitm_hellos.count;
    return count == 0 ? 0 : static_cast<unsigned char>(count - 1);
}

void SSIGClientConnection::validate_client_xml_hello()
{
    if (is_stopped())
        return;
    auto self = shared_from_this();
    const std::string id = get_session_id();
    const unsigned char fail_hops = validation_fail_hops();

    SessionTag ctag("");
    std::string rtag, server_sni;
    x509_ref cert;
    unsigned char hash[32] = {0};
    if (!m_host->get_server_connection_info(id, &ctag, &rtag, &server_sni, &cert, &hash)) {
        CLIENT_LOG(info) << "Failed to find a connection with the specified session-id in the received HELLO "
                            "message. "
                         << "Closing the client connection. Received session-id = " << id;
        stop();
        remove();
        return;
    }
    if (!ctag.is_version_1_tag()) {
        CLIENT_LOG(info)
            << "Failed - the received session-tag is not a version 1 tag. Closing the client connection.";
        stop();
        remove();
        return;
    }
    if (get_sni() == NO_SNI_VALUE)
        CLIENT_LOG(debug) << "No server name (SNI) was provided by the Client. Continuing with connection.";

    if (vexa_xml_validate_hello(&m_hello, rtag.c_str()) != 0) {
        CLIENT_LOG(info) << "failed to validate KAVRI_HELLO XML";
        send_client_xml_fail(1034, "Security Gateway received invalid KAVRI_HELLO (HELLO validation failed)",
                             fail_hops);
        return;
    }
    CLIENT_LOG(trace) << "KAVRI_HELLO XML validated";

    if (validate_server_thumbprint_hash(cert.get(), hash) != 0) {
        CLIENT_LOG(error) << "Kavri server thumbprint hash and certificate validation failed; sending REJECT to "
                             "server";
        char reject[VEXA_XML_BUFFER_SIZE] = {0};
        if (vexa_xml_create_reject(reject, nullptr) != 0) {
            CLIENT_LOG(info) << "failed to create KAVRI_REJECT XML";
            send_client_xml_fail(1034, "Invalid KAVRI_HELLO. SG failed to create KAVRI_REJECT message", fail_hops);
            return;
        }
        if (!m_host->set_xml_forwarders(ctag.get_session_id(), self)) {
            CLIENT_LOG(info) << "failed to set XML forwarders";
            send_client_xml_fail(
                1034, "Invalid KAVRI_HELLO. SG detected an internal error (while setting the SSIG forwarders)",
                fail_hops);
            return;
        }
        m_last_xml_sent = VEXA_XML_TYPE_REJECT;
        // The server answers REJECTED and the server leg connects again:
        // that handshake brings a new certificate to check, and this HELLO
        // or a REJECT goes out again. Registered before the REJECT leaves.
        wait_for_server(get_session_id(), true);
        forward_xml(reject, VEXA_XML_TYPE_REJECT);
        return;
    }

    CLIENT_LOG(trace) << "Kavri server thumbprint hash and certificate validated";
    kavri_strncpy_s(m_hello.server_name, sizeof m_hello.server_name, server_sni.c_str(),
                    sizeof m_hello.server_name - 1);
    std::memcpy(m_hello.thumbprint_hash, hash, sizeof m_hello.thumbprint_hash);
    char created[VEXA_XML_BUFFER_SIZE] = {0};
    if (vexa_xml_create_hello(&m_hello, ctag.text().c_str(), created, nullptr) != 0) {
        CLIENT_LOG(info) << "failed to rewrite KAVRI_HELLO XML, xml="
                         << ssig::sanitize_xml(m_hello_text, "<SIGNATURE>", "</SIGNATURE>");
        send_client_xml_fail(1034, "Invalid KAVRI_HELLO.  SG failed to create HELLO to be forwarded to the server",
                             fail_hops);
        return;
    }
    // The merge refuses a result the 4096-byte frame buffer cannot hold: a
    // cut stanza would not match its own Content-Length.
    std::string merged;
    if (merge_xml::merge_hello(m_hello_text, created, merged, m_gateway_added) == 0) {
        CLIENT_LOG(error) << "failed to merge rewritten XML KAVRI_HELLO for Kavri server, xml_in="
                          << ssig::sanitize_xml(m_hello_text, "<SIGNATURE>", "</SIGNATURE>");
        CLIENT_LOG(error) << "failed to merge rewritten XML KAVRI_HELLO for Kavri server, http_xml=" << created;
        send_client_xml_fail(
            1034, "Invalid KAVRI_HELLO. SG failed to rewrite the KAVRI_HELLO being forwarded to the server",
            fail_hops);
        return;
    }
    if (!m_host->set_xml_forwarders(ctag.get_session_id(), self)) {
        CLIENT_LOG(info) << "failed to set XML forwarders";
        send_client_xml_fail(
            1034, "Invalid KAVRI_HELLO. SG detected an internal error (while setting the SSIG forwarders)",
            fail_hops);
        return;
    }
    m_last_xml_sent = VEXA_XML_TYPE_HELLO;
    forward_xml(merged.c_str(), VEXA_XML_TYPE_HELLO);
}

int SSIGClientConnection::validate_server_thumbprint_hash(const X509* cert, const unsigned char (&hash)[32])
{
    if (!cert)
        return -500;
    unsigned char* der = nullptr;
    const int der_length = i2d_X509(cert, &der);
    if (der_length <= 0 || !der) {
        OPENSSL_free(der);
        return -500;
    }
    uint8_t sid[9] = {0};
    unsigned char computed[32] = {0};
    int result = -500;
    if (convert_from_base64(get_session_id(), sid, sizeof sid) == 1 &&
        vexa_calculate_thumbprint_hash(sid, der, der_length, computed) == 0 &&
        std::memcmp(computed, hash, sizeof computed) == 0)
        result = 0;
    OPENSSL_free(der);
    return result;
}

void SSIGClientConnection::forward_xml(const char* xml, eVEXA_XML_TYPE type)
{
    ssig_xml_forwarder_t forwarder;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped)
            return;
        forwarder = m_xml_forwarder;
    }
    if (!forwarder)
        return;
    auto self = shared_from_this();
    forwarder(xml, type, [self](const boost::system::error_code& ec) { self->handle_ssig(ec); });
}

void SSIGClientConnection::send_client_xml_fail(unsigned code, const std::string& reason, unsigned char hop_count)
{
    send_client_xml_fail(ssig::populate_fail_xml(code, reason, hop_count, m_hello.mitm_hellos.mitm));
}

void SSIGClientConnection::send_client_xml_fail(const sVEXA_XML_FAIL& fail)
{
    char text[VEXA_XML_BUFFER_SIZE] = {0};
    vexa_xml_create_fail(&fail, 1, text, nullptr);
    m_last_xml_sent = VEXA_XML_TYPE_FAIL;
    // No completion: the leg reads no more from this client.
    write_xml(text, VEXA_XML_TYPE_FAIL, ssig_complete_handler_t(), true);
}

}  // namespace vexa
