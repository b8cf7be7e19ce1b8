// A binary TLV SSIG message (INVITE, INVITE_OK, ...). Layout, every integer
// big-endian 32-bit: leading word 0, length (size - 8), command element type,
// command element length 4, command value, then elements of type, length,
// value and zero padding to a multiple of 4. Encoded messages stay within
// 4096 bytes.
//
// Threads: owned by one signalling leg; no lock.
#pragma once

#include "SSIGMap.h"
#include "SSIGPacket.h"

namespace vexa {
namespace ssig {

class SSIGTLV : public SSIGPacket {
public:
    static constexpr std::size_t BUFFER_SIZE = 4117;  // after the word
    static constexpr std::size_t MAX_PAYLOAD = 4116;  // 20-byte head and 4096 bytes
    static constexpr std::size_t HEAD_SIZE = 20;
    static constexpr std::size_t BUDGET = 4096;       // largest encoded message
    static constexpr std::size_t LENGTH_OFFSET = 4;
    static constexpr std::size_t COMMAND_TYPE_OFFSET = 8;
    static constexpr std::size_t COMMAND_LENGTH_OFFSET = 12;
    static constexpr std::size_t COMMAND_VALUE_OFFSET = 16;

    SSIGTLV();
    explicit SSIGTLV(Type type);

    // The length field plus 8, never beyond the frame.
    std::size_t packet_size() const override;
    std::size_t get_max_payload_len() const override { return MAX_PAYLOAD; }

    // Encodes map into the frame; returns the message size.
    std::size_t build_ssig_packet(const SSIGMap& map);
    // Decodes the frame (elements of length 1 to 4095 that end within the
    // length field's bound and the frame).
    SSIGMap tokenize() const;

    uint32_t get_length() const { return read_be32(data() + LENGTH_OFFSET); }
    uint32_t get_command_value() const { return read_be32(data() + COMMAND_VALUE_OFFSET); }

private:
    static constexpr std::size_t FRAME_SIZE = WORD_SIZE + BUFFER_SIZE;

    uint8_t m_frame[FRAME_SIZE];
};

}  // namespace ssig
}  // namespace vexa
