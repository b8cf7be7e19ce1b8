// One SSIG message as it travels on a signalling leg's TLS stream: the
// leading word (its first four bytes, which tell the kind) and a payload
// owned by the derived class in the same contiguous frame.
//
// Threads: a packet belongs to one leg and is used by one completion at a
// time; it has no lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa {
namespace ssig {

// Big-endian 32-bit fields, byte by byte (frames need not be aligned).
inline uint32_t read_be32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void write_be32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

class SSIGPacket {
public:
    enum Type { Type_UNKNOWN = 0, Type_TLV = 1, Type_HTTP_POST = 2, Type_HTTP_REPLY = 3 };

    static constexpr std::size_t WORD_SIZE = 4;

    virtual ~SSIGPacket() = default;
    SSIGPacket(const SSIGPacket&) = delete;
    SSIGPacket& operator=(const SSIGPacket&) = delete;

    // Bytes of the whole message, from the leading word on.
    virtual std::size_t packet_size() const = 0;
    virtual std::size_t get_max_payload_len() const = 0;

    // The kind of a word holding the first four bytes exactly as they came
    // from the stream: "HTTP", "POST", four zero bytes, or anything else.
    static Type parse_packet_type(unsigned word);
    // The same rule on four bytes in stream order.
    static Type parse_packet_type(const uint8_t* bytes);

    Type get_packet_type() const;
    // "POST" for Type_HTTP_POST, "HTTP" for Type_HTTP_REPLY, else zeros.
    void set_packet_type(Type type);

    // The frame, leading word first.
    uint8_t* data() { return m_frame; }
    const uint8_t* data() const { return m_frame; }

protected:
    // frame: the derived class's buffer, of at least WORD_SIZE bytes.
    explicit SSIGPacket(uint8_t* frame) : m_frame(frame) {}

private:
    uint8_t* m_frame;
};

}  // namespace ssig
}  // namespace vexa
