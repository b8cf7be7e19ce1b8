#include "SSIG.h"

#include "SSIGTLV.h"
#include "safe_lib.h"

#include <algorithm>
#include <cstring>

namespace vexa {
namespace ssig {

const char* get_ssig_tlv_cmd(const char* message)
{
    if (!message)
        return "UNKNOWN_TLV";
    switch (read_be32(reinterpret_cast<const uint8_t*>(message) + SSIGTLV::COMMAND_VALUE_OFFSET)) {
    case 0: return "INVITE";
    case 1: return "INVITE_OK";
    case 2: return "NOT_ACCEPTABLE";
    case 3: return "ACK";
    case 4: return "BYE";
    case 5: return "BYE_OK";
    case 6: return "PING";
    case 7: return "PONG";
    default: return "UNKNOWN_TLV";
    }
}

const char* get_ssig_xml_cmd(const char* text)
{
    if (!text)
        return "UNKNOWN_XML";
    const char* first = std::strchr(text, '<');
    const char* second = first ? std::strchr(first + 1, '<') : nullptr;
    if (!second)
        return "UNKNOWN_XML";
    ++second;
    // REJECTED before REJECT: the shorter keyword is a prefix of the longer.
    static const struct {
        const char* keyword;
        const char* label;
    } labels[] = {{"HELLO", "KAVRI_HELLO"},       {"VERSION", "KAVRI_VERSION"},
                  {"FAIL", "KAVRI_FAIL"},         {"REJECTED", "KAVRI_REJECTED"},
                  {"REJECT", "KAVRI_REJECT"},     {"RENEW", "KAVRI_RENEW"}};
    for (const auto& l : labels)
        if (std::strncmp(second, l.keyword, std::strlen(l.keyword)) == 0)
            return l.label;
    return "UNKNOWN_XML";
}

sVEXA_XML_FAIL populate_fail_xml(unsigned code, const std::string& reason,
                                 const MitmInfoVector& hops)
{
    const std::size_t count = std::min<std::size_t>(hops.size(), VEXA_XML_MAX_MITM);
    return populate_fail_xml(code, reason, static_cast<unsigned char>(count), hops.data());
}

sVEXA_XML_FAIL populate_fail_xml(unsigned code, const std::string& reason, unsigned char count,
                                 const sVEXA_XML_MITM_HELLO* hops)
{
    sVEXA_XML_FAIL fail;
    std::memset(&fail, 0, sizeof fail);
    fail.failure_code = code;
    kavri_strncpy_s(fail.failure_reason, sizeof fail.failure_reason, reason.c_str(),
                    sizeof fail.failure_reason - 1);
    const unsigned n = hops ? std::min<unsigned>(count, VEXA_XML_MAX_MITM) : 0;
    fail.mitm_hellos.count = static_cast<uint8_t>(n);
    for (unsigned i = 0; i < n; ++i) {
        sVEXA_XML_MITM_HELLO& to = fail.mitm_hellos.mitm[i];
        const sVEXA_XML_MITM_HELLO& from = hops[i];
        kavri_strncpy_s(to.version, sizeof to.version, from.version, sizeof to.version - 1);
        kavri_strncpy_s(to.name, sizeof to.name, from.name, sizeof to.name - 1);
        to.spi = from.spi;
    }
    return fail;
}

std::string sanitize_xml(const std::string& xml, const char* open_tag, const char* close_tag)
{
    if (!open_tag || !*open_tag)
        return xml;
    const std::size_t open = xml.find(open_tag);
    if (open == std::string::npos)
        return xml;
    const std::size_t body = open + std::strlen(open_tag);
    const std::size_t close =
        close_tag && *close_tag ? xml.find(close_tag, body) : std::string::npos;
    std::string masked = xml.substr(0, body) + "***";
    if (close != std::string::npos)
        masked += xml.substr(close);
    return masked;
}

}  // namespace ssig
}  // namespace vexa
