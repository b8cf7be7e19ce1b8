// A KSDP message (the TLV INVITE, INVITE_OK, ...) as an ordered list of
// four-character elements, repeats allowed, with the elements a Kavri
// client puts into its INVITE and a Kavri server into its INVITE_OK:
//   ksec      an encryption offer, the type in its fourth byte
//   1key 1spi 1slt / 2key 2spi 2slt / s12k s12s s12t   key sets 1, 2, 3
//   kcap      capability bytes (a byte 1: UDP encapsulation)
//   ctag      the session tag
//   ksrp stag resume period (BE32 seconds) and resume permission
//   cipa cprt media address (text) and UDP port (BE16)
//   kclr      clear-header flag (1 byte)
// Plain value.
#pragma once

#include "MediaKeys.h"
#include "SsigFrame.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kavri_test {

class KsdpMessage {
public:
    using Element = SsigFrame::Element;

    KsdpMessage() = default;
    explicit KsdpMessage(std::vector<Element> elements) : m_elements(std::move(elements)) {}
    // The elements of a received TLV frame.
    static KsdpMessage from(const SsigFrame& frame) { return KsdpMessage(frame.tlv_elements()); }

    // A client's INVITE: an AES-128-GCM offer (ksec type 1), key set 1, kcap
    // 01 and the ctag.
    static KsdpMessage invite(const std::string& ctag, const MediaKeys& set1);
    // A server's INVITE_OK: key set 1 and the media address and port.
    static KsdpMessage invite_ok(const MediaKeys& set1, const std::string& address, uint16_t port);

    KsdpMessage& add(const std::string& type, const std::string& value);
    // Key set 1, 2 or 3 (3: s12k, s12s, s12t).
    KsdpMessage& key_set(int set, const MediaKeys& keys);
    // A ksec offer of the given type (value 00 00 00 type).
    KsdpMessage& offer(int8_t type);
    // ksrp (and stag unless told otherwise).
    KsdpMessage& resume(uint32_t seconds, bool stag = true);
    // Removes every element of type.
    KsdpMessage& without(const std::string& type);
    // The first element of type gets value; added when there is none.
    KsdpMessage& set(const std::string& type, const std::string& value);

    std::optional<std::string> value(const std::string& type) const;
    std::size_t count(const std::string& type) const;
    const std::vector<Element>& elements() const { return m_elements; }
    bool operator==(const KsdpMessage& o) const { return m_elements == o.m_elements; }

    // The TLV frame with this command value.
    std::string frame(uint32_t command) const { return SsigFrame::tlv(command, m_elements); }

    static std::string be16(uint16_t v);
    static std::string be32(uint32_t v);
    static std::optional<uint16_t> read_be16(const std::optional<std::string>& value);
    // Readable form for failure messages: type=hex per element.
    std::string describe() const;

private:
    std::vector<Element> m_elements;
};

inline std::ostream& operator<<(std::ostream& os, const KsdpMessage& m)
{
    return os << m.describe();
}

}  // namespace kavri_test
