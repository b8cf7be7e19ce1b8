// Interface stub: the behaviour follows.
#include "SSIGClientConnection.h"

#include "SSIGLegHost.h"

namespace vexa {

SSIGClientConnection::SSIGClientConnection(std::shared_ptr<SSIGLegHost> host,
                                           std::shared_ptr<tcp::socket> socket,
                                           boost::asio::io_context& io, SSIGLegTimings timings)
    : IdleMonitored(180),
      m_socket(std::move(socket)),
      m_ctx(boost::asio::ssl::context::sslv23),
      m_stream(std::make_shared<ssl_stream_t>(*m_socket, m_ctx)),
      m_sni(NO_SNI_VALUE),
      m_host(std::move(host)),
      m_strand(boost::asio::make_strand(io)),
      m_timings(timings),
      m_stopped(false),
      m_closed(false),
      m_drain_timer(io),
      m_last_xml_sent(-99),
      m_hello(),
      m_waiting_for_server(false),
      m_wait_timer(io)
{
}

SSIGClientConnection::~SSIGClientConnection() = default;
void SSIGClientConnection::start() {}
void SSIGClientConnection::stop() {}
bool SSIGClientConnection::is_stopped() const { std::lock_guard<std::mutex> l(m_mutex); return m_stopped; }
void SSIGClientConnection::handle_server_xml_ssig(const char*, eVEXA_XML_TYPE, ssig_complete_handler_t) {}
void SSIGClientConnection::handle_server_ksdp_ssig(const ssig::SSIGMap&, ssig_complete_handler_t) {}
void SSIGClientConnection::handle_ssig(const boost::system::error_code&) {}
void SSIGClientConnection::set_ssig_ksdp_forwarder(ssig_ksdp_forwarder_t) {}
void SSIGClientConnection::set_ssig_xml_forwarder(ssig_xml_forwarder_t) {}
void SSIGClientConnection::get_mitm_info(ssig::MitmInfoVector*) const {}
std::string SSIGClientConnection::get_session_id() const { return {}; }
std::string SSIGClientConnection::get_session_log_id() const { return {}; }
std::string SSIGClientConnection::get_sni() const { return {}; }
int SSIGClientConnection::ssl_ksg_client_facing_sni_cback(SSL*, int*, void*) { return 0; }

}  // namespace vexa
