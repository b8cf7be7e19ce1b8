#include "TestSessionTag.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstring>

namespace kavri_test {

namespace {

constexpr std::size_t FIELD = 33;

std::string b64(const unsigned char* p, std::size_t n)
{
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    const int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), p, static_cast<int>(n));
    out.resize(static_cast<std::size_t>(len));
    return out;
}

std::optional<TestSessionTag::bytes> unb64(const std::string& text, std::size_t expect)
{
    TestSessionTag::bytes out(3 * text.size() / 4 + 3);
    const int len = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                    static_cast<int>(text.size()));
    if (len < static_cast<int>(expect))
        return std::nullopt;
    out.resize(expect);
    return out;
}

TestSessionTag::id8 random_id()
{
    TestSessionTag::id8 id{};
    while (id == TestSessionTag::id8{})
        RAND_bytes(id.data(), static_cast<int>(id.size()));
    return id;
}

TestSessionTag::bytes random_field()
{
    TestSessionTag::bytes f(FIELD);
    RAND_bytes(f.data(), static_cast<int>(f.size()));
    return f;
}

}  // namespace

TestSessionTag::TestSessionTag(const id8& id, const bytes& f1, const bytes& f2)
    : m_id(id), m_f1(f1), m_f2(f2)
{
    unsigned char t[9] = {};
    std::memcpy(t, id.data(), 8);
    m_text = "SCS1" + b64(f1.data(), FIELD) + b64(f2.data(), FIELD) + b64(t, 9);
}

void TestSessionTag::overlay(bytes& f1, bytes& f2, const hash& th, uint8_t low_flags)
{
    std::memcpy(&f1[16], &th[16], 16);
    f1[32] = static_cast<unsigned char>(0x80 | (low_flags & 0x3F));
    std::memcpy(&f2[16], &th[0], 16);
    f2[32] = 0x5A;
}

TestSessionTag TestSessionTag::tovik(const bytes& server_der, uint8_t flags, std::optional<id8> session_id)
{
    const id8 id = session_id ? *session_id : random_id();
    bytes f1 = random_field(), f2 = random_field();
    overlay(f1, f2, thumbprint(id, server_der), flags);
    return TestSessionTag(id, f1, f2);
}

TestSessionTag TestSessionTag::plain(std::optional<id8> session_id)
{
    bytes f1 = random_field(), f2 = random_field();
    f2[32] = 0x11;  // not the magic's high byte
    return TestSessionTag(session_id ? *session_id : random_id(), f1, f2);
}

std::string TestSessionTag::rtag_for(const bytes& gateway_der) const
{
    bytes f1 = m_f1, f2 = m_f2;
    overlay(f1, f2, thumbprint(m_id, gateway_der), 1);
    return TestSessionTag(m_id, f1, f2).m_text;
}

TestSessionTag::hash TestSessionTag::thumbprint(const id8& session_id, const bytes& der)
{
    unsigned char inner[32];
    SHA256(session_id.data(), session_id.size(), inner);
    bytes data(der);
    data.insert(data.end(), inner, inner + 32);
    hash out{};
    SHA256(data.data(), data.size(), out.data());
    return out;
}

std::optional<TestSessionTag::hash> TestSessionTag::tovik_thumbprint(const std::string& tag)
{
    if (tag.size() < 104)
        return std::nullopt;
    const auto f1 = unb64(tag.substr(4, 44), FIELD);
    const auto f2 = unb64(tag.substr(48, 44), FIELD);
    if (!f1 || !f2)
        return std::nullopt;
    hash th{};
    std::memcpy(&th[0], &(*f2)[16], 16);
    std::memcpy(&th[16], &(*f1)[16], 16);
    return th;
}

std::optional<uint16_t> TestSessionTag::flags_word(const std::string& tag)
{
    if (tag.size() < 104)
        return std::nullopt;
    const auto f1 = unb64(tag.substr(4, 44), FIELD);
    const auto f2 = unb64(tag.substr(48, 44), FIELD);
    if (!f1 || !f2)
        return std::nullopt;
    return static_cast<uint16_t>(((*f2)[32] << 8) | (*f1)[32]);
}

std::string TestSessionTag::hex(const unsigned char* p, std::size_t n)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

}  // namespace kavri_test
