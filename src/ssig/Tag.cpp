#include "Tag.h"

namespace vexa {

namespace {
constexpr size_t kVersion1Length = 104;
constexpr size_t kSessionIdOffset = 92;
constexpr size_t kSessionIdChars = 12;
}  // namespace

Tag::Tag(const std::string& tag) : m_tag(tag) {}

bool Tag::is_version_1() const
{
    return m_tag.size() >= kVersion1Length && m_tag.compare(0, 4, "SCS1") == 0;
}

std::string Tag::get_session_id() const
{
    if (is_version_1())
        return m_tag.substr(kSessionIdOffset, kSessionIdChars);
    return m_tag;
}

}  // namespace vexa
