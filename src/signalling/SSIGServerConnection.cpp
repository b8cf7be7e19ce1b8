// Interface stub: the behaviour follows.
#include "SSIGServerConnection.h"

#include "SSIGLegHost.h"

namespace vexa {

struct SSIGServerConnection::Link {};

std::mutex SSIGServerConnection::s_ssig_server_connections_mutex;
std::unordered_map<const SSL*, std::shared_ptr<SSIGServerConnection>>
    SSIGServerConnection::s_ssig_server_connections;

SSIGServerConnection::SSIGServerConnection(
    std::shared_ptr<SSIGLegHost> host, boost::asio::io_context& io, const std::string& host_name,
    const std::string& port, const std::string& sni, const std::string& connection_id,
    const std::string& session_log_id, state_callback_t state_callback,
    closed_callback_t closed_callback, const std::string& ctag, const std::string& rtag,
    const unsigned char (&thumbprint)[32], SSIGLegTimings timings)
    : IdleMonitored(180),
      m_io(io),
      m_strand(boost::asio::make_strand(io)),
      m_resolver(io),
      m_ctx(boost::asio::ssl::context::sslv23),
      m_host_name(host_name),
      m_port(port),
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
      m_state_callback(std::move(state_callback)),
      m_closed_callback(std::move(closed_callback)),
      m_subject("unknown"),
      m_cert_seen(false),
      m_last_xml_sent(-99),
      m_rejected_count(0),
      m_resume_timeout(0),
      m_resume_count(-1),
      m_state(PENDING_INIT),
      m_server_chose_set_1(false),
      m_server_chose_set_2(false)
{
    std::copy(thumbprint, thumbprint + 32, m_thumbprint.begin());
}

SSIGServerConnection::~SSIGServerConnection() = default;
void SSIGServerConnection::start() {}
void SSIGServerConnection::stop() {}
bool SSIGServerConnection::restart(bool) { return true; }
bool SSIGServerConnection::is_stopped() const { std::lock_guard<std::mutex> l(m_mutex); return m_stopped; }
bool SSIGServerConnection::is_connected() const { std::lock_guard<std::mutex> l(m_mutex); return m_connected; }
void SSIGServerConnection::notify_termination(const std::string&) {}
void SSIGServerConnection::clear_broker_callbacks() {}
void SSIGServerConnection::handle_client_xml_ssig(const char*, eVEXA_XML_TYPE, ssig_complete_handler_t) {}
void SSIGServerConnection::handle_client_ksdp_ssig(const ssig::SSIGMap&, ssig_complete_handler_t) {}
void SSIGServerConnection::handle_ssig(const boost::system::error_code&) {}
void SSIGServerConnection::set_ssig_xml_forwarder(ssig_xml_forwarder_t) {}
void SSIGServerConnection::set_ssig_ksdp_forwarder(ssig_ksdp_forwarder_t) {}
x509_ref SSIGServerConnection::get_server_certificate() const { return x509_ref(); }
std::string SSIGServerConnection::get_server_subject() const { return m_subject; }
SSIGServerConnection::tcp::endpoint SSIGServerConnection::get_server_endpoint() const { return {}; }
uint32_t SSIGServerConnection::get_resume_timeout() const { return 0; }
int SSIGServerConnection::get_resume_count() const { return m_resume_count; }
unsigned SSIGServerConnection::get_rejected_count() const { return m_rejected_count; }
eSESSION_STATE SSIGServerConnection::get_session_state() const { return m_state; }
int SSIGServerConnection::ssl_ksg_server_facing_cert_cback(int, X509_STORE_CTX*) { return 1; }

}  // namespace vexa
