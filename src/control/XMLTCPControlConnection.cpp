#include "XMLTCPControlConnection.h"

#include "CommonUtil.h"
#include "Config.h"
#include "ControlCommand.h"
#include "ControlMessage.h"
#include "Tag.h"
#include "XMLTCPControlServer.h"

#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/bind/bind.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace vexa {

using boost::asio::ip::tcp;
namespace trivial = boost::log::trivial;
using boost::placeholders::_1;
using boost::placeholders::_2;

namespace {

const char* const SESSION_LOG_ID_PATTERN =
    "[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}";
constexpr std::size_t SESSION_LOG_ID_LENGTH = 36;

std::mt19937 seeded_engine()
{
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return std::mt19937(seed);
}

}  // namespace

XMLTCPControlConnection::XMLTCPControlConnection(std::shared_ptr<socket_t> socket,
                                                 std::shared_ptr<XMLTCPControlServer> server,
                                                 boost::asio::io_service& io, ConnectionManager& cm)
    : m_server(std::move(server)),
      m_socket(std::move(socket)),
      m_io(io),
      m_cm(cm),
      m_peer(m_socket->remote_endpoint()),
      m_input(INPUT_BUFFER_LIMIT),
      m_send_queue(MAX_QUEUED_MESSAGES, SEND_QUEUE_BYTE_BUDGET),
      m_accepted(std::chrono::steady_clock::now()),
      m_deadline_timer(io),
      m_send_state_notifications(
          Config::get_instance()->get("TCPControlSendStateChangedNotifications") != "0"),
      m_log_id_pattern(SESSION_LOG_ID_PATTERN),
      m_random(seeded_engine())
{
    m_tls = m_server->use_secure_channel();
    BOOST_LOG_SEV(m_log, trivial::trace)
        << "Constructing XMLTCPControlConnection for " << endpoint_text(m_peer);
}

XMLTCPControlConnection::~XMLTCPControlConnection()
{
    // The last reference may go on any thread, the send thread's own included.
    if (m_send_thread.joinable())
        m_send_thread.detach();
    BOOST_LOG_SEV(m_log, trivial::trace)
        << "Destroying XMLTCPControlConnection for " << endpoint_text(m_peer);
}

bool XMLTCPControlConnection::start()
{
    BOOST_LOG_SEV(m_log, trivial::info) << "Send <connection-state-changed> notification Enabled: "
                                        << (m_send_state_notifications ? 1 : 0);
    try {
        if (m_tls) {
            if (!m_server->use_secure_channel(&m_ssl_context) || !m_ssl_context) {
                BOOST_LOG_SEV(m_log, trivial::fatal)
                    << "XMLTCPControlConnection configured to use TLS but a programming error "
                       "prevents it.";
                m_tls = false;
            } else {
                m_ssl = std::make_shared<ssl_stream_t>(*m_socket, *m_ssl_context);
                m_ssl->async_handshake(boost::asio::ssl::stream_base::server,
                                       boost::bind(&XMLTCPControlConnection::handle_handshake,
                                                   shared_from_this(), _1));
                arm_deadline(phase::handshake);
            }
        }
        if (!m_tls) {
            read_header();
            arm_deadline(phase::first_message);
        }
        auto self = shared_from_this();
        m_send_thread = std::thread([self] { self->send_thread(); });
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(m_log, trivial::error)
            << "XMLTCPControlConnection::start: Error - an exception occurred in create_thread: "
            << e.what() << ". Closing the XML control connection.";
        stop();
        return false;
    }
    return true;
}

void XMLTCPControlConnection::async_read_until(const char* delimiter, read_handler_t handler)
{
    auto bound = boost::bind(handler, shared_from_this(), _1, _2);
    if (m_ssl)
        boost::asio::async_read_until(*m_ssl, m_input, std::string(delimiter), bound);
    else
        boost::asio::async_read_until(*m_socket, m_input, std::string(delimiter), bound);
}

void XMLTCPControlConnection::read_header()
{
    async_read_until("\n", &XMLTCPControlConnection::handle_header_read);
}

void XMLTCPControlConnection::arm_deadline(phase awaited)
{
    m_phase = awaited;
    const auto& deadlines = m_server->deadlines();
    m_deadline_timer.expires_at(m_accepted + (awaited == phase::handshake ? deadlines.handshake
                                                                          : deadlines.first_message));
    m_deadline_timer.async_wait(boost::bind(&XMLTCPControlConnection::handle_deadline,
                                            shared_from_this(), _1, awaited));
}

void XMLTCPControlConnection::handle_deadline(const boost::system::error_code& error,
                                              phase awaited)
{
    // A wait that was cancelled, or overtaken by the next phase, is over.
    if (error || awaited != m_phase || m_stopping)
        return;
    const auto& deadlines = m_server->deadlines();
    if (awaited == phase::handshake)
        BOOST_LOG_SEV(m_log, trivial::warning)
            << "XMLTCPControlConnection: no TLS handshake from " << endpoint_text(m_peer)
            << " within " << deadlines.handshake.count()
            << " ms of the accept; closing the control connection";
    else
        BOOST_LOG_SEV(m_log, trivial::warning)
            << "XMLTCPControlConnection: no complete message from " << endpoint_text(m_peer)
            << " within " << deadlines.first_message.count()
            << " ms of the accept; closing the control connection";
    m_server->close_connection(shared_from_this());
}

void XMLTCPControlConnection::handle_handshake(const boost::system::error_code& error)
{
    if (!error) {
        read_header();
        arm_deadline(phase::first_message);
        return;
    }
    if (m_stopping)
        return;  // closed by this side, a deadline for one
    // A broker refused for its certificate is named with the reason.
    std::string refusal;
    const long verify = SSL_get_verify_result(m_ssl->native_handle());
    if (verify != X509_V_OK)
        refusal = X509_verify_cert_error_string(verify);
    else if (error.category() == boost::asio::error::get_ssl_category() &&
             ERR_GET_REASON(static_cast<unsigned long>(error.value())) ==
                 SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE)
        refusal = error.message();
    if (!refusal.empty())
        BOOST_LOG_SEV(m_log, trivial::error)
            << "*** XMLTCPControlConnection: refused the control connection from "
            << endpoint_text(m_peer) << ": certificate verification failed: " << refusal;

    char text[256] = {};
    ERR_error_string_n(static_cast<unsigned long>(error.value()), text, sizeof text);
    BOOST_LOG_SEV(m_log, trivial::error)
        << "*** XMLTCPControlConnection::handle_handshake: TLS handshake failure: "
        << error.message() << " (" << error.value() << ") " << text;
    ERR_print_errors_fp(stderr);
    m_server->close_connection(shared_from_this());
}

void XMLTCPControlConnection::handle_header_read(const boost::system::error_code& error,
                                                 std::size_t bytes)
{
    BOOST_LOG_SEV(m_log, trivial::info)
        << "Header received by the XMLTCP control server (remote endpoint: "
        << endpoint_text(m_peer) << ")";
    if (error == boost::asio::error::not_found) {
        BOOST_LOG_SEV(m_log, trivial::error)
            << "*** XMLTCPControlConnection::Input buffer overflowed before end of line detected";
        m_input.consume(m_input.size());
        read_header();
        return;
    }
    if (error) {
        BOOST_LOG_SEV(m_log, trivial::error)
            << "*** XMLTCPControlConnection::Error on header-read: value=" << error.value()
            << "; message=" << error.message();
        m_server->close_connection(shared_from_this());
        return;
    }

    const auto begin = boost::asio::buffers_begin(m_input.data());
    const std::string line(begin, begin + static_cast<std::ptrdiff_t>(bytes - 1));
    m_input.consume(bytes);
    BOOST_LOG_SEV(m_log, trivial::trace) << "Header received by the XMLTCP: " << line;

    m_header = ControlHeader::parse(line, m_no_known_token_yet, m_tls);
    BOOST_LOG_SEV(m_log, trivial::debug) << m_header.walk;
    if (m_header.bad) {
        BOOST_LOG_SEV(m_log, trivial::error)
            << "Bad XML from " << endpoint_text(m_peer) << ". Closing connection.";
        m_server->close_connection(shared_from_this());
        return;
    }
    if (!m_header.protocol_seen) {
        read_header();
        return;
    }
    async_read_until("</kavri-sg>", &XMLTCPControlConnection::handle_xml_read);
}

void XMLTCPControlConnection::handle_xml_read(const boost::system::error_code& error,
                                              std::size_t bytes)
{
    BOOST_LOG_SEV(m_log, trivial::debug)
        << "XML received (read: " << bytes << "; header length: " << m_header.length << ")";
    if (error == boost::asio::error::not_found) {
        BOOST_LOG_SEV(m_log, trivial::error)
            << "*** XMLTCPControlConnection::Input buffer overflowed before closing XML tag detected";
        m_input.consume(m_input.size());
        read_header();
        return;
    }
    if (error) {
        BOOST_LOG_SEV(m_log, trivial::error)
            << "*** XMLTCPControlConnection::Error while reading from TCP socket: "
            << error.message();
        m_server->close_connection(shared_from_this());
        return;
    }

    if (m_phase != phase::established) {
        m_phase = phase::established;
        m_deadline_timer.cancel();
    }

    bool read_on = true;
    try {
        // Exactly the document: what follows it is the start of the next header.
        const auto begin = boost::asio::buffers_begin(m_input.data());
        const std::string document(begin, begin + static_cast<std::ptrdiff_t>(bytes));
        m_input.consume(bytes);

        const ControlCommand command = ControlCommand::parse(document.data(), document.size());
        BOOST_LOG_SEV(m_log, trivial::info) << "Received command: " << command.name;
        log_parameters(command);
        if (m_stopping) {
            BOOST_LOG_SEV(m_log, trivial::info)
                << "XMLTCPControlConnection::handle_xml_read: Ignoring received XML message <"
                << command.name << "> message because we are stopping";
            return;
        }
        read_on = dispatch(command);
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(m_log, trivial::error)
            << "*** XMLTCPControlConnection::Error while parsing XML command: " << e.what();
    }
    if (read_on && !m_stopping)
        read_next_command();
}

void XMLTCPControlConnection::read_next_command()
{
    const std::size_t held = m_send_queue.bytes();
    if (held <= m_send_queue.byte_budget()) {
        read_header();
        return;
    }
    // Resumed by handle_write once the broker has taken half of it.
    m_reading_paused = true;
    BOOST_LOG_SEV(m_log, trivial::warning)
        << "XMLTCPControlConnection: " << held << " bytes of replies queued for "
        << endpoint_text(m_peer) << "; no further command is read until the broker takes them";
}

void XMLTCPControlConnection::log_parameters(const ControlCommand& command)
{
    for (const auto& p : command.parameters) {
        if (p.duplicate) {
            BOOST_LOG_SEV(m_log, trivial::warning)
                << "Parameter: " << p.name << " appeared twice. Second occurrence ignored.";
        } else if (p.name == "ctag" || p.name == "rtag") {
            // A session tag is a credential: only its session id is logged.
            BOOST_LOG_SEV(m_log, trivial::info)
                << "Parameter: " << p.name << " session-id portion of the value: "
                << Tag(p.value).get_session_id();
        } else {
            BOOST_LOG_SEV(m_log, trivial::info) << "Parameter: " << p.name << " Value: " << p.value;
        }
    }
}

bool XMLTCPControlConnection::dispatch(const ControlCommand& command)
{
    const std::string& name = command.name;
    if (name == "init")
        process_init();
    else if (name == "reset")
        process_reset();
    else if (name == "shutdown") {
        m_server->shutdown();
        return false;
    } else if (name == "get-info")
        process_get_info();
    else if (name == "get-counters")
        process_get_counters();
    else if (name == "get-json-session-statistics")
        process_get_json_session_statistics();
    else if (name == "add-connection")
        process_add_connection(command.params);
    else if (name == "remove-connection")
        process_remove_connection(command.params);
    else
        BOOST_LOG_SEV(m_log, trivial::error)
            << "*** XMLTCPControlConnection::Received unknown XML command <" << name
            << "> - ignoring";
    return true;
}

void XMLTCPControlConnection::process_init()
{
    if (m_server->is_online())
        BOOST_LOG_SEV(m_log, trivial::trace) << "Ignoring multiple inits";
    else
        m_server->set_online(true);
    send_reply("init", {{"result", "ok"}});
}

void XMLTCPControlConnection::process_reset()
{
    if (!m_server->is_online())
        BOOST_LOG_SEV(m_log, trivial::trace) << "Ignoring multiple resets";
    else
        m_server->set_online(false);
    send_reply("reset", {{"result", "ok"}});
}

void XMLTCPControlConnection::process_get_info()
{
    send_reply("get-info", {{"build-id", get_build_id()},
                            {"result", "ok"},
                            {"state", m_server->is_online() ? "online" : "offline"}});
}

void XMLTCPControlConnection::process_get_counters()
{
    std::map<std::string, std::string> entries{{"result", "ok"}};
    for (const auto& counter : m_cm.get_statistics())
        entries[counter.first] = counter.second;
    send_reply("get-counters", entries);
}

void XMLTCPControlConnection::process_get_json_session_statistics()
{
    if (m_stopping) {
        BOOST_LOG_SEV(m_log, trivial::info)
            << "Skipping sending a <get-json-session-statistics> reply because we are stopping";
        return;
    }
    const std::clock_t before = std::clock();
    std::string json;
    m_cm.populate_json_session_statistics(json);
    BOOST_LOG_SEV(m_log, trivial::info) << "JSON session statistics generated in "
                                        << (std::clock() - before) << " clock ticks";
    send_connection_msg(control_message::json_statistics_body(json), &m_header.id);
}

void XMLTCPControlConnection::process_remove_connection(
    const std::map<std::string, std::string>& params)
{
    const auto it = params.find("rtag");
    if (it == params.end())
        throw std::runtime_error("remove-connection missing required rtag field");
    const std::string rtag = it->second;
    // The broker's answer does not wait for the teardown.
    send_reply("remove-connection", {{"result", "ok"}});
    BOOST_LOG_SEV(m_log, trivial::info)
        << "*** XMLTCPControlConnection::Processing remove-connection cmd";
    m_cm.teardown_connection(rtag);
}

void XMLTCPControlConnection::process_add_connection(const std::map<std::string, std::string>& params)
{
    if (!m_server->is_online()) {
        BOOST_LOG_SEV(m_log, trivial::error)
            << "Received add-connection message when server is not online.";
        send_reply("add-connection", {{"result", "Invalid"}, {"rtag", ""}});
        return;
    }
    const auto required = [&params](const char* name) {
        const auto it = params.find(name);
        if (it == params.end())
            throw std::runtime_error(std::string("add-connection missing required ") + name +
                                     " field");
        return it->second;
    };
    const auto optional = [&params](const char* name, const char* default_key) {
        const auto it = params.find(name);
        return it != params.end() ? it->second : Config::get_instance()->get(default_key);
    };
    const std::string ip_address = required("ip-address");
    const std::string server_sni = optional("server-sni", "DefaultServerSni");
    const std::string sg_sni = optional("sg-sni", "DefaultSgSni");
    const std::string tcp_port = required("tcp-port");
    const std::string ctag = required("ctag");
    const std::string connection_id = required("connection-id");

    const std::string session_log_id = session_log_id_for(connection_id);
    BOOST_LOG_SEV(m_log, trivial::debug)
        << VEXA_LOG_SESSION_LOG_ID(session_log_id) << "===> connection added";

    // The session keeps both callbacks, and with them this connection.
    auto self = shared_from_this();
    const std::string session_id = Tag(ctag).get_session_id();
    StateCallback state_callback = [self, connection_id, session_id](eSESSION_STATE state) {
        self->handle_connection_state_change(connection_id, session_id, state);
    };
    ClosedCallback closed_callback = [self, connection_id](const std::string& reason) {
        self->handle_connection_terminated(connection_id, reason);
    };
    const std::string rtag =
        m_cm.add_connection(ip_address, tcp_port, sg_sni, server_sni, ctag, connection_id,
                            session_log_id, std::move(state_callback), std::move(closed_callback));
    send_reply("add-connection",
               {{"result", rtag.empty() ? "Invalid" : "ok"}, {"rtag", rtag}, {"sg-sni", sg_sni}});
}

std::string XMLTCPControlConnection::session_log_id_for(const std::string& connection_id)
{
    const std::string trimmed = boost::algorithm::trim_copy(connection_id);
    if (!trimmed.empty() && boost::regex_match(trimmed, m_log_id_pattern))
        return trimmed;

    boost::uuids::basic_random_generator<std::mt19937> generate(m_random);
    const std::string fresh = boost::uuids::to_string(generate());
    if (trimmed.empty()) {
        BOOST_LOG_SEV(m_log, trivial::trace)
            << VEXA_LOG_SESSION_LOG_ID(fresh)
            << "No Session Log ID was provided; a new one has been generated: " << fresh;
    } else if (trimmed.size() <= SESSION_LOG_ID_LENGTH) {
        BOOST_LOG_SEV(m_log, trivial::info)
            << VEXA_LOG_SESSION_LOG_ID(fresh) << "Received Session Log ID (" << trimmed
            << ") was not in the correct format; a new one has been generated: " << fresh;
    } else {
        BOOST_LOG_SEV(m_log, trivial::info)
            << VEXA_LOG_SESSION_LOG_ID(fresh) << "Received Session Log ID ("
            << trimmed.substr(0, SESSION_LOG_ID_LENGTH)
            << "...) was too long; a new one has been generated: " << fresh;
    }
    return fresh;
}

void XMLTCPControlConnection::send_reply(const std::string& command,
                                         const std::map<std::string, std::string>& entries)
{
    if (m_stopping) {
        BOOST_LOG_SEV(m_log, trivial::info)
            << "Skipping sending a <" << command << "> reply because we are stopping";
        return;
    }
    send_connection_msg(control_message::reply_body(command, entries), &m_header.id);
}

void XMLTCPControlConnection::handle_connection_state_change(const std::string& connection_id,
                                                             const std::string& session_id,
                                                             eSESSION_STATE state)
{
    // Raised with a relay or signalling mutex held: nothing may escape.
    try {
        if (!m_send_state_notifications)
            return;
        switch (state) {
        case ACTIVE:
        case INTERRUPTED:
        case PENDING_RESUME:
            send_connection_state_changed_msg(connection_id, session_id, session_state_name(state));
            break;
        default:
            BOOST_LOG_SEV(m_log, trivial::error)
                << "Failed to send a <connection-state-changed> XML notification because "
                   "session-state="
                << static_cast<int>(state) << " is unknown: session-id=" << session_id;
            break;
        }
    } catch (...) {
    }
}

void XMLTCPControlConnection::handle_connection_terminated(const std::string& connection_id,
                                                           const std::string& reason)
{
    try {
        if (!m_socket_open) {
            BOOST_LOG_SEV(m_log, trivial::trace)
                << "not sending connection-close notification: reason=" << reason
                << " because the socket is not open";
            return;
        }
        BOOST_LOG_SEV(m_log, trivial::info)
            << "===> sending <connection-closed> notification: reason=" << reason;
        send_connection_closed_msg(connection_id, reason);
    } catch (...) {
    }
}

void XMLTCPControlConnection::send_connection_state_changed_msg(const std::string& connection_id,
                                                                const std::string& session_id,
                                                                const std::string& state)
{
    if (m_stopping) {
        BOOST_LOG_SEV(m_log, trivial::info) << "Skipping sending a <connection-state-changed> XML "
                                               "notification because we are stopping";
        return;
    }
    BOOST_LOG_SEV(m_log, trivial::info) << "Sending <connection-state-changed> XML notification: state="
                                        << state << " session-id=" << session_id;
    send_connection_msg(control_message::state_changed_body(connection_id, session_id, state),
                        nullptr);
}

void XMLTCPControlConnection::send_connection_closed_msg(const std::string& connection_id,
                                                         const std::string& reason)
{
    if (m_stopping) {
        BOOST_LOG_SEV(m_log, trivial::info)
            << "Skipping sending a <connection-closed> XML notification because we are stopping";
        return;
    }
    send_connection_msg(control_message::closed_body(connection_id, reason), nullptr);
}

void XMLTCPControlConnection::send_connection_msg(const std::string& body, const std::string* reply_id)
{
    if (m_dead)
        return;
    using queue_t = concurrent_queue<message_t>;
    // A reply answers a command already read, and reading stops while the
    // budget is exceeded; a notification has no such brake, so it must fit.
    const queue_t::budget mode = reply_id ? queue_t::budget::exceed : queue_t::budget::enforce;
    queue_t::push_result result;
    {
        // The id and the queue position are taken together, so ids rise in
        // wire order.
        std::lock_guard<std::mutex> lock(m_id_mutex);
        auto text = std::make_shared<std::string>(control_message::header(m_next_id, reply_id, body.size()));
        text->append(body);
        const std::size_t bytes = text->size();
        message_t message = std::move(text);
        result = m_send_queue.push(message, bytes, mode);
        if (result == queue_t::push_result::pushed)
            ++m_next_id;
    }
    if (result == queue_t::push_result::pushed || result == queue_t::push_result::inactive ||
        m_dead.exchange(true))
        return;

    // The broker stopped reading. The raising thread may hold a relay or
    // signalling mutex, so the closing runs later on the control thread.
    if (result == queue_t::push_result::full)
        BOOST_LOG_SEV(m_log, trivial::error)
            << "XMLTCPControlConnection: send queue full (" << MAX_QUEUED_MESSAGES
            << " messages); closing the control connection to " << endpoint_text(m_peer);
    else
        BOOST_LOG_SEV(m_log, trivial::error)
            << "XMLTCPControlConnection: send queue over its budget (" << SEND_QUEUE_BYTE_BUDGET
            << " bytes); closing the control connection to " << endpoint_text(m_peer);
    std::weak_ptr<XMLTCPControlConnection> weak = shared_from_this();
    boost::asio::post(m_io, [weak] {
        if (auto self = weak.lock())
            self->m_server->close_connection(self);
    });
}

void XMLTCPControlConnection::send_thread()
{
    for (;;) {
        message_t message;
        if (!m_send_queue.pop(message) || !message)
            return;
        wait_for_write_complete();
        if (m_stopping) {
            m_send_queue.release(message->size());
            return;
        }
        try {
            boost::asio::post(m_io, boost::bind(&XMLTCPControlConnection::async_write_reply,
                                                shared_from_this(), message));
        } catch (...) {
            BOOST_LOG_SEV(m_log, trivial::warning) << "XMLTCPControlConnection::send_thread: Detected "
                                                      "an exception while posting async_write_reply()";
            m_send_queue.release(message->size());
            signal_write_complete();
        }
    }
}

void XMLTCPControlConnection::async_write_reply(const message_t& message)
{
    try {
        auto handler = boost::bind(&XMLTCPControlConnection::handle_write, shared_from_this(), _1,
                                   _2, message);
        if (m_ssl)
            boost::asio::async_write(*m_ssl, boost::asio::buffer(*message), handler);
        else
            boost::asio::async_write(*m_socket, boost::asio::buffer(*message), handler);
    } catch (...) {
        BOOST_LOG_SEV(m_log, trivial::warning)
            << "XMLTCPControlConnection::send_thread: Detected an exception in async_write_reply()";
        release_message(message);
        signal_write_complete();
    }
}

void XMLTCPControlConnection::handle_write(const boost::system::error_code& error, std::size_t,
                                           const message_t& message)
{
    // The message is released with this handler; a write error leaves the
    // connection open until a read fails.
    if (error)
        BOOST_LOG_SEV(m_log, trivial::error)
            << "Error: XMLTCPControlConnection::handle_write - exception value=" << error.value()
            << "; message=" << error.message();
    release_message(message);
    signal_write_complete();
}

void XMLTCPControlConnection::release_message(const message_t& message)
{
    const std::size_t held = m_send_queue.release(message->size());
    if (m_reading_paused && held < m_send_queue.byte_budget() / 2 && !m_stopping) {
        m_reading_paused = false;
        read_header();
    }
}

void XMLTCPControlConnection::wait_for_write_complete()
{
    std::unique_lock<std::mutex> lock(m_write_mutex);
    m_write_cv.wait(lock, [this] { return m_write_complete; });
    m_write_complete = false;
}

void XMLTCPControlConnection::signal_write_complete()
{
    {
        std::lock_guard<std::mutex> lock(m_write_mutex);
        m_write_complete = true;
    }
    m_write_cv.notify_one();
}

void XMLTCPControlConnection::stop()
{
    if (m_stopping.exchange(true))
        return;
    m_deadline_timer.cancel();
    m_send_queue.deactivate();  // queued messages are dropped unsent
    m_socket_open = false;
    boost::system::error_code error;
    m_socket->close(error);  // no close-notify under TLS
    if (error)
        BOOST_LOG_SEV(m_log, trivial::error)
            << "XMLTCPControlConnection::stop: Error - an exception occurred when closing the socket: "
            << error.message();
    signal_write_complete();
    if (m_send_thread.joinable() && m_send_thread.get_id() != std::this_thread::get_id())
        m_send_thread.join();
}

}  // namespace vexa
