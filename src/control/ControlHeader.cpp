#include "ControlHeader.h"

#include <vector>

namespace vexa {

namespace {

std::vector<std::string> split_tokens(const std::string& line)
{
    std::vector<std::string> tokens;
    std::string current;
    for (char c : line) {
        if (c == ' ' || c == '=' || c == '\r' || c == '\n') {
            if (!current.empty())
                tokens.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty())
        tokens.push_back(std::move(current));
    return tokens;
}

// The value of the leading decimal digits; none give 0. Wraps like the
// 32-bit field it fills.
uint32_t leading_digits(const std::string& text)
{
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10u + static_cast<uint32_t>(c - '0');
    }
    return value;
}

}  // namespace

ControlHeader ControlHeader::parse(const std::string& line, bool& no_known_token_yet, bool tls)
{
    ControlHeader h;
    h.walk = "Tokens";
    const std::vector<std::string> tokens = split_tokens(line);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& t = tokens[i];
        if (t == PROTOCOL_TOKEN) {
            h.protocol_seen = true;
            no_known_token_yet = false;
            h.walk += ": " + t;
        } else if (t == "TYPE" || t == "ID" || t == "REPLYID" || t == "LENGTH") {
            no_known_token_yet = false;
            if (i + 1 >= tokens.size())
                break;
            const std::string& value = tokens[++i];
            if (t == "TYPE")
                h.type = value;
            else if (t == "ID")
                h.id = value;
            else if (t == "REPLYID")
                h.reply_id = value;
            else
                h.length = leading_digits(value);
            h.walk += ": " + value;
        } else {
            if (no_known_token_yet && !tls)
                h.bad = true;
            h.walk += ": (unknown): " + t;
        }
    }
    return h;
}

}  // namespace vexa
