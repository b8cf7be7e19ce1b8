// The tag module's Base64 codec against hand-made and generator vectors.
#include "golden_values.h"
#include "kavri_reuse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> from_hex(const std::string& hex)
{
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace

TEST(TagBase64Decode, Table)
{
    const struct {
        const char* in;
        int len;  // -2: strlen
        int dst_len;
        int rc;
        std::string bytes;  // expected prefix of the output
    } cases[] = {
        {"QUJD", -2, 3, 0, "ABC"},
        {"QUJD", -2, 2, -507, ""},
        {"QUJD", -2, 0, -507, ""},
        {"QQ==", -2, 1, 0, "A"},
        {"QQ==", -2, 2, 0, std::string("A\0", 2)},
        {"QUI=", -2, 2, 0, "AB"},
        {"QUI=", -2, 3, 0, std::string("AB\0", 3)},
        {"QUJDRA==", -2, 4, 0, "ABCD"},
        {"QUJDRA==", -2, 3, -507, ""},
        {"QQ=A", -2, 8, -500, ""},
        {"Q=QQ", -2, 8, -500, ""},
        {"QQ==QUJD", -2, 8, -500, ""},
        {"QU D", -2, 8, -500, ""},
        {"Q===", -2, 8, -500, ""},
        {"====", -2, 8, -500, ""},
        {"QUJD!", 5, 8, 0, "ABC"},  // trailing characters past a group are ignored
        {"QUJD", 3, 8, 0, ""},
        {"QUJD", -1, 8, 0, ""},
        {"QUJD", 0, 8, 0, ""},
    };
    for (const auto& c : cases) {
        unsigned char dst[16];
        std::memset(dst, 0xEE, sizeof dst);
        const int len = c.len == -2 ? static_cast<int>(std::strlen(c.in)) : c.len;
        EXPECT_EQ(vexa_util_convert_from_base64(c.in, len, dst, c.dst_len), c.rc)
            << c.in << " [" << c.dst_len << "]";
        if (c.rc == 0) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(dst), c.bytes.size()), c.bytes) << c.in;
        }
        if (c.rc == 0 && c.bytes.empty()) {
            EXPECT_EQ(dst[0], 0xEE) << "nothing written for " << c.in;
        }
        // Never a byte past dst_len.
        if (c.dst_len < 16) {
            EXPECT_EQ(dst[c.dst_len], 0xEE) << c.in << " [" << c.dst_len << "]";
        }
    }
}

TEST(TagBase64, GeneratorVectorsBothWays)
{
    for (const auto& v : golden::kCodecVectors) {
        const auto bytes = from_hex(v.hex);
        ASSERT_EQ(bytes.size(), 33u);
        char text[45];
        ASSERT_EQ(vexa_util_convert_to_base64(bytes.data(), text, sizeof text), 0);
        EXPECT_STREQ(text, v.base64);
        unsigned char back[33];
        ASSERT_EQ(vexa_util_convert_from_base64(v.base64, 44, back, sizeof back), 0);
        EXPECT_EQ(std::memcmp(back, bytes.data(), 33), 0) << v.base64;
    }
}

TEST(TagBase64Encode, NeedsRoomForTheTerminator)
{
    unsigned char in[33] = {};
    char out[46];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(vexa_util_convert_to_base64(in, out, 44), -507);
    EXPECT_EQ(out[0], '#') << "nothing written when it does not fit";
    EXPECT_EQ(vexa_util_convert_to_base64(in, out, 45), 0);
    EXPECT_EQ(std::strlen(out), 44u);
    EXPECT_EQ(out[45], '#');
}

TEST(TagBase64, DecodeOfEncodeIsIdentity)
{
    std::mt19937 rng(4242);
    for (int round = 0; round < 500; ++round) {
        unsigned char in[33];
        for (auto& b : in)
            b = static_cast<unsigned char>(rng());
        char text[45];
        ASSERT_EQ(vexa_util_convert_to_base64(in, text, sizeof text), 0);
        unsigned char back[33];
        ASSERT_EQ(vexa_util_convert_from_base64(text, 44, back, sizeof back), 0);
        ASSERT_EQ(std::memcmp(in, back, 33), 0);
    }
}
