// Tovik overlay and parse, thumbprint hashes and rtags against values
// computed by tests/golden/make_golden.py.
#include "golden_values.h"
#include "kavri_reuse.h"
#include "log_capture.h"
#include "vexa_tags.h"
#include "vexa_xml_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using kavri_test::captured_log;
using kavri_test::logged;

namespace {

std::vector<unsigned char> from_hex(const std::string& hex)
{
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string hex(const unsigned char* p, size_t n)
{
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

// A tag in a buffer of the size the overlay is promised.
struct TagBuffer {
    explicit TagBuffer(const std::string& text)
    {
        std::memset(bytes, 0, sizeof bytes);
        std::memcpy(bytes, text.data(), std::min(text.size(), sizeof bytes - 1));
    }
    char bytes[160];
};

class TovikTest : public kavri_test::LibraryTest {};

}  // namespace

TEST_F(TovikTest, ParseOfTheGoldenCtag)
{
    unsigned char sid[8], thumb[32];
    unsigned short flags = 0xFFFF;
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(golden::kCtag, sid, thumb, &flags), 0);
    EXPECT_EQ(hex(sid, 8), golden::kSessionIdHex);
    EXPECT_EQ(hex(thumb, 32), golden::kServerThumbprintHex);
    EXPECT_EQ(flags, 0);
    EXPECT_TRUE(logged("parse_tovik_session_tag: session tag flags = 0x5A80"));

    EXPECT_EQ(vexa_util_parse_tovik_session_tag(golden::kRtag, nullptr, thumb, &flags), 0);
    EXPECT_EQ(hex(thumb, 32), golden::kDerThumbprintHex);
    EXPECT_EQ(flags, 1);
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(golden::kCtag, nullptr, nullptr, nullptr), 0);
}

TEST_F(TovikTest, ParseEdgeCases)
{
    unsigned short flags = 0;
    // Version 2: no magic test; the flags keep every bit outside the magic.
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(golden::kTagV2Ffff, nullptr, nullptr, &flags), 0);
    EXPECT_EQ(flags, 0xA57F);

    captured_log().clear();
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(golden::kTagBadMagic, nullptr, nullptr, &flags),
              -500);
    EXPECT_TRUE(logged("parse_tovik_session_tag: session tag flags = 0x5B80"));
    EXPECT_TRUE(logged("parse_tovik_session_tag: Failed to detect magic number! Server is not "
                       "Tovik compatible!"));
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(golden::kTagBit6, nullptr, nullptr, &flags), -500);
    // Without flags output the magic is not looked at.
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(golden::kTagBadMagic, nullptr, nullptr, nullptr),
              0);

    captured_log().clear();
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(golden::kTagFlags3d, nullptr, nullptr, &flags), 0);
    EXPECT_EQ(flags, 0x3D);
    EXPECT_TRUE(logged("parse_tovik_session_tag: Detected unexpected session tag flags! This "
                       "might not be an error!"));

    // A non-zero ninth byte of T: the id is written, then -500.
    unsigned char sid[8] = {};
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(golden::kTagNinthByte, sid, nullptr, nullptr),
              -500);
    EXPECT_EQ(hex(sid, 8), golden::kSessionIdHex);

    const std::string ctag = golden::kCtag;
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(ctag.substr(0, 103).c_str(), nullptr, nullptr,
                                                &flags),
              -501);
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(("XCS1" + ctag.substr(4)).c_str(), nullptr,
                                                nullptr, &flags),
              -501);
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(nullptr, nullptr, nullptr, &flags), -501);
    std::string bad = ctag;
    bad[10] = '*';
    EXPECT_EQ(vexa_util_parse_tovik_session_tag(bad.c_str(), nullptr, nullptr, &flags), -500);
}

TEST_F(TovikTest, ParseVersion1Tag)
{
    unsigned char f1[32], f2[32];
    char t[16];
    const std::string ctag = golden::kCtag;
    EXPECT_EQ(vexa_util_parse_version_1_tag((ctag + "trailing").c_str(), f1, f2, t), 0);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(f1[i], i);
        EXPECT_EQ(f2[i], 16 + i);
    }
    EXPECT_EQ(std::string(t, 12), golden::kSessionIdB64);
    for (int i = 12; i < 16; ++i)
        EXPECT_EQ(t[i], 0);

    // Not a tag: outputs zeroed, and t only within its 16 bytes.
    char guarded[32];
    std::memset(guarded, 'x', sizeof guarded);
    std::memset(f1, 1, sizeof f1);
    EXPECT_EQ(vexa_util_parse_version_1_tag("SCS1short", f1, nullptr, guarded), -501);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(guarded[i], 0);
    EXPECT_EQ(guarded[16], 'x');
    EXPECT_TRUE(xml_util_data_is_0(f1, 32));
    EXPECT_EQ(vexa_util_parse_version_1_tag(ctag.c_str(), nullptr, nullptr, nullptr), 0);
}

TEST_F(TovikTest, OverlayThenParseRoundTrips)
{
    std::mt19937 rng(7);
    unsigned char f1_before[32], f2_before[32];
    char t_before[16];
    ASSERT_EQ(vexa_util_parse_version_1_tag(golden::kCtag, f1_before, f2_before, t_before), 0);
    for (unsigned short flags = 0; flags < 64; ++flags) {
        unsigned char thumb[32];
        for (auto& b : thumb)
            b = static_cast<unsigned char>(rng());
        TagBuffer tag(golden::kCtag);
        ASSERT_EQ(vexa_util_overlay_tovik_session_tag(tag.bytes, thumb, flags), 0);
        unsigned char sid[8], back[32];
        unsigned short got = 0xFFFF;
        ASSERT_EQ(vexa_util_parse_tovik_session_tag(tag.bytes, sid, back, &got), 0) << flags;
        EXPECT_EQ(got, flags);
        EXPECT_EQ(std::memcmp(back, thumb, 32), 0);
        unsigned char f1[32], f2[32];
        char t[16];
        ASSERT_EQ(vexa_util_parse_version_1_tag(tag.bytes, f1, f2, t), 0);
        EXPECT_EQ(std::memcmp(f1, f1_before, 16), 0);
        EXPECT_EQ(std::memcmp(f2, f2_before, 16), 0);
        EXPECT_EQ(std::memcmp(t, t_before, 16), 0);
    }
}

TEST_F(TovikTest, OverlayEdgeCases)
{
    unsigned char thumb[32] = {1};
    // Flags touching the magic: refused, tag byte-identical.
    TagBuffer tag(golden::kCtag);
    const TagBuffer before = tag;
    EXPECT_EQ(vexa_util_overlay_tovik_session_tag(tag.bytes, thumb, 0x40), -501);
    EXPECT_EQ(std::memcmp(tag.bytes, before.bytes, sizeof tag.bytes), 0);
    EXPECT_TRUE(logged("vexa_util_overlay_tovik_session_tag: flags_value includes portions of "
                       "magic number: 0x0040"));

    // A longer tag is cut to 104.
    TagBuffer longer(std::string(golden::kCtag) + "012345");
    EXPECT_EQ(vexa_util_overlay_tovik_session_tag(longer.bytes, thumb, 1), 0);
    EXPECT_EQ(std::strlen(longer.bytes), 104u);

    // Not a tag: left alone with 0.
    TagBuffer short_tag(std::string(golden::kCtag).substr(0, 103));
    const TagBuffer short_before = short_tag;
    EXPECT_EQ(vexa_util_overlay_tovik_session_tag(short_tag.bytes, thumb, 1), 0);
    EXPECT_EQ(std::memcmp(short_tag.bytes, short_before.bytes, sizeof short_tag.bytes), 0);

    // A tag whose F1 does not decode: its code, tag unchanged.
    std::string broken = golden::kCtag;
    broken[20] = '!';
    TagBuffer broken_tag(broken);
    EXPECT_EQ(vexa_util_overlay_tovik_session_tag(broken_tag.bytes, thumb, 1), -500);
    EXPECT_EQ(std::string(broken_tag.bytes), broken);
    // Nor does its T.
    broken = golden::kCtag;
    broken[100] = '=';
    TagBuffer broken_t(broken);
    EXPECT_EQ(vexa_util_overlay_tovik_session_tag(broken_t.bytes, thumb, 1), -500);
    EXPECT_EQ(std::string(broken_t.bytes), broken);

    EXPECT_EQ(vexa_util_overlay_tovik_session_tag(nullptr, thumb, 1), -501);
    EXPECT_EQ(vexa_util_overlay_tovik_session_tag(tag.bytes, nullptr, 1), -501);
}

TEST_F(TovikTest, ThumbprintHashMatchesGolden)
{
    const auto sid = from_hex(golden::kSessionIdHex);
    const auto der = from_hex(golden::kDerHex);
    unsigned char out[32];
    ASSERT_EQ(vexa_calculate_thumbprint_hash(sid.data(), der.data(), 5, out), 0);
    EXPECT_EQ(hex(out, 32), golden::kDerThumbprintHex);
    EXPECT_EQ(vexa_calculate_thumbprint_hash(sid.data(), der.data(), 0, out), -502);
    EXPECT_EQ(vexa_calculate_thumbprint_hash(sid.data(), der.data(), -1, out), -502);
    EXPECT_EQ(vexa_calculate_thumbprint_hash(nullptr, der.data(), 5, out), -502);
    EXPECT_EQ(vexa_calculate_thumbprint_hash(sid.data(), nullptr, 5, out), -502);
    EXPECT_EQ(vexa_calculate_thumbprint_hash(sid.data(), der.data(), 5, nullptr), -502);
}

TEST_F(TovikTest, RtagMatchesGolden)
{
    const auto sid = from_hex(golden::kSessionIdHex);
    const auto der = from_hex(golden::kDerHex);
    char out[129];
    EXPECT_EQ(vexa_generate_rtag(golden::kCtag, sid.data(), der.data(), 5, out), 1);
    EXPECT_STREQ(out, golden::kRtag);

    // Not a version-1 tag: the unchanged copy, still a success.
    const std::string t103 = std::string(golden::kCtag).substr(0, 103);
    EXPECT_EQ(vexa_generate_rtag(t103.c_str(), sid.data(), der.data(), 5, out), 1);
    EXPECT_EQ(std::string(out), t103);
    // A text longer than 128 characters is cut to 128 before the overlay.
    const std::string long_text(200, 'x');
    EXPECT_EQ(vexa_generate_rtag(long_text.c_str(), sid.data(), der.data(), 5, out), 1);
    EXPECT_EQ(std::string(out), long_text.substr(0, 128));

    captured_log().clear();
    EXPECT_EQ(vexa_generate_rtag(golden::kCtag, sid.data(), der.data(), 0, out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(logged("Failed to generate thumbprint hash!"));
    EXPECT_EQ(captured_log().back().first, 1);

    std::string broken = golden::kCtag;
    broken[20] = '!';
    captured_log().clear();
    EXPECT_EQ(vexa_generate_rtag(broken.c_str(), sid.data(), der.data(), 5, out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(logged("server mailbox: Failed to overlay the thumbprint into the session tag!"));
}
