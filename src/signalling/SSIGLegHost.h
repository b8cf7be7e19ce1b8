// What a signalling leg asks of the signalling server: the session tables'
// look-ups, removals and resumption, the server-connected callbacks, the
// forwarder wiring, the gateway's TLS identity and the legs' shared TLS
// contexts. SSIGServer implements it; component tests use a fake.
//
// Threads: called from a leg's strand (main-loop threads) with no leg mutex
// held. An implementation may take its own mutex and then one leg's mutex
// (through a leg's accessors or stop()), never the other way round; it must
// not call back into the calling leg's completions synchronously.
#pragma once

#include "SSIG.h"
#include "SSIGLegTypes.h"
#include "SSIGMap.h"
#include "SessionState.h"
#include "Tag.h"

#include <boost/asio/ip/udp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vexa {

class SSIGClientConnection;
class SSIGLegContexts;
class SSIGServerConnection;
class SSIGServerSSL;

class SSIGLegHost {
public:
    // --- called by the client leg ---

    // Stops and drops the leg if it is pending; drops its server-connected
    // callback if it is the callback's owner.
    virtual void remove_pending_client_connection(const std::shared_ptr<SSIGClientConnection>& leg) = 0;
    // A TLV INVITE from the client (pairing).
    virtual void handle_client_ssig_invite(const std::shared_ptr<SSIGClientConnection>& leg,
                                           const ssig::SSIGMap& map) = 0;
    // The log id filed with the session; "" when none.
    virtual std::string find_session_log_id(const std::string& session_id) = 0;
    // Checks hello against the tags filed for session_id (whichever table
    // holds the session) and, only when it verifies, in the same hold of the
    // implementation's lock: closes an older client leg that waits or
    // negotiates for the session, gives leg the session id and the
    // session's turn, takes an established pair of the id apart for
    // renegotiation and restarts its server leg as the resumption rules say.
    // Anything else changes nothing.
    virtual HelloAdmission admit_client_hello(const std::string& session_id, const sVEXA_XML_HELLO& hello,
                                              const std::shared_ptr<SSIGClientConnection>& leg) = 0;
    // A client leg closed itself at a deadline (counted, logged in summary).
    virtual void count_client_deadline_close(ClientDeadline why) = 0;
    // Calls callback(true) at once (possibly under the implementation's
    // mutex) when the session's tagged server leg is connected; else keeps
    // it, with its owner, until invoked or cleared. Dropped uncalled unless
    // owner holds the session's turn. The callback only posts.
    virtual void set_server_connected_callback(const std::string& session_id,
                                               const std::weak_ptr<SSIGClientConnection>& owner,
                                               std::function<void(bool)> callback) = 0;
    // Like set_server_connected_callback, but always stored, never called at
    // once: waits for the tagged leg's next completed handshake (a restart
    // after REJECTED), which calls it with true. Dropped uncalled when no
    // tagged leg has the id.
    virtual void set_server_reconnected_callback(const std::string& session_id,
                                                 const std::weak_ptr<SSIGClientConnection>& owner,
                                                 std::function<void(bool)> callback) = 0;
    // Drops the session's callback, uncalled, if owner registered it.
    virtual void clear_server_connected_callback(const std::string& session_id,
                                                 const std::shared_ptr<SSIGClientConnection>& owner) = 0;
    // The tagged server leg of this id: its ctag, rtag text, the SNI it
    // presents, the server certificate it received (a counted reference or
    // empty) and the expected thumbprint hash. False when none.
    virtual bool get_server_connection_info(const std::string& session_id, SessionTag* ctag,
                                            std::string* rtag, std::string* sni, x509_ref* cert,
                                            unsigned char (*hash)[32]) = 0;
    // Cross-wires the XML forwarders of leg and of the session's tagged
    // server leg (each unless stopped), joining leg to it; false when no
    // tagged leg has the id or leg does not hold the session's turn.
    virtual bool set_xml_forwarders(const std::string& session_id,
                                    const std::shared_ptr<SSIGClientConnection>& leg) = 0;

    // --- called by the server leg; each acts only on entries holding leg ---

    // The hop list of the client leg joined to leg (its HELLO as the gateway
    // rebuilt it); false when there is none.
    virtual bool get_client_connection_info(const std::string& session_id,
                                            const std::shared_ptr<SSIGServerConnection>& leg,
                                            ssig::MitmInfoVector* out) = 0;

    // Forgets the session of rtag and stops its legs.
    virtual void remove_connection(const SessionTag& rtag,
                                   const std::shared_ptr<SSIGServerConnection>& leg) = 0;
    virtual bool is_session_resumable(const std::string& session_id,
                                      const std::shared_ptr<SSIGServerConnection>& leg) = 0;
    // Closes the leg and the session's pending client, files it as resumable.
    virtual void cleanup_connections_for_next_resume(const std::string& session_id,
                                                     const std::shared_ptr<SSIGServerConnection>& leg) = 0;
    // The session's server leg completed its TLS handshake.
    virtual void invoke_server_connected_callback(const std::string& session_id) = 0;
    // The session's two media tunnels at the relay, on the server's
    // INVITE_OK: client-to-server under the client's SPI, salt and key
    // towards server_udp; server-to-client under the server's values towards
    // a placeholder until the client's first datagram names it. A resumed
    // session's tunnels are rekeyed in place. SPIs are the 4 wire bytes
    // copied as they stand; salts are the big-endian wire values as numbers;
    // keys are 16 or 32 bytes; resume_timeout in seconds; session_id is the
    // session's table key. Both callbacks are handed to the relay, which may
    // call them with its own locks held: they must only post or take leaf
    // locks. Nothing is set up unless leg is the session's established
    // server leg. What the relay throws passes through.
    virtual void setup_tunnel(uint32_t client_spi, uint32_t client_salt,
                              const ssig::SSIGMap::value_type& client_key,
                              const boost::asio::ip::udp::endpoint& server_udp, uint32_t server_spi,
                              uint32_t server_salt, const ssig::SSIGMap::value_type& server_key,
                              unsigned char clear_header, uint32_t resume_timeout,
                              const std::string& rtag, const std::string& connection_id,
                              const std::string& session_id, const std::string& session_log_id,
                              std::function<void(eSESSION_STATE)> state_callback,
                              std::function<void(const std::string&)> closed_callback,
                              const std::shared_ptr<SSIGServerConnection>& leg) = 0;

    // --- both legs ---

    // The gateway's TLS identity (client-facing context, default certificate).
    virtual SSIGServerSSL& get_server_ssl() = 0;
    // The contexts every leg makes its TLS connections from.
    virtual SSIGLegContexts& get_leg_contexts() = 0;
    // SSLCertKsgSni: the gateway's name in its own MITM hop.
    virtual std::string get_gateway_sni() const = 0;

protected:
    ~SSIGLegHost() = default;
};

}  // namespace vexa
