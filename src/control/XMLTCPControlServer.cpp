#include "XMLTCPControlServer.h"

#include "Config.h"
#include "SSLContext.h"
#include "XMLTCPControlConnection.h"
#include "safe_lib.h"

#include <boost/bind/bind.hpp>

#include <openssl/pem.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace vexa {

using boost::asio::ip::tcp;
namespace trivial = boost::log::trivial;

namespace {

const std::string STAR_LINE(67, '*');

}  // namespace

std::string get_xmltcp_linux_ext_passphrase(std::size_t max_length,
                                            boost::asio::ssl::context::password_purpose)
{
    return Config::get_instance()->get("TCPControlLinuxExtCertPhrase").substr(0, max_length);
}

XMLTCPControlServer::XMLTCPControlServer(const std::string& /*sni*/, const std::string& ip,
                                         const std::string& port, ConnectionManager& cm,
                                         ControlDeadlines deadlines)
    : m_acceptor(m_io),
      m_retry_timer(m_io),
      m_cert_path(Config::get_instance()->get_as_path("TCPControlCertPath")),
      m_cert_phrase(Config::get_instance()->get("TCPControlLinuxExtCertPhrase")),
      m_cert_file(Config::get_instance()->get("TCPControlLinuxExtCert")),
      m_key_file(Config::get_instance()->get("TCPControlLinuxExtPriv")),
      m_ca_file(Config::get_instance()->get("TCPControlLinuxExtCA")),
      m_ssl_context(boost::asio::ssl::context::sslv23),
      m_cm(cm),
      m_deadlines(deadlines)
{
    // The throwing overloads name the failing step in the error's text; the
    // record names the address and port, which that text lacks.
    tcp::endpoint endpoint;
    try {
        tcp::resolver resolver(m_io);
        endpoint = resolver.resolve(ip, port, tcp::resolver::flags())->endpoint();
        m_acceptor.open(endpoint.protocol());
        m_acceptor.set_option(tcp::acceptor::reuse_address(true));
        m_acceptor.bind(endpoint);
        m_acceptor.listen(128);
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(m_log, trivial::error) << "control channel " << ip << ":" << port << ": " << e.what();
        throw;
    }
    const tcp::endpoint bound = m_acceptor.local_endpoint();
    m_local_port = bound.port();
    BOOST_LOG_SEV(m_log, trivial::info) << "XML TCP control server is up: " << endpoint_text(bound);

    if (m_cert_file.empty() || m_key_file.empty() || m_ca_file.empty()) {
        BOOST_LOG_SEV(m_log, trivial::debug)
            << "XMLTCPControlServer: unencrypted connection was requested";
    } else {
        m_tls_requested = true;
        BOOST_LOG_SEV(m_log, trivial::debug) << "XMLTCPControlServer: ssl connection was requested";
    }
    m_next_socket = std::make_shared<tcp::socket>(m_io);
}

XMLTCPControlServer::~XMLTCPControlServer()
{
    if (m_thread.joinable()) {
        m_io.stop();
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
    if (m_certificate)
        X509_free(m_certificate);
}

void XMLTCPControlServer::prepare()
{
    if (!m_tls_requested)
        return;
    if (m_cert_file.empty() || m_key_file.empty() || m_ca_file.empty()) {
        BOOST_LOG_SEV(m_log, trivial::error)
            << "*** TLS on XMLTCP connection requested, some certificate parameters not configured.";
        throw std::logic_error("Unable to start secured XMLTCP connection");
    }

    set_server_ssl_context_options("prepare", m_log, m_ssl_context);
    m_ssl_context.set_password_callback(&get_xmltcp_linux_ext_passphrase);

    const std::string cert = m_cert_path + m_cert_file;
    const std::string key = m_cert_path + m_key_file;
    const std::string ca = m_cert_path + m_ca_file;
    if (!std::filesystem::exists(cert))
        throw std::runtime_error("Control channel certificate (" + cert + ") not found.");
    if (!std::filesystem::exists(key) || !std::filesystem::exists(ca))
        throw std::runtime_error(
            "One or more certificate files required for securing the control channel were not "
            "found at " +
            m_cert_path + ".");

    m_ssl_context.use_certificate_file(cert, boost::asio::ssl::context::pem);
    m_ssl_context.use_rsa_private_key_file(key, boost::asio::ssl::context::pem);
    m_ssl_context.load_verify_file(ca);
    // Only a broker whose certificate the configured CA issued may drive the
    // gateway.
    m_ssl_context.set_verify_mode(boost::asio::ssl::verify_peer |
                                  boost::asio::ssl::verify_fail_if_no_peer_cert);

    if (FILE* f = std::fopen(cert.c_str(), "r")) {
        if (m_certificate)
            X509_free(m_certificate);
        m_certificate = PEM_read_X509(f, nullptr, nullptr, nullptr);
        std::fclose(f);
    }
    BOOST_LOG_SEV(m_log, trivial::info) << "TLS enabled on XMLTCP control channel.";
}

void XMLTCPControlServer::start()
{
    m_keep_running.emplace(m_io.get_executor());
    arm_accept();
    auto self = shared_from_this();
    m_thread = std::thread([self] { self->m_io.run(); });
    BOOST_LOG_SEV(m_log, trivial::info) << "XML TCP control server started";
}

void XMLTCPControlServer::stop()
{
    if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id())
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "XMLTCPControlServer::stop on the control thread");
    if (!m_stopped.exchange(true)) {
        if (m_thread.joinable())
            boost::asio::post(m_io, [self = shared_from_this()] { self->close_everything(); });
        else
            close_everything();
    }
    if (m_thread.joinable())
        m_thread.join();
    BOOST_LOG_SEV(m_log, trivial::info) << "XML TCP control server stopped";
}

void XMLTCPControlServer::close_everything()
{
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
    m_retry_timer.cancel(ignored);
    m_keep_running.reset();
    std::lock_guard<std::mutex> lock(m_table_mutex);
    for (const auto& c : m_connections)
        c->stop();
    m_connections.clear();
}

void XMLTCPControlServer::arm_accept()
{
    m_next_socket = std::make_shared<tcp::socket>(m_io);
    m_acceptor.async_accept(*m_next_socket,
                            boost::bind(&XMLTCPControlServer::handle_accept, shared_from_this(),
                                        boost::placeholders::_1));
}

void XMLTCPControlServer::handle_accept(const boost::system::error_code& error)
{
    // Closed by "shutdown": accepting is over for good.
    if (m_stopped || !m_acceptor.is_open())
        return;
    if (error) {
        BOOST_LOG_SEV(m_log, trivial::error) << "*** XMLTCPControlServer::Error on accept value="
                                             << error.value() << "; message=" << error.message();
        // Waits without blocking the only control thread.
        m_retry_timer.expires_after(std::chrono::seconds(1));
        m_retry_timer.async_wait(boost::bind(&XMLTCPControlServer::handle_retry_timer,
                                             shared_from_this(), boost::placeholders::_1));
        return;
    }
    try {
        accept_connection();
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(m_log, trivial::warning)
            << "XMLTCPControlServer::handle_accept: dropping the accepted connection: " << e.what();
    }
    arm_accept();
}

void XMLTCPControlServer::handle_retry_timer(const boost::system::error_code&)
{
    if (!m_stopped)
        arm_accept();
}

void XMLTCPControlServer::accept_connection()
{
    const std::shared_ptr<tcp::socket> socket = m_next_socket;
    std::size_t opened;
    {
        std::lock_guard<std::mutex> lock(m_table_mutex);
        opened = m_connections.size();
    }
    // Read at every accept; the count excludes this connection, so a limit
    // of m admits m + 1 connections and a negative one never refuses.
    const int32_t limit = static_cast<int32_t>(
        std::strtol(Config::get_instance()->get("TCPControlMaxConnections").c_str(), nullptr, 10));
    if (static_cast<uint64_t>(opened) > static_cast<uint64_t>(static_cast<int64_t>(limit))) {
        boost::system::error_code ec;
        const tcp::endpoint peer = socket->remote_endpoint(ec);
        BOOST_LOG_SEV(m_log, trivial::warning)
            << "XMLTCPControlServer::handle_accept: WARNING - cannot open another control "
               "connection because it exceeds the limit (opened-channels="
            << opened << "). Dropping the connect request from " << endpoint_text(peer);
        socket->close(ec);
        return;
    }

    auto connection = std::make_shared<XMLTCPControlConnection>(socket, shared_from_this(), m_io, m_cm);
    std::lock_guard<std::mutex> lock(m_table_mutex);
    if (connection->start()) {
        m_connections.insert(connection);
        BOOST_LOG_SEV(m_log, trivial::info)
            << "XMLTCPControlServer::handle_accept: Accepted a new control connection from "
            << endpoint_text(connection->peer()) << ". " << m_connections.size()
            << " control connection(s) now active.";
    }
}

void XMLTCPControlServer::set_online(bool online)
{
    m_online_state = online ? ONLINE : OFFLINE;
    char banner[80] = {};
    kavri_sprintf_s(banner, sizeof banner, "*** %25s is %-30s ***", "Server",
                    online ? "online" : "offline");
    BOOST_LOG_SEV(m_log, trivial::info) << STAR_LINE;
    BOOST_LOG_SEV(m_log, trivial::info) << banner;
    BOOST_LOG_SEV(m_log, trivial::info) << STAR_LINE;
}

void XMLTCPControlServer::close_connection(const std::shared_ptr<XMLTCPControlConnection>& connection)
{
    BOOST_LOG_SEV(m_log, trivial::info)
        << "Closing XMLTCP control connection to " << endpoint_text(connection->peer());
    std::lock_guard<std::mutex> lock(m_table_mutex);
    m_connections.erase(connection);
    connection->stop();
    BOOST_LOG_SEV(m_log, trivial::trace) << "XMLTCPControlServer::close_connection: "
                                         << m_connections.size()
                                         << " control connection(s) now active.";
}

void XMLTCPControlServer::shutdown()
{
    BOOST_LOG_SEV(m_log, trivial::trace) << "Shutting down XMLTCP control server";
    m_acceptor.close();
    std::lock_guard<std::mutex> lock(m_table_mutex);
    for (const auto& c : m_connections)
        c->stop();
    m_connections.clear();
    m_cm.shutdown();
}

bool XMLTCPControlServer::use_secure_channel(boost::asio::ssl::context** context)
{
    if (!m_tls_requested || m_cert_file.empty())
        return false;
    if (context)
        *context = &m_ssl_context;
    return true;
}

std::size_t XMLTCPControlServer::connection_count()
{
    std::lock_guard<std::mutex> lock(m_table_mutex);
    return m_connections.size();
}

std::size_t XMLTCPControlServer::queued_bytes()
{
    std::lock_guard<std::mutex> lock(m_table_mutex);
    std::size_t bytes = 0;
    for (const auto& c : m_connections)
        bytes += c->queued_bytes();
    return bytes;
}

}  // namespace vexa
