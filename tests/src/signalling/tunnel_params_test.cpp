// The server leg's pure decisions: which server stanza is acceptable after
// the client's last one, what an INVITE_OK means for the media tunnels, and
// the gateway's address and port written into it.
#include "Config.h"
#include "SSIGServerConnection.h"
#include "SSIGTunnelParams.h"
#include "Startup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

namespace {

using vexa::SSIGClientKeySets;
using vexa::SSIGInviteOkSettings;
using vexa::SSIGTunnelParams;
using vexa::ssig::SSIGMap;
using bytes = std::vector<uint8_t>;

// --- acceptance -------------------------------------------------------------------

TEST(ServerStanzaAcceptance, EachStanzaOnlyAfterTheClientStanzaItAnswers)
{
    const int none = -99;
    const int lasts[] = {none, VEXA_XML_TYPE_HELLO, VEXA_XML_TYPE_REJECT, VEXA_XML_TYPE_FAIL, VEXA_XML_TYPE_VERSION};
    struct Row {
        eVEXA_XML_TYPE received;
        std::vector<int> accepted_after;
    };
    const Row rows[] = {
        {VEXA_XML_TYPE_VERSION, {VEXA_XML_TYPE_HELLO}},
        {VEXA_XML_TYPE_FAIL, {VEXA_XML_TYPE_HELLO, VEXA_XML_TYPE_REJECT}},
        {VEXA_XML_TYPE_REJECTED, {VEXA_XML_TYPE_REJECT}},
        {VEXA_XML_TYPE_HELLO, {}},
        {VEXA_XML_TYPE_REJECT, {}},
        {VEXA_XML_TYPE_UNKNOWN_KAVRI, {}},
        {VEXA_XML_TYPE_UNKNOWN, {}},
        {VEXA_XML_TYPE_UNPARSEABLE, {}},
    };
    for (const Row& r : rows) {
        for (int last : lasts) {
            const bool expected =
                std::find(r.accepted_after.begin(), r.accepted_after.end(), last) != r.accepted_after.end();
            EXPECT_EQ(vexa::SSIGServerConnection::is_expected_xml_type(r.received, last), expected)
                << "received " << r.received << " after " << last;
        }
    }
}

// --- INVITE_OK ---------------------------------------------------------------------

bytes seq(std::size_t n, uint8_t first)
{
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = uint8_t(first + i);
    return b;
}

// An INVITE_OK; elements in the order given.
SSIGMap invite_ok(const std::vector<std::pair<const char*, bytes>>& elements)
{
    SSIGMap m;
    m.command_value = 1;
    for (const auto& e : elements) {
        uint32_t type = 0;
        for (int i = 0; i < 4; ++i)
            type = (type << 8) | uint8_t(e.first[i]);
        m.add(type, e.second);
    }
    return m;
}

const bytes kServerKey1 = seq(16, 0x10), kServerSpi1 = {0xA1, 0xA2, 0xA3, 0xA4}, kServerSalt1 = {0x01, 0x02, 0x03, 0x04};
const bytes kServerKey2 = seq(32, 0x40), kServerSpi2 = {0xB1, 0xB2, 0xB3, 0xB4}, kServerSalt2 = {0x05, 0x06, 0x07, 0x08};
const bytes kPort = {0x1F, 0x90};  // 8080

SSIGClientKeySets client_sets()
{
    SSIGClientKeySets c;
    c.key1 = seq(16, 0x80);
    c.spi1 = {0xC1, 0xC2, 0xC3, 0xC4};
    c.salt1 = {0x11, 0x12, 0x13, 0x14};
    c.key2 = seq(32, 0x90);
    c.spi2 = {0xD1, 0xD2, 0xD3, 0xD4};
    c.salt2 = {0x21, 0x22, 0x23, 0x24};
    return c;
}

SSIGInviteOkSettings settings(const std::string& disable = "0", const std::string& resume_without_stag = "0")
{
    SSIGInviteOkSettings s;
    s.disable_aes128gcm = disable;
    s.enable_resume_without_stag = resume_without_stag;
    return s;
}

uint32_t wire(const bytes& b)
{
    uint32_t v = 0;
    std::memcpy(&v, b.data(), 4);
    return v;
}

std::vector<std::pair<const char*, bytes>> both_sets()
{
    return {{"1key", kServerKey1}, {"1spi", kServerSpi1}, {"1slt", kServerSalt1}, {"2key", kServerKey2},
            {"2spi", kServerSpi2}, {"2slt", kServerSalt2}, {"cprt", kPort}};
}

TEST(TunnelParams, TheServersChosenSetPicksTheClientsSet)
{
    const SSIGClientKeySets client = client_sets();
    {
        SCOPED_TRACE("set 1 enabled: set 1 whenever 1key is there");
        const SSIGTunnelParams p = extract_tunnel_params(invite_ok(both_sets()), client, "127.0.0.1", settings("0"));
        ASSERT_TRUE(p.complete) << p.refusal;
        EXPECT_TRUE(p.server_chose_set_1);
        EXPECT_FALSE(p.server_chose_set_2);
        EXPECT_EQ(p.server_key, kServerKey1);
        EXPECT_EQ(p.server_spi, wire(kServerSpi1));
        EXPECT_EQ(p.server_salt, 0x01020304u);
        EXPECT_EQ(p.client_key, client.key1);
        EXPECT_EQ(p.client_spi, wire(client.spi1));
        EXPECT_EQ(p.client_salt, 0x11121314u);
        EXPECT_EQ(p.port, 8080);
        EXPECT_EQ(p.address, "127.0.0.1");
    }
    {
        SCOPED_TRACE("set 1 disabled: set 2 with the client's set 2");
        const SSIGTunnelParams p = extract_tunnel_params(invite_ok(both_sets()), client, "127.0.0.1", settings("1"));
        ASSERT_TRUE(p.complete) << p.refusal;
        EXPECT_FALSE(p.server_chose_set_1);
        EXPECT_TRUE(p.server_chose_set_2);
        EXPECT_EQ(p.server_key, kServerKey2);
        EXPECT_EQ(p.server_spi, wire(kServerSpi2));
        EXPECT_EQ(p.server_salt, 0x05060708u);
        EXPECT_EQ(p.client_key, client.key2);
        EXPECT_EQ(p.client_spi, wire(client.spi2));
        EXPECT_EQ(p.client_salt, 0x21222324u);
    }
    {
        SCOPED_TRACE("no 1key: set 2");
        const SSIGTunnelParams p = extract_tunnel_params(
            invite_ok({{"2key", kServerKey2}, {"2spi", kServerSpi2}, {"2slt", kServerSalt2}, {"cprt", kPort}}), client,
            "127.0.0.1", settings("0"));
        ASSERT_TRUE(p.complete) << p.refusal;
        EXPECT_TRUE(p.server_chose_set_2);
        EXPECT_EQ(p.client_key, client.key2);
    }
}

TEST(TunnelParams, RefusalsNameTheFirstValueMissingOrOfTheWrongSize)
{
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, bytes>> elements;
        SSIGClientKeySets client;
        std::string server_address;
        const char* refusal;
        bool is_error;
    };
    const SSIGClientKeySets good = client_sets();
    SSIGClientKeySets client_key_24 = good, client_spi_3 = good, client_salt_5 = good, client_no_set = good;
    client_key_24.key1 = seq(24, 1);
    client_spi_3.spi1 = {1, 2, 3};
    client_salt_5.salt1 = {1, 2, 3, 4, 5};
    client_no_set.key1.clear();
    client_no_set.spi1.clear();
    client_no_set.salt1.clear();
    const auto set1 = [](const bytes& key, const bytes& spi, const bytes& salt, const bytes& port) {
        return std::vector<std::pair<const char*, bytes>>{
            {"1key", key}, {"1spi", spi}, {"1slt", salt}, {"cprt", port}};
    };
    const Case cases[] = {
        {"no 1spi", {{"1key", kServerKey1}, {"1slt", kServerSalt1}, {"cprt", kPort}}, good, "127.0.0.1",
         "*** SSIGServer::Could not retrieve encryption key, spi, and/or salt!", true},
        {"no key set", {{"cprt", kPort}}, good, "127.0.0.1",
         "*** SSIGServer::Could not retrieve encryption key, spi, and/or salt!", true},
        {"no cprt", {{"1key", kServerKey1}, {"1spi", kServerSpi1}, {"1slt", kServerSalt1}}, good, "127.0.0.1",
         "Could not retrieve port from Kavri server INVITE_OK message", false},
        {"no address anywhere", set1(kServerKey1, kServerSpi1, kServerSalt1, kPort), good, "",
         "Could not retrieve ip address from Kavri server INVITE_OK message, either.", false},
        {"server key 24", set1(seq(24, 1), kServerSpi1, kServerSalt1, kPort), good, "127.0.0.1",
         "Kavri server INVITE_OK message has wrong key size 24", true},
        {"server key empty", set1({}, kServerSpi1, kServerSalt1, kPort), good, "127.0.0.1",
         "Kavri server INVITE_OK message has wrong key size 0", true},
        {"client key 24", set1(kServerKey1, kServerSpi1, kServerSalt1, kPort), client_key_24, "127.0.0.1",
         "Kavri client INVITE message has wrong key size: 24", true},
        {"client sent no set 1", set1(kServerKey1, kServerSpi1, kServerSalt1, kPort), client_no_set, "127.0.0.1",
         "Kavri client INVITE message has wrong key size: 0", true},
        {"server salt 5", set1(kServerKey1, kServerSpi1, {1, 2, 3, 4, 5}, kPort), good, "127.0.0.1",
         "Kavri server salt in SSIG INVITE_OK message has wrong size 5", true},
        {"server SPI 3", set1(kServerKey1, {1, 2, 3}, kServerSalt1, kPort), good, "127.0.0.1",
         "Kavri server SPI in SSIG INVITE_OK message has wrong size 3", true},
        {"client SPI 3", set1(kServerKey1, kServerSpi1, kServerSalt1, kPort), client_spi_3, "127.0.0.1",
         "Kavri client SPI in SSIG INVITE message has wrong size 3", true},
        {"client salt 5", set1(kServerKey1, kServerSpi1, kServerSalt1, kPort), client_salt_5, "127.0.0.1",
         "Kavri client salt in SSIG INVITE message has wrong size 5", true},
        {"cprt 1", set1(kServerKey1, kServerSpi1, kServerSalt1, {0x10}), good, "127.0.0.1",
         "Kavri server port number in SSIG INVITE_OK message has wrong size 1", true},
        // The checks go in order: the server's key before the port.
        {"server key 24 and cprt 1", set1(seq(24, 1), kServerSpi1, kServerSalt1, {0x10}), good, "127.0.0.1",
         "Kavri server INVITE_OK message has wrong key size 24", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SSIGTunnelParams p = extract_tunnel_params(invite_ok(c.elements), c.client, c.server_address, settings());
        EXPECT_FALSE(p.complete);
        EXPECT_EQ(p.refusal, c.refusal);
        EXPECT_EQ(p.refusal_is_error, c.is_error);
    }
    for (std::size_t n : {16u, 32u}) {
        SCOPED_TRACE(n);
        SSIGClientKeySets client = good;
        client.key1 = seq(n, 7);
        const SSIGTunnelParams p =
            extract_tunnel_params(invite_ok(set1(seq(n, 3), kServerSpi1, kServerSalt1, kPort)), client, "10.0.0.1", settings());
        EXPECT_TRUE(p.complete) << p.refusal;
        EXPECT_EQ(p.server_key.size(), n);
        EXPECT_EQ(p.client_key.size(), n);
    }
}

TEST(TunnelParams, TheServerAddressFallsBackToCipa)
{
    auto elements = both_sets();
    elements.push_back({"cipa", {'1', '0', '.', '1', '.', '2', '.', '3'}});
    const SSIGTunnelParams from_endpoint =
        extract_tunnel_params(invite_ok(elements), client_sets(), "192.0.2.9", settings());
    EXPECT_EQ(from_endpoint.address, "192.0.2.9");
    EXPECT_FALSE(from_endpoint.address_from_invite_ok);
    const SSIGTunnelParams from_cipa = extract_tunnel_params(invite_ok(elements), client_sets(), "", settings());
    ASSERT_TRUE(from_cipa.complete) << from_cipa.refusal;
    EXPECT_EQ(from_cipa.address, "10.1.2.3");
    EXPECT_TRUE(from_cipa.address_from_invite_ok);
}

TEST(TunnelParams, ClearHeaderFlagOnlyFromASingleByte)
{
    const struct {
        const char* name;
        bool present;
        bytes value;
        unsigned char expected;
    } cases[] = {
        {"absent", false, {}, 0}, {"empty", true, {}, 0}, {"one byte", true, {1}, 1}, {"two bytes", true, {1, 2}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto elements = both_sets();
        if (c.present)
            elements.push_back({"kclr", c.value});
        const SSIGTunnelParams p = extract_tunnel_params(invite_ok(elements), client_sets(), "127.0.0.1", settings());
        ASSERT_TRUE(p.complete);
        EXPECT_EQ(p.clear_header, c.expected);
    }
}

TEST(TunnelParams, ResumePeriod)
{
    using Resume = SSIGTunnelParams::Resume;
    const bytes sixty = {0x00, 0x00, 0x00, 0x3C};
    const struct {
        const char* name;
        std::vector<std::pair<const char*, bytes>> extra;
        std::string resume_without_stag;
        Resume resume;
        uint32_t seconds;
    } cases[] = {
        {"ksrp and stag", {{"ksrp", sixty}, {"stag", {}}}, "0", Resume::GRANTED, 60},
        {"ksrp without stag, not allowed", {{"ksrp", sixty}}, "0", Resume::REFUSED, 0},
        {"ksrp without stag, allowed", {{"ksrp", sixty}}, "1", Resume::GRANTED, 60},
        {"no ksrp", {{"stag", {}}}, "1", Resume::UNCHANGED, 0},
        {"ksrp of 3 bytes counts as none", {{"ksrp", {0x00, 0x00, 0x3C}}, {"stag", {}}}, "1", Resume::UNCHANGED, 0},
        {"empty ksrp counts as none", {{"ksrp", {}}, {"stag", {}}}, "1", Resume::UNCHANGED, 0},
        {"ksrp of 5 bytes: the first 4", {{"ksrp", {0x00, 0x00, 0x01, 0x00, 0xFF}}, {"stag", {}}}, "0",
         Resume::GRANTED, 256},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto elements = both_sets();
        elements.insert(elements.end(), c.extra.begin(), c.extra.end());
        const SSIGTunnelParams p =
            extract_tunnel_params(invite_ok(elements), client_sets(), "127.0.0.1", settings("0", c.resume_without_stag));
        EXPECT_EQ(p.resume, c.resume);
        EXPECT_EQ(p.resume_seconds, c.seconds);
        // The resume period never stops the tunnels.
        EXPECT_TRUE(p.complete);
    }
}

TEST(TunnelParams, AnInviteReplacesEveryKeptClientValue)
{
    SSIGClientKeySets kept = client_sets();
    SSIGMap invite;
    invite.add(SSIGMap::type_of("1key"), seq(16, 0x33));
    invite.add(SSIGMap::type_of("1spi"), {9, 9, 9, 9});
    kept.keep(invite);
    EXPECT_EQ(kept.key1, seq(16, 0x33));
    EXPECT_EQ(kept.spi1, (bytes{9, 9, 9, 9}));
    // What this INVITE did not carry is gone, not left from the last one.
    EXPECT_TRUE(kept.salt1.empty());
    EXPECT_TRUE(kept.key2.empty());
    EXPECT_TRUE(kept.spi2.empty());
    EXPECT_TRUE(kept.salt2.empty());
}

// --- the address rewrite -----------------------------------------------------------

std::string text_of(const bytes& b)
{
    return std::string(b.begin(), b.end());
}

TEST(RewriteInviteOk, TheGatewaysAddressAndPortReplaceTheServers)
{
    const struct {
        const char* name;
        std::string own_ip, broker_ip, own_udp_port, broker_port, udp_port;
        std::string cipa;
        bytes cprt;
    } cases[] = {
        {"own loopback: the broker's address", "127.0.0.1", "203.0.113.5", "0", "", "4172", "203.0.113.5", {0x10, 0x4C}},
        {"own address set: the broker's is ignored", "198.51.100.7", "203.0.113.5", "0", "", "4172", "198.51.100.7",
         {0x10, 0x4C}},
        {"own address unset: the broker's", "", "203.0.113.5", "0", "", "4172", "203.0.113.5", {0x10, 0x4C}},
        {"no broker address", "127.0.0.1", "", "0", "", "4172", "127.0.0.1", {0x10, 0x4C}},
        {"nothing set: empty", "", "", "0", "", "4172", "", {0x10, 0x4C}},
        {"own routable port 0: the broker's port", "127.0.0.1", "", "0", "4173", "4172", "127.0.0.1", {0x10, 0x4D}},
        {"own routable port wins", "127.0.0.1", "", "5000", "4173", "4172", "127.0.0.1", {0x13, 0x88}},
        {"broker port not a number", "127.0.0.1", "", "0", "abc", "4172", "127.0.0.1", {0x00, 0x00}},
        {"routable port beyond 16 bits is cut", "127.0.0.1", "", "70000", "", "4172", "127.0.0.1", {0x11, 0x70}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SSIGInviteOkSettings s;
        s.external_routable_ip = c.own_ip;
        s.connection_server_external_ip = c.broker_ip;
        s.external_routable_udp_port = c.own_udp_port;
        s.connection_server_external_port = c.broker_port;
        s.external_udp_port = c.udp_port;
        SSIGMap m = invite_ok({{"cipa", {'1', '.', '2', '.', '3', '.', '4'}}, {"cprt", kPort}, {"1key", kServerKey1}});
        vexa::rewrite_invite_ok(m, s);
        EXPECT_EQ(text_of(*m.find(SSIGMap::type_of("cipa"))), c.cipa);
        EXPECT_EQ(*m.find(SSIGMap::type_of("cprt")), c.cprt);
        EXPECT_EQ(*m.find(SSIGMap::type_of("1key")), kServerKey1);
        EXPECT_EQ(m.order.size(), 3u);
    }
}

TEST(RewriteInviteOk, OnlyTheFirstElementsAndNothingAdded)
{
    SSIGInviteOkSettings s;
    s.external_routable_ip = "198.51.100.7";
    s.external_routable_udp_port = "5000";
    {
        SSIGMap m = invite_ok({{"1key", kServerKey1}});
        const SSIGMap before = m;
        vexa::rewrite_invite_ok(m, s);
        EXPECT_EQ(m.order, before.order);
        EXPECT_EQ(m.values, before.values);
    }
    {
        SSIGMap m = invite_ok({{"cipa", {'a'}}, {"cipa", {'b'}}, {"cprt", {0, 1}}, {"cprt", {0, 2}}});
        vexa::rewrite_invite_ok(m, s);
        EXPECT_EQ(text_of(*m.find(SSIGMap::type_of("cipa"))), "198.51.100.7");
        EXPECT_EQ(text_of(*m.find(SSIGMap::repeat_key(SSIGMap::type_of("cipa"), 1))), "b");
        EXPECT_EQ(*m.find(SSIGMap::type_of("cprt")), (bytes{0x13, 0x88}));
        EXPECT_EQ(*m.find(SSIGMap::repeat_key(SSIGMap::type_of("cprt"), 1)), (bytes{0, 2}));
    }
}

TEST(RewriteInviteOk, TheDefaultsGiveLoopbackAnd4172)
{
    vexa::Config& c = *vexa::Config::get_instance();
    vexa::register_defaults(c);
    const SSIGInviteOkSettings s = SSIGInviteOkSettings::from_config();
    SSIGMap m = invite_ok({{"cipa", {'x'}}, {"cprt", kPort}});
    vexa::rewrite_invite_ok(m, s);
    EXPECT_EQ(text_of(*m.find(SSIGMap::type_of("cipa"))), "127.0.0.1");
    EXPECT_EQ(*m.find(SSIGMap::type_of("cprt")), (bytes{0x10, 0x4C}));
}

}  // namespace
