// vexa::Tag and vexa::SessionTag: the session id key and the version-1 test.
#include "Tag.h"

#include "golden_values.h"

#include <gtest/gtest.h>

#include <string>

TEST(Tag, SessionIdAndVersionOneTest)
{
    const std::string ctag = golden::kCtag;
    const std::string v2 = golden::kTagV2Ffff;
    const struct {
        const char* what;
        std::string text;
        std::string id;
        bool version_1;
    } cases[] = {
        {"version-1 tag", ctag, golden::kSessionIdB64, true},
        {"longer tag: characters 92..103", ctag + "012345", golden::kSessionIdB64, true},
        {"version 2: the whole text", v2, v2, false},
        {"103 characters", ctag.substr(0, 103), ctag.substr(0, 103), false},
        {"not a tag", "some-broker-value", "some-broker-value", false},
        {"empty", "", "", false},
    };
    for (const auto& c : cases) {
        const vexa::SessionTag tag(c.text);
        EXPECT_EQ(tag.get_session_id(), c.id) << c.what;
        EXPECT_EQ(tag.is_version_1_tag(), c.version_1) << c.what;
        EXPECT_EQ(vexa::Tag(c.text).get_session_id(), c.id) << c.what;
    }
}
