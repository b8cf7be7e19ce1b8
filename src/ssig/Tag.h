// Session-tag texts as the gateway's tables key them. Immutable after
// construction, so any thread may read one; no locks.
#pragma once

#include <string>

namespace vexa {

// One session-tag text (copied in).
class Tag {
public:
    explicit Tag(const std::string& tag);

    // Characters 92..103 (the Base64 session id) of a version-1 tag, else
    // the whole text.
    std::string get_session_id() const;
    const std::string& text() const { return m_tag; }

protected:
    bool is_version_1() const;

    std::string m_tag;
};

// A tag with the version-1 test: begins "SCS1" and has at least 104
// characters.
class SessionTag : public Tag {
public:
    using Tag::Tag;

    bool is_version_1_tag() const { return is_version_1(); }
};

}  // namespace vexa
