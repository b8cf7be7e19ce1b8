// SSIG frames as the test peers send and receive them: binary TLV frames
// (a zero word, a big-endian length, a command element and typed elements)
// and the two HTTP-like forms, POST (what a client sends) and the reply
// form (what a server sends). Builders take any length field, so peers can
// send frames a sound reader must refuse. Plain values; no shared state.
#pragma once

#include "TlsStream.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kavri_test {

struct SsigFrame {
    enum class Kind { Tlv, Post, Reply, Unknown };

    // TLV command values.
    enum Command : uint32_t {
        INVITE = 0, INVITE_OK = 1, NOT_ACCEPTABLE = 2, ACK = 3, BYE = 4, BYE_OK = 5, PING = 6, PONG = 7
    };
    // A TLV element: a four-character type and its value.
    using Element = std::pair<std::string, std::string>;

    Kind kind = Kind::Unknown;
    std::string bytes;   // the whole frame
    std::string header;  // HTTP forms: through the blank line
    std::string body;    // HTTP forms: Content-Length bytes; TLV: everything after the length field

    // The Content-Length the header gives (blank-padded or not).
    std::optional<std::size_t> content_length() const;
    // TLV: the length field, the command value and the elements after the
    // command element, in order.
    uint32_t tlv_length() const;
    uint32_t tlv_command() const;
    std::vector<Element> tlv_elements() const;

    // A TLV frame; the length field is the true one unless given.
    static std::string tlv(uint32_t command, const std::vector<Element>& elements = {},
                           std::optional<uint32_t> length_field = std::nullopt,
                           const std::string& command_type = "cmnd");
    // A PING whose length field is `length` and whose body holds exactly
    // that many bytes: the command element, then a filler element (a length
    // under 12 cuts the command element itself).
    static std::string tlv_of_length(uint32_t length);
    // The POST form the stanza writers use ("Content-Length:" then a blank
    // and the length as %4d); the header can carry a padding line of
    // header_padding bytes.
    static std::string post(const std::string& body,
                            std::optional<long> content_length = std::nullopt,
                            std::size_t header_padding = 0);
    // The reply form, dated now.
    static std::string reply(const std::string& body,
                             std::optional<long> content_length = std::nullopt);

    // Reads one frame: the first four bytes choose the form. An unknown
    // word gives Kind::Unknown with those four bytes. Nothing on close,
    // timeout, or an HTTP header of more than 8 KiB.
    static std::optional<SsigFrame> read(TlsStream& stream,
                                         TlsStream::ms timeout = TlsStream::ms(5000));
};

}  // namespace kavri_test
