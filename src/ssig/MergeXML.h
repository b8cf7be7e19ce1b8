// Splicing the gateway's changes into a relayed HELLO or VERSION: the peer's
// stanza (target) keeps everything the library does not know, and takes
// the signed fields and the gateway's MITM hop from the stanza the gateway
// wrote itself (source). Each call parses private copies into documents of
// its own, so calls on several threads need no lock.
#pragma once

#include <string>

namespace merge_xml {

// Largest merged message (header and stanza) that a caller's 4096-byte
// buffer holds with its terminator.
constexpr size_t kMaxMergedLength = 4095;

// Most MITM hops a HELLO may carry.
constexpr size_t kMaxHops = 10;

// target: a bare stanza; source: a stanza, optionally behind an HTTP-like
// header. 1 with out set, or 0 with out unchanged. add_gateway_hop: the
// source's last MITM hop is the gateway's own and goes into the result;
// without it the target keeps exactly its own hops. A result with more
// than kMaxHops hops is refused.
int merge_hello(const std::string& target, const std::string& source, std::string& out,
                bool add_gateway_hop = true);
int merge_version(const std::string& target, const std::string& source, std::string& out);

// The stanza part of a message. With a header, prefix becomes the header
// up to its "Content-Length:" line and suffix the header lines after it
// (without the final CRLF); a header without "Content-Length:" or a text of
// blanks gives an empty stanza.
std::string find_starting_point(const char* text, std::string& prefix, std::string& suffix);

}  // namespace merge_xml
