#include "KsdpMessage.h"

#include <algorithm>
#include <cstdio>

namespace kavri_test {

KsdpMessage KsdpMessage::invite(const std::string& ctag, const MediaKeys& set1)
{
    KsdpMessage m;
    m.offer(1).key_set(1, set1).add("kcap", std::string(1, '\1')).add("ctag", ctag);
    return m;
}

KsdpMessage KsdpMessage::invite_ok(const MediaKeys& set1, const std::string& address, uint16_t port)
{
    KsdpMessage m;
    m.key_set(1, set1).add("cipa", address).add("cprt", be16(port));
    return m;
}

KsdpMessage& KsdpMessage::add(const std::string& type, const std::string& value)
{
    m_elements.emplace_back(type, value);
    return *this;
}

KsdpMessage& KsdpMessage::key_set(int set, const MediaKeys& keys)
{
    const char* names[3][3] = {{"1key", "1spi", "1slt"}, {"2key", "2spi", "2slt"}, {"s12k", "s12s", "s12t"}};
    const auto& n = names[std::clamp(set, 1, 3) - 1];
    return add(n[0], keys.key_value()).add(n[1], keys.spi_value()).add(n[2], keys.salt_value());
}

KsdpMessage& KsdpMessage::offer(int8_t type)
{
    return add("ksec", std::string{'\0', '\0', '\0', static_cast<char>(type)});
}

KsdpMessage& KsdpMessage::resume(uint32_t seconds, bool stag)
{
    add("ksrp", be32(seconds));
    return stag ? add("stag", std::string(1, '\1')) : *this;
}

KsdpMessage& KsdpMessage::without(const std::string& type)
{
    m_elements.erase(std::remove_if(m_elements.begin(), m_elements.end(),
                                    [&](const Element& e) { return e.first == type; }),
                     m_elements.end());
    return *this;
}

KsdpMessage& KsdpMessage::set(const std::string& type, const std::string& value)
{
    for (auto& e : m_elements)
        if (e.first == type) {
            e.second = value;
            return *this;
        }
    return add(type, value);
}

std::optional<std::string> KsdpMessage::value(const std::string& type) const
{
    for (const auto& e : m_elements)
        if (e.first == type)
            return e.second;
    return std::nullopt;
}

std::size_t KsdpMessage::count(const std::string& type) const
{
    return static_cast<std::size_t>(std::count_if(m_elements.begin(), m_elements.end(),
                                                  [&](const Element& e) { return e.first == type; }));
}

std::string KsdpMessage::be16(uint16_t v)
{
    return {static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string KsdpMessage::be32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

std::optional<uint16_t> KsdpMessage::read_be16(const std::optional<std::string>& value)
{
    if (!value || value->size() != 2)
        return std::nullopt;
    return static_cast<uint16_t>(static_cast<unsigned char>((*value)[0]) << 8 |
                                 static_cast<unsigned char>((*value)[1]));
}

std::string KsdpMessage::describe() const
{
    std::string out;
    for (const auto& e : m_elements) {
        out += e.first + "=";
        for (unsigned char c : e.second) {
            char h[3];
            std::snprintf(h, sizeof h, "%02x", c);
            out += h;
        }
        out += " ";
    }
    return out;
}

}  // namespace kavri_test
