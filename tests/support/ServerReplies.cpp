#include "ServerReplies.h"

#include "StanzaLibrary.h"
#include "vexa_xml_fail.h"
#include "vexa_xml_frame.h"
#include "vexa_xml_version.h"

namespace kavri_test {
namespace server_replies {

std::string fail(uint32_t code, const std::string& reason, const std::vector<HelloHop>& hops)
{
    sVEXA_XML_FAIL rec{};
    rec.failure_code = code;
    std::strncpy(rec.failure_reason, reason.c_str(), sizeof rec.failure_reason - 1);
    HelloHop::to(hops, rec.mitm_hellos);
    char full[VEXA_XML_BUFFER_SIZE] = {};
    return vexa_xml_create_fail(&rec, 1, full, nullptr) == 0 ? full : "";
}

std::string rejected()
{
    char full[VEXA_XML_BUFFER_SIZE] = {};
    vexa_xml_create_rejected(full, nullptr);
    return full;
}

std::string version(const std::string& key, const std::string& requested, const std::string& negotiated,
                    const std::vector<HelloHop>& hops, uint64_t spi)
{
    ensure_stanza_library();
    sVEXA_XML_VERSION rec{};
    std::strncpy(rec.requested_version, requested.c_str(), sizeof rec.requested_version - 1);
    std::strncpy(rec.version, negotiated.c_str(), sizeof rec.version - 1);
    rec.spi = spi;
    HelloHop::to(hops, rec.mitm_hellos);
    char full[VEXA_XML_BUFFER_SIZE] = {};
    return vexa_xml_create_version(&rec, key.c_str(), full, nullptr) == 0 ? full : "";
}

std::string version_for(const ReceivedHello& hello, const std::string& key, const std::string& negotiated)
{
    return version(key, hello.version(), negotiated, hello.hops());
}

}  // namespace server_replies
}  // namespace kavri_test
