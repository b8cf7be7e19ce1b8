// Test helper: records built from the golden values.
#pragma once

#include "golden_values.h"
#include "vexa_xml.h"

#include <cstring>
#include <string>
#include <vector>

namespace kavri_test {

inline std::vector<uint8_t> unhex(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string hex(const uint8_t* p, size_t n)
{
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

inline void add_hop(sVEXA_XML_MITM_HELLOS& hops, const char* version, const char* name,
                    uint64_t spi = 0)
{
    sVEXA_XML_MITM_HELLO& h = hops.mitm[hops.count++];
    std::strcpy(h.version, version);
    std::strcpy(h.name, name);
    h.spi = spi;
}

// The golden HELLO, unsigned: version empty (written "1.0"), spi 0, hop gw/1.0.
inline sVEXA_XML_HELLO golden_hello()
{
    sVEXA_XML_HELLO h;
    std::memset(&h, 0, sizeof h);
    const auto id = unhex(golden::kSessionIdHex);
    std::memcpy(h.session_id, id.data(), 8);
    const auto tp = unhex(golden::kDerThumbprintHex);
    std::memcpy(h.thumbprint_hash, tp.data(), 32);
    std::strcpy(h.server_name, golden::kServerName);
    add_hop(h.mitm_hellos, "1.0", "gw");
    return h;
}

// The golden VERSION, unsigned: 1.1 requested, 1.0 negotiated, spi 300, hop gw/1.0 spi 4096.
inline sVEXA_XML_VERSION golden_version()
{
    sVEXA_XML_VERSION v;
    std::memset(&v, 0, sizeof v);
    std::strcpy(v.requested_version, "1.1");
    std::strcpy(v.version, "1.0");
    v.spi = 300;
    add_hop(v.mitm_hellos, "1.0", "gw", 4096);
    return v;
}

inline sVEXA_XML_FAIL golden_fail()
{
    sVEXA_XML_FAIL f;
    std::memset(&f, 0, sizeof f);
    f.failure_code = 0x409;
    std::strcpy(f.failure_reason, "try again");
    return f;
}

constexpr time_t kGoldenTime = 1704067200;  // Mon,  1 Jan 2024 00:00:00 GMT

}  // namespace kavri_test
