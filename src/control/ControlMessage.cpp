#include "ControlMessage.h"

namespace vexa {
namespace control_message {

namespace {

const char* const DOCUMENT_START = "<?xml version=\"1.0\"?>\r\n<kavri-sg version=\"1.0\">\r\n";
const char* const DOCUMENT_END = "</kavri-sg>\r\n";

}  // namespace

std::string escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c; break;
        }
    }
    return out;
}

std::string header(uint32_t id, const std::string* reply_id, std::size_t length)
{
    std::string h = "KAVRI-SG/1.0 TYPE=XML ID=";
    h += std::to_string(static_cast<int32_t>(id));
    if (reply_id) {
        h += " REPLYID=";
        h += *reply_id;
    }
    h += " LENGTH=";
    h += std::to_string(length);
    h += "\r\n";
    return h;
}

std::string reply_body(const std::string& command, const std::map<std::string, std::string>& entries)
{
    std::string body = DOCUMENT_START;
    body += "<" + command + ">\r\n";
    for (const auto& entry : entries) {
        const std::string key = escape(entry.first);
        body += "<" + key + ">" + escape(entry.second) + "</" + key + ">\r\n";
    }
    body += "</" + command + ">\r\n";
    body += DOCUMENT_END;
    return body;
}

std::string json_statistics_body(const std::string& json)
{
    static const std::string name = "get-json-session-statistics";
    std::string body;
    body.reserve(json.size() + 160);
    body += DOCUMENT_START;
    body += "<" + name + ">\r\n";
    body += json;
    body += "</" + name + ">\r\n";
    body += DOCUMENT_END;
    return body;
}

std::string state_changed_body(const std::string& connection_id, const std::string& session_id,
                               const std::string& state)
{
    std::string body = "<?xml version=\"1.0\"?>\r\n";
    body += "<kavri-sg version=\"1.0\">\r\n";
    body += "   <connection-state-changed>\r\n";
    body += "      <connection-id>" + escape(connection_id) + "</connection-id>\r\n";
    body += "      <session-id>" + escape(session_id) + "</session-id>\r\n";
    body += "      <session-state>" + escape(state) + "</session-state>\r\n";
    body += "   </connection-state-changed>\r\n";
    body += DOCUMENT_END;
    return body;
}

std::string closed_body(const std::string& connection_id, const std::string& reason)
{
    std::string body = "<?xml version=\"1.0\"?>\r\n";
    body += "<kavri-sg version=\"1.0\">\r\n";
    body += "   <connection-closed>\r\n";
    body += "      <connection-id>" + escape(connection_id) + "</connection-id>\r\n";
    body += "      <reason>" + escape(reason) + "</reason>\r\n";
    body += "   </connection-closed>\r\n";
    body += DOCUMENT_END;
    return body;
}

}  // namespace control_message
}  // namespace vexa
