// An HTTP-like SSIG message ("POST" request or "HTTP" reply) holding one
// negotiation stanza: the leading word and a NUL-terminated text, contiguous,
// at most 8100 characters in all.
//
// Threads: owned by one signalling leg; no lock.
#pragma once

#include "SSIGPacket.h"

#include <string_view>

namespace vexa {
namespace ssig {

class SSIGHttp : public SSIGPacket {
public:
    static constexpr std::size_t TEXT_SIZE = 8097;  // text after the word, with its NUL
    static constexpr std::size_t MAX_PAYLOAD = 8096;

    // type must be Type_HTTP_POST or Type_HTTP_REPLY.
    explicit SSIGHttp(Type type);

    // Header and body as the headers announce them, never beyond the text.
    std::size_t packet_size() const override;
    std::size_t get_max_payload_len() const override { return MAX_PAYLOAD; }

    // The word from the first four characters of text, the rest (at most
    // MAX_PAYLOAD characters) into the text. A shorter text leaves the rest
    // of the word zero and the text empty.
    void build_ssig_packet(const char* text);

    // Offset just past the first "\r\n\r\n" when "Content-Length: " comes
    // before it; else 0.
    std::size_t header_size() const;
    // The number after "Content-Length: " (blanks skipped) when a
    // "\r\n\r\n" follows it; else 0.
    std::size_t content_length() const;

    char* content() { return reinterpret_cast<char*>(m_frame) + header_size(); }
    const char* content() const { return reinterpret_cast<const char*>(m_frame) + header_size(); }

    // The text after the leading word (TEXT_SIZE bytes, the last one kept 0).
    char* text() { return reinterpret_cast<char*>(m_frame + WORD_SIZE); }
    const char* text() const { return reinterpret_cast<const char*>(m_frame + WORD_SIZE); }

private:
    // The message from the word up to the text's NUL.
    std::string_view message() const;

    uint8_t m_frame[WORD_SIZE + TEXT_SIZE];
};

}  // namespace ssig
}  // namespace vexa
