#include "HelloBuilder.h"

#include "StanzaLibrary.h"
#include "vexa_xml_hello.h"

#include <openssl/evp.h>

#include <algorithm>

namespace kavri_test {

HelloBuilder HelloBuilder::for_tag(const std::string& tag, const std::string& server_name)
{
    HelloBuilder b;
    b.m_server_name = server_name;
    if (auto th = TestSessionTag::tovik_thumbprint(tag))
        b.m_thumbprint = *th;
    if (tag.size() >= 104) {
        unsigned char t[16] = {};
        if (EVP_DecodeBlock(t, reinterpret_cast<const unsigned char*>(tag.data() + 92), 12) >= 8)
            std::copy(t, t + 8, b.m_id.begin());
    }
    return b;
}

std::string HelloBuilder::write(const std::string& key, bool whole) const
{
    ensure_stanza_library();
    sVEXA_XML_HELLO rec;
    std::memset(&rec, 0, sizeof rec);
    std::strncpy(rec.version, m_version.c_str(), sizeof rec.version - 1);
    std::memcpy(rec.session_id, m_id.data(), 8);
    std::memcpy(rec.thumbprint_hash, m_thumbprint.data(), 32);
    std::strncpy(rec.server_name, m_server_name.c_str(), sizeof rec.server_name - 1);
    rec.spi = m_spi;
    HelloHop::to(m_hops, rec.mitm_hellos);
    char full[VEXA_XML_BUFFER_SIZE] = {};
    char body[VEXA_XML_BUFFER_SIZE] = {};
    if (vexa_xml_create_hello(&rec, key.c_str(), full, body) != 0)
        return "";
    return whole ? full : body;
}

std::string HelloBuilder::frame(const std::string& key) const
{
    return write(key, true);
}

std::string HelloBuilder::body(const std::string& key) const
{
    return write(key, false);
}

}  // namespace kavri_test
