// A VERSION as a test client receives it (or a test server sends it):
// parsed by the stanza library, with its fields for assertions, the
// library's validation against a session tag, and both signatures
// recomputed here with OpenSSL. Plain value.
#pragma once

#include "HelloHop.h"
#include "TestSessionTag.h"

#include <optional>
#include <string>
#include <vector>

namespace kavri_test {

class ReceivedVersion {
public:
    // text: a framed or bare VERSION. Nothing when it does not parse.
    static std::optional<ReceivedVersion> parse(const std::string& text);

    // vexa_xml_validate_version against tag: 0 or the library's code.
    int validate(const std::string& tag) const;
    // Request signature = SHA-256(key || requested || per hop: name || version);
    // negotiated signature = SHA-256(key || requested || negotiated || per hop:
    // name || version); true when both match.
    bool signed_with(const std::string& key) const;

    std::string requested() const { return m_rec.requested_version; }
    std::string negotiated() const { return m_rec.version; }
    uint64_t spi() const { return m_rec.spi; }
    std::vector<HelloHop> hops() const { return HelloHop::from(m_rec.mitm_hellos); }

private:
    sVEXA_XML_VERSION m_rec{};
};

}  // namespace kavri_test
