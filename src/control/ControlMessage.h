// The gateway's control messages: the header line, the reply documents and
// the two notification documents. Built as strings of any length; every value
// written into element text has '&', '<' and '>' escaped.
//
// Threads: pure functions, called on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace vexa {
namespace control_message {

// '&', '<', '>' as their predefined entities.
std::string escape(const std::string& text);

// "KAVRI-SG/1.0 TYPE=XML ID=<id> [REPLYID=<reply_id> ]LENGTH=<length>\r\n";
// the id prints as a signed 32-bit number. A null reply_id marks a
// notification.
std::string header(uint32_t id, const std::string* reply_id, std::size_t length);

// The reply of command: one "<K>V</K>" line per entry in byte order of K.
std::string reply_body(const std::string& command, const std::map<std::string, std::string>& entries);

// The get-json-session-statistics reply: the JSON text verbatim as the
// command element's whole content.
std::string json_statistics_body(const std::string& json);

std::string state_changed_body(const std::string& connection_id, const std::string& session_id,
                               const std::string& state);
std::string closed_body(const std::string& connection_id, const std::string& reason);

}  // namespace control_message
}  // namespace vexa
