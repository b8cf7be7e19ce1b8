// A HELLO as a test server receives it: parsed by the stanza library, with
// its fields for assertions, and checks against a session tag (the
// library's validation, and the signature recomputed here with OpenSSL).
// Plain value.
#pragma once

#include "HelloHop.h"
#include "TestSessionTag.h"

#include <optional>
#include <string>
#include <vector>

namespace kavri_test {

class ReceivedHello {
public:
    // text: a framed or bare HELLO. Nothing when it does not parse.
    static std::optional<ReceivedHello> parse(const std::string& text);

    // vexa_xml_validate_hello against tag: 0 or the library's code.
    int validate(const std::string& tag) const;
    // SHA-256(key || thumbprint || server name), computed independently.
    static TestSessionTag::hash signature_for(const std::string& key, const TestSessionTag::hash& thumbprint,
                                              const std::string& server_name);
    bool signed_with(const std::string& key) const
    {
        return signature() == signature_for(key, thumbprint(), server_name());
    }

    std::string version() const { return m_rec.version; }
    std::string server_name() const { return m_rec.server_name; }
    uint64_t spi() const { return m_rec.spi; }
    TestSessionTag::id8 session_id() const;
    TestSessionTag::hash thumbprint() const;
    TestSessionTag::hash signature() const;
    std::vector<HelloHop> hops() const { return HelloHop::from(m_rec.mitm_hellos); }
    const sVEXA_XML_HELLO& record() const { return m_rec; }

private:
    sVEXA_XML_HELLO m_rec{};
};

}  // namespace kavri_test
