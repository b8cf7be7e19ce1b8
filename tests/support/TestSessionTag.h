// Session tags as a broker makes them for a test server, computed here with
// OpenSSL alone (SHA-256, Base64), so the gateway's tag code is checked
// against an independent build: "SCS1" + B64(F1) + B64(F2) + B64(id || 00),
// F1 and F2 of 33 bytes each, with the tovik overlay F1[16..31] = th[16..31],
// F1[32] = 0x80 | flags, F2[16..31] = th[0..15], F2[32] = 0x5A, where
// th = SHA-256(DER(server certificate) || SHA-256(id)).
// Plain values; no shared state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavri_test {

class TestSessionTag {
public:
    using bytes = std::vector<unsigned char>;
    using hash = std::array<unsigned char, 32>;
    using id8 = std::array<unsigned char, 8>;

    // A tovik ctag naming the server whose certificate is server_der; flags
    // are bits 0..5 (bit 1: the gateway sends sg-sni). A random id unless given.
    static TestSessionTag tovik(const bytes& server_der, uint8_t flags = 0,
                                std::optional<id8> session_id = std::nullopt);
    // An "SCS1" tag without the tovik magic.
    static TestSessionTag plain(std::optional<id8> session_id = std::nullopt);

    const std::string& text() const { return m_text; }
    const id8& session_id() const { return m_id; }
    // Characters 92..103: the id as the gateway's tables key it.
    std::string session_id_text() const { return m_text.substr(92, 12); }
    // The tag with the thumbprint of der and flags 1 written into it, as
    // the gateway makes its rtag from its own certificate.
    std::string rtag_for(const bytes& gateway_der) const;

    // SHA-256(der || SHA-256(id)).
    static hash thumbprint(const id8& session_id, const bytes& der);
    // F2[16..31] || F1[16..31] of a version-1 tag text; nothing when it
    // does not decode.
    static std::optional<hash> tovik_thumbprint(const std::string& tag);
    // F2[32] << 8 | F1[32].
    static std::optional<uint16_t> flags_word(const std::string& tag);
    static std::string hex(const unsigned char* p, std::size_t n);

private:
    TestSessionTag(const id8& id, const bytes& f1, const bytes& f2);
    static void overlay(bytes& f1, bytes& f2, const hash& th, uint8_t low_flags);

    std::string m_text;
    id8 m_id{};
    bytes m_f1, m_f2;
};

}  // namespace kavri_test
