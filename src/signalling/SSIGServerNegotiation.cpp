// The signalling server's answers to its legs while they negotiate: the
// server-connected callbacks, a client's HELLO admitted against its session,
// the look-ups of the HELLO check, pairing on INVITE and the media tunnels,
// resumption, and what a failing server leg asks of the tables.
#include "SSIGServer.h"
#include "SSIGServerRecords.h"

#include "SSIGClientConnection.h"
#include "SSIGConnection.h"
#include "SSIGInviteFilter.h"
#include "SSIGServerConnection.h"
#include "UDPServer.h"
#include "vexa_xml_hello.h"

#include <boost/bind/bind.hpp>

#include <cstring>

namespace vexa {

using boost::log::trivial::debug;
using boost::log::trivial::error;
using boost::log::trivial::info;
using boost::log::trivial::trace;

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
    register_connected_callback(session_id, owner, std::move(callback), true, "set_server_connected_callback",
                                " ERROR - Failed to find session-id in tagged or established connections maps ");
}

void SSIGServer::set_server_reconnected_callback(const std::string& session_id,
                                                 const std::weak_ptr<SSIGClientConnection>& owner,
                                                 std::function<void(bool)> callback)
{
    // The leg may still be connected on its old link: only its next
    // handshake counts.
    register_connected_callback(session_id, owner, std::move(callback), false, "set_server_reconnected_callback",
                                " ERROR - Failed to find session-id in tagged connections map ");
}

void SSIGServer::register_connected_callback(const std::string& session_id,
                                             const std::weak_ptr<SSIGClientConnection>& owner,
                                             std::function<void(bool)> callback, bool call_if_connected,
                                             const char* where, const char* missing)
{
    Released released;
    std::lock_guard<std::mutex> lock(mutex);
    // Dropped (after the mutex) whenever it is not kept.
    released.callbacks.push_back(std::move(callback));
    std::function<void(bool)>& cb = released.callbacks.back();
    const auto it = tagged.find(session_id);
    if (it == tagged.end()) {
        BOOST_LOG_SEV(lg, error) << VEXA_LOG_SESSION_ID(session_id) << where << missing << session_id;
        return;
    }
    if (!holds_turn(it->second, owner)) {
        // A newer verified HELLO took the session's turn and closed this leg.
        BOOST_LOG_SEV(lg, debug) << VEXA_LOG_SESSION_ID(session_id) << where
                                 << ": the leg no longer holds the session's turn " << session_id;
        return;
    }
    if (call_if_connected && it->second->is_connected()) {
        cb(true);
        return;
    }
    ConnectedCallback& slot = callbacks[session_id];
    std::swap(slot.callback, cb);
    slot.owner = owner;
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

}  // namespace vexa
