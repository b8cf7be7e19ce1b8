// The server leg's handling of what the server sends: its stanzas (VERSION
// checked and re-signed, FAIL relayed, REJECTED leading to reconnects) and
// its INVITE_OK (the session's media tunnels and the gateway's address).
#include "SSIGServerConnection.h"
#include "SSIGServerConnectionLog.h"

#include "MergeXML.h"
#include "SSIG.h"
#include "SSIGLegHost.h"
#include "vexa_xml_fail.h"
#include "vexa_xml_frame.h"
#include "vexa_xml_version.h"

#include <cstring>
#include <sstream>

namespace vexa {

using ssig::SSIGHttp;
using ssig::SSIGMap;

// --- server stanzas ------------------------------------------------------------

bool SSIGServerConnection::is_expected_xml_type(eVEXA_XML_TYPE received, int last_sent)
{
    switch (received) {
    case VEXA_XML_TYPE_VERSION: return last_sent == VEXA_XML_TYPE_HELLO;
    case VEXA_XML_TYPE_FAIL: return last_sent == VEXA_XML_TYPE_HELLO || last_sent == VEXA_XML_TYPE_REJECT;
    case VEXA_XML_TYPE_REJECTED: return last_sent == VEXA_XML_TYPE_REJECT;
    default: return false;
    }
}

bool SSIGServerConnection::is_expected_xml_type(eVEXA_XML_TYPE received) const
{
    int last;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        last = m_last_xml_sent;
    }
    return is_expected_xml_type(received, last);
}

void SSIGServerConnection::handle_server_xml(const link_ptr& link, const SSIGHttp& packet)
{
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    vexa_xml_header_get_type(packet.content(), packet.content_length(), nullptr, &type, nullptr);
    int last;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        last = m_last_xml_sent;
    }
    if (!is_expected_xml_type(type, last)) {
        // Dropped, and nothing more is read: the idle limit ends the leg.
        SERVER_LOG(info) << "Unexpected XML (type " << static_cast<int>(type) << ") received from Kavri server. "
                         << "Last XML type to server: " << last << "; Received XML: " << content_text(packet);
        return;
    }
    switch (type) {
    case VEXA_XML_TYPE_VERSION: return handle_server_xml_version(link, packet);
    case VEXA_XML_TYPE_FAIL: return handle_server_xml_fail(link, packet);
    default: return handle_server_xml_rejected(link, packet);
    }
}

void SSIGServerConnection::handle_server_xml_version(const link_ptr& link, const SSIGHttp& packet)
{
    SERVER_LOG(info) << "Received KAVRI_VERSION message from the server";
    const std::string content = content_text(packet);
    ssig::MitmInfoVector expected;
    m_host->get_client_connection_info(m_table_key, shared_from_this(), &expected);

    sVEXA_XML_VERSION rec;
    std::memset(&rec, 0, sizeof rec);
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    if (vexa_xml_parse_version(packet.content(), packet.content_length(), &type, &rec) != 0 ||
        type != VEXA_XML_TYPE_VERSION) {
        SERVER_LOG(error) << "failed to parse XML VERSION, xml=" << content;
        fail_version(link, "SG receive an invalid KAVRI_VERSION (error in parsing VERSION)", expected);
        return;
    }
    SERVER_LOG(trace) << "Handle XML VERSION from server (session-id=" << m_table_key << "): "
                      << ssig::sanitize_xml(ssig::sanitize_xml(content, "<REQUESTED>", "</REQUESTED>"),
                                            "<NEGOTIATED>", "</NEGOTIATED>");
    if (!has_xml_forwarder()) {
        SERVER_LOG(error) << "failed to find client to send XML VERSION to, xml=" << content;
        fail_version(link, "Invalid KAVRI_VERSION. SG detected an internal error (while setting the SSIG forwarders)",
                     expected);
        return;
    }
    // The server signs with the ctag, the tag it knows.
    if (vexa_xml_validate_version(&rec, m_ctag.text().c_str()) != 0) {
        SERVER_LOG(info) << "failed to validate KAVRI_VERSION XML";
        fail_version(link, "SG received invalid KAVRI_VERSION message (failed to validate XML)", expected);
        return;
    }
    char negotiated[VEXA_XML_VERSION_SIZE] = {0};
    if (vexa_xml_validate_negotiated_version(&rec, negotiated) != 0) {
        SERVER_LOG(info) << "KAVRI_VERSION negotiated an invalid SSIG protocol version";
        fail_version(link, "SG received invalid KAVRI_VERSION message (SSIG protocol version is invalid)", expected);
        return;
    }
    // The gateway's own hop sits where the client's HELLO put it; its SPI
    // preference may have been answered, its name and version not.
    const std::size_t n = expected.size();
    const sVEXA_XML_MITM_HELLOS& hops = rec.mitm_hellos;
    if (n == 0 || hops.count < n || std::strcmp(hops.mitm[n - 1].name, expected[n - 1].name) != 0 ||
        std::strcmp(hops.mitm[n - 1].version, expected[n - 1].version) != 0) {
        std::ostringstream why;
        why << "KAVRI_VERSION XML invalid: "
            << "Kavri Security Gateway fails to find its MITM entry in the KAVRI_VERSION from Kavri server.  XML: "
            << content << " Expected MITMs: ";
        for (std::size_t i = 0; i < n; ++i)
            why << "MITM[" << i << "]: name - " << expected[i].name << "; version - " << expected[i].version << " ";
        SERVER_LOG(error) << why.str();
        fail_version(link, "SG received invalid KAVRI_VERSION message (detected tampered MITM entries)", expected);
        return;
    }
    SERVER_LOG(trace) << "KAVRI_VERSION XML validated";

    // Signed again with the rtag: the tag the client knows.
    char created[VEXA_XML_BUFFER_SIZE] = {0};
    if (vexa_xml_create_version(&rec, m_rtag.text().c_str(), created, nullptr) != 0) {
        SERVER_LOG(error) << "failed to rewrite XML VERSION for Kavri client, xml=" << content;
        fail_version(link,
                     "SG detected invalid KAVRI_VERSION message (failed to generate KAVRI_VERSION message to forward)",
                     expected);
        return;
    }
    std::string merged;
    if (merge_xml::merge_version(content, created, merged) == 0) {
        SERVER_LOG(error) << "failed to merge rewritten XML VERSION for Kavri client, xml=" << content;
        fail_version(link,
                     "SG detected invalid KAVRI_VERSION message (failed to merge the KAVRI_VERSION message to forward)",
                     expected);
        return;
    }
    if (merged.size() > merge_xml::kMaxMergedLength)
        merged.resize(merge_xml::kMaxMergedLength);
    forward_xml(link, merged.c_str(), VEXA_XML_TYPE_VERSION);
}

void SSIGServerConnection::fail_version(const link_ptr& link, const char* reason, const ssig::MitmInfoVector& expected)
{
    // The FAIL's write is started before the removal stops the legs.
    if (has_xml_forwarder())
        send_kavri_fail_to_client(link, ssig::populate_fail_xml(1035, reason, expected));
    remove();
}

void SSIGServerConnection::handle_server_xml_fail(const link_ptr& link, const SSIGHttp& packet)
{
    const std::string content = content_text(packet);
    if (!has_xml_forwarder()) {
        // Nothing can tell the client: the session ends here.
        SERVER_LOG(error) << "failed to find client to send KAVRI_FAIL XML to, xml=" << content;
        remove();
        return;
    }
    sVEXA_XML_FAIL rec;
    std::memset(&rec, 0, sizeof rec);
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    if (vexa_xml_parse_fail(packet.content(), packet.content_length(), &type, &rec) != 0 ||
        type != VEXA_XML_TYPE_FAIL) {
        SERVER_LOG(error) << "failed to parse KAVRI_FAIL XML from Kavri server, xml=" << content;
        remove();
        return;
    }
    SERVER_LOG(trace) << "Handle server KAVRI_FAIL XML";
    SERVER_LOG(trace) << "Received XML: " << content;
    char text[VEXA_XML_BUFFER_SIZE] = {0};
    if (vexa_xml_create_fail(&rec, 1, text, nullptr) != 0)
        SERVER_LOG(error) << "failed to rewrite KAVRI_FAIL XML for Kavri client, xml=" << content;
    else
        forward_xml(link, text, VEXA_XML_TYPE_FAIL);
    // These codes leave the session to go on; the leg reads on once the
    // client has the FAIL.
    const uint32_t code = rec.failure_code;
    if (code != 1033 && code != 1036 && code != 1038)
        remove();
}

void SSIGServerConnection::handle_server_xml_rejected(const link_ptr& link, const SSIGHttp& packet)
{
    const std::string content = content_text(packet);
    if (!has_xml_forwarder()) {
        SERVER_LOG(error) << "failed to find client when handling KAVRI_REJECTED XML, xml=" << content;
        remove();
        return;
    }
    SERVER_LOG(trace) << "Handle server KAVRI_REJECTED XML";
    SERVER_LOG(trace) << "Received XML from server: " << content;
    // The client leg waits for the new connection's handshake and sends its
    // HELLO or REJECT again.
    if (do_restart(true) != Restart::REFUSED)
        return;
    SERVER_LOG(error) << "Failed to connect to server. Received " << get_rejected_count()
                      << " KAVRI_REJECTED messages (MITM is sending untrusted certificate) - " << m_table_key;
    ssig::MitmInfoVector hops;
    m_host->get_client_connection_info(m_table_key, shared_from_this(), &hops);
    // The session stays: the leg reads on once the client has the FAIL.
    send_kavri_fail_to_client(
        link, ssig::populate_fail_xml(1037, "Security Gateway received too many KAVRI_REJECTED from the MITM devices",
                                      hops));
}

void SSIGServerConnection::send_kavri_fail_to_client(const link_ptr& link, const sVEXA_XML_FAIL& fail)
{
    char text[VEXA_XML_BUFFER_SIZE] = {0};
    if (vexa_xml_create_fail(&fail, 1, text, nullptr) != 0) {
        SERVER_LOG(error) << "failed to write KAVRI_FAIL XML for Kavri client, xml=" << text;
        return;
    }
    forward_xml(link, text, VEXA_XML_TYPE_FAIL);
}

bool SSIGServerConnection::has_xml_forwarder() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return bool(m_xml_forwarder);
}

// --- INVITE_OK -------------------------------------------------------------------

void SSIGServerConnection::handle_server_invite_ok(const link_ptr&, SSIGMap& map)
{
    SERVER_LOG(info) << "Received SSIG INVITE_OK message from the server";
    const SSIGInviteOkSettings settings = SSIGInviteOkSettings::from_config();
    // The client gets the gateway's address whatever the tunnels came to.
    setup_tunnels(map, settings);
    rewrite_invite_ok(map, settings);
}

void SSIGServerConnection::setup_tunnels(const SSIGMap& invite_ok, const SSIGInviteOkSettings& settings)
{
    // The media goes where the signalling connection actually went.
    const tcp::endpoint server = get_server_endpoint();
    const std::string address = server.address().is_unspecified() ? std::string() : server.address().to_string();
    // A fresh reading per INVITE_OK: nothing of an earlier negotiation's
    // key-set choice carries over.
    const SSIGTunnelParams p = extract_tunnel_params(invite_ok, m_client_keys, address, settings);

    switch (p.resume) {
    case SSIGTunnelParams::Resume::GRANTED:
        SERVER_LOG(trace) << "SSIG server connection resume timeout: " << p.resume_seconds;
        set_resume_timeout(p.resume_seconds);
        break;
    case SSIGTunnelParams::Resume::REFUSED:
        SERVER_LOG(info) << "SSIG server did not send stag KSDP; current configuration does not permit session "
                            "resume without it.";
        set_resume_timeout(0);
        break;
    case SSIGTunnelParams::Resume::UNCHANGED: break;
    }
    if (p.address_from_invite_ok)
        SERVER_LOG(info) << "Could not retrieve ip address from server endpoint; trying from INVITE_OK";
    if (!p.complete) {
        if (p.refusal_is_error)
            SERVER_LOG(error) << p.refusal;
        else
            SERVER_LOG(info) << p.refusal;
        return;
    }

    state_callback_t state_callback;
    closed_callback_t closed_callback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        closed_callback = m_relay_closed_callback;
    }
    // The relay never gets an empty function (it would throw when called).
    if (!closed_callback)
        closed_callback = [](const std::string&) {};
    auto self = shared_from_this();
    state_callback = [self](eSESSION_STATE state) { self->udp_state_change_callback(state); };
    try {
        const boost::asio::ip::udp::endpoint server_udp(boost::asio::ip::make_address(p.address), p.port);
        if (server_udp.address().is_v6())
            SERVER_LOG(warning) << "Kavri server " << p.address
                                << " is an IPv6 address: the media relay sends to IPv4 addresses only";
        m_host->setup_tunnel(p.client_spi, p.client_salt, p.client_key, server_udp, p.server_spi, p.server_salt,
                             p.server_key, p.clear_header, get_resume_timeout(), m_rtag.text(), m_connection_id,
                             m_table_key, m_session_log_id, std::move(state_callback), std::move(closed_callback),
                             self);
    } catch (const std::exception& e) {
        SERVER_LOG(error) << "Failed to set up UDP tunnel: " << e.what();
    }
}

}  // namespace vexa
