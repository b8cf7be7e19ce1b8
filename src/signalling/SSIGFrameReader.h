// The read side of a signalling leg without the I/O: it says what the next
// read must fill (an exact buffer, or the header buffer up to "\r\n\r\n"),
// takes the result of each read and decides whether the frame goes on, is
// complete or is refused. Both legs drive one of these from their stream's
// completions; the fuzz target drives it from a byte buffer.
//
// Threads: owned by one leg and used on its strand only; no lock.
#pragma once

#include "SSIGHttp.h"
#include "SSIGPacket.h"
#include "SSIGTLV.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/streambuf.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vexa {

class SSIGFrameReader {
public:
    // Where the frame is: what the next (or the last) read fills.
    enum class Stage {
        TYPE,          // 4 bytes: the leading word
        TLV_LENGTH,    // 4 bytes: the TLV length field
        TLV_VALUE,     // length bytes after the length field
        HTTP_HEADER,   // the header buffer, until "\r\n\r\n"
        HTTP_PAYLOAD,  // the rest of the body
    };

    enum class Verdict {
        NEXT_READ,           // arm the read that stage() now describes
        FRAME_DONE,          // the frame is in tlv() or http(); stage() is TYPE again
        UNKNOWN_TYPE,        // the leading word is none of the known kinds
        BAD_LENGTH,          // a TLV length of 0 or above 4096
        BAD_CONTENT_LENGTH,  // 0, above 4000, or below the body bytes already held
    };

    static constexpr std::size_t HEADER_LIMIT = 4096;
    static constexpr uint32_t MAX_TLV_LENGTH = 4096;
    static constexpr std::size_t MAX_CONTENT_LENGTH = 4000;
    static constexpr const char* HEADER_DELIMITER = "\r\n\r\n";

    SSIGFrameReader();

    Stage stage() const { return m_stage; }
    // The exact buffer of the next read (every stage but HTTP_HEADER).
    boost::asio::mutable_buffer buffer();
    // The header buffer of an HTTP_HEADER read (at most HEADER_LIMIT bytes).
    boost::asio::streambuf& header() { return m_header; }

    // The read of stage() completed without error, with n bytes (for
    // HTTP_HEADER: the bytes up to and including the delimiter). A short
    // exact read is the caller's error, never passed here.
    Verdict advance(std::size_t n);
    // Back to TYPE, dropping a partial frame.
    void reset();

    // The leading word as it came from the stream, and read big-endian (as logs show it).
    uint32_t type_word() const { return m_word; }
    uint32_t type_number() const { return ssig::read_be32(m_word_bytes); }
    ssig::SSIGPacket::Type packet_type() const { return m_type; }
    // The TLV length field, once read.
    uint32_t tlv_length() const { return m_length; }
    // The announced content length, once the header is read.
    std::size_t content_length() const { return m_content_length; }

    // The last frame (complete after FRAME_DONE); null before the first and
    // after release_frame().
    ssig::SSIGTLV* tlv() { return m_tlv.get(); }
    ssig::SSIGHttp* http() { return m_http.get(); }
    // Frees the last complete frame once its owner is done with it: an idle
    // leg then holds no frame buffer (4-8 KiB each, two legs per session).
    void release_frame();

private:
    Verdict on_type();
    Verdict on_length();
    Verdict on_header(std::size_t n);

    Stage m_stage;
    uint8_t m_word_bytes[4];
    uint32_t m_word;
    ssig::SSIGPacket::Type m_type;
    uint32_t m_length;
    std::size_t m_copied;
    std::size_t m_remaining;
    std::size_t m_content_length;
    std::unique_ptr<ssig::SSIGTLV> m_tlv;
    std::unique_ptr<ssig::SSIGHttp> m_http;
    boost::asio::streambuf m_header;
};

}  // namespace vexa
