#include "SSIGTunnelParams.h"

#include "Config.h"

#include <cstdlib>
#include <cstring>

namespace vexa {

using ssig::SSIGMap;
using value_type = SSIGMap::value_type;

namespace {

const value_type* element(const SSIGMap& map, const char (&code)[5])
{
    return map.find(SSIGMap::type_of(code));
}

uint32_t be32(const value_type& v)
{
    return (uint32_t(v[0]) << 24) | (uint32_t(v[1]) << 16) | (uint32_t(v[2]) << 8) | uint32_t(v[3]);
}

uint32_t wire32(const value_type& v)
{
    uint32_t out = 0;
    std::memcpy(&out, v.data(), sizeof out);
    return out;
}

bool key_size_ok(std::size_t n)
{
    return n == 16 || n == 32;
}

value_type be16(uint16_t v)
{
    return value_type{uint8_t(v >> 8), uint8_t(v)};
}

uint16_t port_number(const std::string& text)
{
    return static_cast<uint16_t>(std::strtol(text.c_str(), nullptr, 10));
}

}  // namespace

SSIGInviteOkSettings SSIGInviteOkSettings::from_config()
{
    Config& c = *Config::get_instance();
    SSIGInviteOkSettings s;
    s.enable_resume_without_stag = c.get("EnableResumeWithoutStag");
    s.disable_aes128gcm = c.get("DisableAES128GCM");
    s.connection_server_external_ip = c.get("ConnectionServerExternalRoutableIP");
    s.external_routable_ip = c.get("ExternalRoutableIP");
    s.external_routable_udp_port = c.get("ExternalRoutableUDPPort");
    s.connection_server_external_port = c.get("ConnectionServerExternalRoutablePort");
    s.external_udp_port = c.get("ExternalUDPPort");
    return s;
}

void SSIGClientKeySets::keep(const SSIGMap& invite)
{
    struct Kept {
        const char (&code)[5];
        value_type& value;
    };
    const Kept kept[] = {{"1key", key1}, {"1spi", spi1}, {"1slt", salt1},
                         {"2key", key2}, {"2spi", spi2}, {"2slt", salt2}};
    for (const Kept& k : kept) {
        const value_type* v = element(invite, k.code);
        k.value = v ? *v : value_type();
    }
}

void SSIGClientKeySets::clear()
{
    for (value_type* v : {&key1, &spi1, &salt1, &key2, &spi2, &salt2})
        v->clear();
}

SSIGTunnelParams extract_tunnel_params(const SSIGMap& invite_ok, const SSIGClientKeySets& client,
                                       const std::string& server_address,
                                       const SSIGInviteOkSettings& settings)
{
    SSIGTunnelParams p;
    const auto refuse = [&p](std::string why, bool is_error) {
        p.refusal = std::move(why);
        p.refusal_is_error = is_error;
        return p;
    };

    // A ksrp too short to hold the period counts as none.
    const value_type* ksrp = element(invite_ok, "ksrp");
    if (ksrp && ksrp->size() >= 4) {
        if (element(invite_ok, "stag") || settings.enable_resume_without_stag != "0") {
            p.resume = SSIGTunnelParams::Resume::GRANTED;
            p.resume_seconds = be32(*ksrp);
        } else {
            p.resume = SSIGTunnelParams::Resume::REFUSED;
        }
    }

    // Set 1 unless it is disabled or the server sent no key for it; set 2's
    // values then take the place of whatever set 1 left.
    const value_type* spi = nullptr;
    const value_type* key = nullptr;
    const value_type* salt = nullptr;
    if (settings.disable_aes128gcm != "1") {
        spi = element(invite_ok, "1spi");
        key = element(invite_ok, "1key");
        salt = element(invite_ok, "1slt");
        p.server_chose_set_1 = key != nullptr;
    }
    if (!p.server_chose_set_1) {
        if (const value_type* v = element(invite_ok, "2spi"))
            spi = v;
        if (const value_type* v = element(invite_ok, "2key"))
            key = v;
        if (const value_type* v = element(invite_ok, "2slt"))
            salt = v;
        p.server_chose_set_2 = element(invite_ok, "2key") != nullptr;
    }
    if (!spi || !key || !salt)
        return refuse("*** SSIGServer::Could not retrieve encryption key, spi, and/or salt!", true);

    const value_type* cprt = element(invite_ok, "cprt");
    if (!cprt)
        return refuse("Could not retrieve port from Kavri server INVITE_OK message", false);

    p.address = server_address;
    if (p.address.empty()) {
        p.address_from_invite_ok = true;
        const value_type* cipa = element(invite_ok, "cipa");
        if (!cipa)
            return refuse("Could not retrieve ip address from Kavri server INVITE_OK message, either.", false);
        p.address.assign(cipa->begin(), cipa->end());
    }

    const value_type& client_key = p.server_chose_set_2 ? client.key2 : client.key1;
    const value_type& client_spi = p.server_chose_set_2 ? client.spi2 : client.spi1;
    const value_type& client_salt = p.server_chose_set_2 ? client.salt2 : client.salt1;

    if (!key_size_ok(key->size()))
        return refuse("Kavri server INVITE_OK message has wrong key size " + std::to_string(key->size()), true);
    if (!key_size_ok(client_key.size()))
        return refuse("Kavri client INVITE message has wrong key size: " + std::to_string(client_key.size()), true);
    if (salt->size() != 4)
        return refuse("Kavri server salt in SSIG INVITE_OK message has wrong size " + std::to_string(salt->size()),
                      true);
    if (spi->size() != 4)
        return refuse("Kavri server SPI in SSIG INVITE_OK message has wrong size " + std::to_string(spi->size()),
                      true);
    if (client_spi.size() != 4)
        return refuse("Kavri client SPI in SSIG INVITE message has wrong size " + std::to_string(client_spi.size()),
                      true);
    if (client_salt.size() != 4)
        return refuse("Kavri client salt in SSIG INVITE message has wrong size " +
                          std::to_string(client_salt.size()),
                      true);
    if (cprt->size() != 2)
        return refuse("Kavri server port number in SSIG INVITE_OK message has wrong size " +
                          std::to_string(cprt->size()),
                      true);

    const value_type* kclr = element(invite_ok, "kclr");
    p.clear_header = kclr && kclr->size() == 1 ? (*kclr)[0] : 0;
    p.port = static_cast<uint16_t>((uint16_t((*cprt)[0]) << 8) | (*cprt)[1]);
    p.server_spi = wire32(*spi);
    p.client_spi = wire32(client_spi);
    p.server_salt = be32(*salt);
    p.client_salt = be32(client_salt);
    p.server_key = *key;
    p.client_key = client_key;
    p.complete = true;
    return p;
}

void rewrite_invite_ok(SSIGMap& invite_ok, const SSIGInviteOkSettings& s)
{
    if (value_type* cipa = invite_ok.find(SSIGMap::type_of("cipa"))) {
        // The broker's address wins over an unset or loopback own address.
        const bool own_unset = s.external_routable_ip.empty() || s.external_routable_ip == "127.0.0.1";
        const std::string& ip = !s.connection_server_external_ip.empty() && own_unset
                                    ? s.connection_server_external_ip
                                    : s.external_routable_ip;
        cipa->assign(ip.begin(), ip.end());
    }
    if (value_type* cprt = invite_ok.find(SSIGMap::type_of("cprt"))) {
        // The gateway's own routable port wins over the broker's.
        uint16_t port = port_number(s.external_routable_udp_port);
        if (port == 0)
            port = !s.connection_server_external_port.empty() ? port_number(s.connection_server_external_port)
                                                               : port_number(s.external_udp_port);
        *cprt = be16(port);
    }
}

}  // namespace vexa
