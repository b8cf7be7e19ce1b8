#include "FailReply.h"

#include "vexa_xml_fail.h"

namespace kavri_test {

std::optional<FailReply> FailReply::parse(const SsigFrame& frame)
{
    if (frame.kind != SsigFrame::Kind::Post && frame.kind != SsigFrame::Kind::Reply)
        return std::nullopt;
    sVEXA_XML_FAIL rec{};
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    if (vexa_xml_parse_fail(frame.bytes.c_str(), frame.bytes.size(), &type, &rec) != 0 ||
        type != VEXA_XML_TYPE_FAIL)
        return std::nullopt;
    FailReply f;
    f.code = rec.failure_code;
    f.reason = rec.failure_reason;
    f.hops = HelloHop::from(rec.mitm_hellos);
    f.reply_form = frame.header.rfind("HTTP/1.0 200 OK\r\n", 0) == 0 &&
                   frame.content_length() == frame.body.size();
    return f;
}

}  // namespace kavri_test
