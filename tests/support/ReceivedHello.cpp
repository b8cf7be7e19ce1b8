#include "ReceivedHello.h"

#include "StanzaLibrary.h"
#include "vexa_xml_hello.h"

#include <openssl/sha.h>

namespace kavri_test {

std::optional<ReceivedHello> ReceivedHello::parse(const std::string& text)
{
    ensure_stanza_library();
    ReceivedHello h;
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    if (vexa_xml_parse_hello(text.c_str(), text.size(), &type, &h.m_rec) != 0 ||
        type != VEXA_XML_TYPE_HELLO)
        return std::nullopt;
    return h;
}

int ReceivedHello::validate(const std::string& tag) const
{
    ensure_stanza_library();
    return vexa_xml_validate_hello(&m_rec, tag.c_str());
}

TestSessionTag::hash ReceivedHello::signature_for(const std::string& key, const TestSessionTag::hash& thumbprint,
                                                  const std::string& server_name)
{
    std::string data = key;
    data.append(reinterpret_cast<const char*>(thumbprint.data()), thumbprint.size());
    data += server_name;
    TestSessionTag::hash out{};
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data());
    return out;
}

TestSessionTag::id8 ReceivedHello::session_id() const
{
    TestSessionTag::id8 id{};
    std::copy(m_rec.session_id, m_rec.session_id + 8, id.begin());
    return id;
}

TestSessionTag::hash ReceivedHello::thumbprint() const
{
    TestSessionTag::hash h{};
    std::copy(m_rec.thumbprint_hash, m_rec.thumbprint_hash + 32, h.begin());
    return h;
}

TestSessionTag::hash ReceivedHello::signature() const
{
    TestSessionTag::hash h{};
    std::copy(m_rec.signature, m_rec.signature + 32, h.begin());
    return h;
}

}  // namespace kavri_test
