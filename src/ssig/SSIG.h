// Helpers of the SSIG framing shared by both signalling legs: command and
// stanza labels for logs, the FAIL record builder and the log masker.
// All are reentrant and take no lock.
#pragma once

#include "vexa_xml.h"

#include <string>
#include <vector>

namespace vexa {
namespace ssig {

// The MITM hop list of a client's HELLO, as the legs hand it over.
using MitmInfoVector = std::vector<sVEXA_XML_MITM_HELLO>;

// Name of the big-endian command value at offset 16 of a TLV message:
// "INVITE" ... "PONG", else "UNKNOWN_TLV".
const char* get_ssig_tlv_cmd(const char* message);

// Log label of a stanza text, from the characters after its second '<':
// "KAVRI_HELLO" ... "KAVRI_RENEW", else "UNKNOWN_XML".
const char* get_ssig_xml_cmd(const char* text);

// A zeroed FAIL record with code, the first 79 characters of reason and at
// most VEXA_XML_MAX_MITM of the hops.
sVEXA_XML_FAIL populate_fail_xml(unsigned code, const std::string& reason,
                                 const MitmInfoVector& hops);
sVEXA_XML_FAIL populate_fail_xml(unsigned code, const std::string& reason, unsigned char count,
                                 const sVEXA_XML_MITM_HELLO* hops);

// A copy of xml for logging, with the text between the first open_tag and
// the close_tag after it replaced by "***" (to the end without close_tag).
std::string sanitize_xml(const std::string& xml, const char* open_tag, const char* close_tag);

}  // namespace ssig
}  // namespace vexa
