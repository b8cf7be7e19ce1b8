#include "ReceivedVersion.h"

#include "StanzaLibrary.h"
#include "vexa_xml_version.h"

#include <openssl/sha.h>

#include <cstring>

namespace kavri_test {

std::optional<ReceivedVersion> ReceivedVersion::parse(const std::string& text)
{
    ensure_stanza_library();
    ReceivedVersion v;
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    if (vexa_xml_parse_version(text.c_str(), text.size(), &type, &v.m_rec) != 0 ||
        type != VEXA_XML_TYPE_VERSION)
        return std::nullopt;
    return v;
}

int ReceivedVersion::validate(const std::string& tag) const
{
    ensure_stanza_library();
    return vexa_xml_validate_version(&m_rec, tag.c_str());
}

bool ReceivedVersion::signed_with(const std::string& key) const
{
    std::string hop_text;
    for (const auto& h : hops())
        hop_text += h.name + h.version;
    unsigned char request[32], negotiated[32];
    const std::string r = key + requested() + hop_text;
    const std::string n = key + requested() + this->negotiated() + hop_text;
    SHA256(reinterpret_cast<const unsigned char*>(r.data()), r.size(), request);
    SHA256(reinterpret_cast<const unsigned char*>(n.data()), n.size(), negotiated);
    return std::memcmp(request, m_rec.request_signature, 32) == 0 &&
           std::memcmp(negotiated, m_rec.negotiated_signature, 32) == 0;
}

}  // namespace kavri_test
