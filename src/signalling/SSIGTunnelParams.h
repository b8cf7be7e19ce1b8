// What the server's INVITE_OK means for the session's media: the resume
// period, the key set the server chose (and so the client's set that goes
// with it), the server's UDP port, and the gateway's own address and port
// that replace the server's in the INVITE_OK relayed to the client.
//
// Threads: plain values and pure functions; no locks. The settings are read
// from the configuration by their caller.
#pragma once

#include "SSIGMap.h"

#include <cstdint>
#include <string>

namespace vexa {

// The configuration an INVITE_OK is read and rewritten with.
struct SSIGInviteOkSettings {
    std::string enable_resume_without_stag;            // EnableResumeWithoutStag
    std::string disable_aes128gcm;                     // DisableAES128GCM
    std::string connection_server_external_ip;         // ConnectionServerExternalRoutableIP
    std::string external_routable_ip;                  // ExternalRoutableIP
    std::string external_routable_udp_port;            // ExternalRoutableUDPPort
    std::string connection_server_external_port;       // ConnectionServerExternalRoutablePort
    std::string external_udp_port;                     // ExternalUDPPort

    static SSIGInviteOkSettings from_config();
};

// The key sets of the client's INVITE, as it sent them (empty: absent).
struct SSIGClientKeySets {
    ssig::SSIGMap::value_type key1, spi1, salt1, key2, spi2, salt2;

    // Replaces every value by the INVITE's own (absent ones become empty).
    void keep(const ssig::SSIGMap& invite);
    void clear();
};

struct SSIGTunnelParams {
    enum class Resume {
        UNCHANGED,  // no ksrp (or one shorter than 4 bytes)
        GRANTED,    // resume_seconds from ksrp
        REFUSED,    // ksrp without stag, and resumption without stag is off
    };
    Resume resume = Resume::UNCHANGED;
    uint32_t resume_seconds = 0;

    // Which of its two key sets the server answered with.
    bool server_chose_set_1 = false;
    bool server_chose_set_2 = false;

    // True when every value is there with its size; else refusal says why
    // (refusal_is_error: logged as an error rather than as info).
    bool complete = false;
    std::string refusal;
    bool refusal_is_error = false;

    // Server address text: the connected server's, else the INVITE_OK's cipa.
    std::string address;
    bool address_from_invite_ok = false;
    uint16_t port = 0;
    unsigned char clear_header = 0;
    // SPIs: the four wire bytes as they stand; salts: big-endian numbers.
    uint32_t server_spi = 0, client_spi = 0;
    uint32_t server_salt = 0, client_salt = 0;
    ssig::SSIGMap::value_type server_key, client_key;
};

// Reads the INVITE_OK; server_address is the text of the connected server's
// address ("" when there is none). Never reads past a value.
SSIGTunnelParams extract_tunnel_params(const ssig::SSIGMap& invite_ok, const SSIGClientKeySets& client,
                                       const std::string& server_address,
                                       const SSIGInviteOkSettings& settings);

// Puts the gateway's external address and port into the INVITE_OK's first
// cipa and cprt; an element the INVITE_OK does not carry is not added.
void rewrite_invite_ok(ssig::SSIGMap& invite_ok, const SSIGInviteOkSettings& settings);

}  // namespace vexa
