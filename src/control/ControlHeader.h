// One header line of a broker's control message, split into its tokens.
//
// Threads: a plain value; the connection parses and reads it on the control
// event-loop thread only.
#pragma once

#include <cstdint>
#include <string>

namespace vexa {

struct ControlHeader {
    static constexpr const char* PROTOCOL_TOKEN = "KAVRI-SG/1.0";

    std::string id;
    std::string type;
    std::string reply_id;
    uint32_t length = 0;
    bool protocol_seen = false;
    // A plain connection whose first token ever is unknown is not a broker.
    bool bad = false;
    // "Tokens: a: b: (unknown): c", for the debug record.
    std::string walk;

    // Tokens are separated by space, '=', CR and LF. no_known_token_yet is the
    // connection's flag: cleared by the first known token and never set again.
    static ControlHeader parse(const std::string& line, bool& no_known_token_yet, bool tls);
};

}  // namespace vexa
