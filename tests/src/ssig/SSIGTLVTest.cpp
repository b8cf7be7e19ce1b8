#include "SSIG.h"
#include "SSIGTLV.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using vexa::ssig::SSIGMap;
using vexa::ssig::SSIGPacket;
using vexa::ssig::SSIGTLV;
using bytes = std::vector<uint8_t>;

constexpr uint32_t k1spi = SSIGMap::type_of("1spi");
constexpr uint32_t kcipa = SSIGMap::type_of("cipa");
constexpr uint32_t kcprt = SSIGMap::type_of("cprt");

void put32(bytes& b, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(uint8_t(v >> s));
}

// A frame written by hand: head (length field from the caller), then raw
// element bytes.
bytes frame(uint32_t length_field, uint32_t command, const bytes& elements)
{
    bytes b;
    put32(b, 0);
    put32(b, length_field);
    put32(b, 0x636d6e64);  // command element type, passed through
    put32(b, 4);
    put32(b, command);
    b.insert(b.end(), elements.begin(), elements.end());
    return b;
}

bytes element(uint32_t type, uint32_t length, const bytes& value, std::size_t pad)
{
    bytes b;
    put32(b, type);
    put32(b, length);
    b.insert(b.end(), value.begin(), value.end());
    b.insert(b.end(), pad, 0);
    return b;
}

void load(SSIGTLV& tlv, const bytes& raw)
{
    ASSERT_LE(raw.size(), SSIGTLV::WORD_SIZE + SSIGTLV::BUFFER_SIZE);
    std::memcpy(tlv.data(), raw.data(), raw.size());
}

bytes encoded(const SSIGMap& map)
{
    SSIGTLV tlv;
    const std::size_t n = tlv.build_ssig_packet(map);
    EXPECT_EQ(n, tlv.packet_size());
    return bytes(tlv.data(), tlv.data() + n);
}

TEST(SSIGTLV, EmptyMapEncodesToTheTwentyByteHead)
{
    SSIGMap map;
    map.command_type = 0x636d6e64;
    map.command_value = 6;
    EXPECT_EQ(encoded(map), frame(12, 6, {}));
}

TEST(SSIGTLV, RepeatedTypesAndPaddingRoundTripByteForByte)
{
    const bytes raw =
        frame(12 + 12 + 12 + 16 + 12 + 12, 0,
              [] {
                  bytes e;
                  for (const auto& part :
                       {element(k1spi, 4, {1, 2, 3, 4}, 0), element(kcipa, 4, {9, 9, 9, 9}, 0),
                        element(kcprt, 5, {1, 2, 3, 4, 5}, 3), element(k1spi, 1, {7}, 3),
                        element(k1spi, 2, {5, 6}, 2)})
                      e.insert(e.end(), part.begin(), part.end());
                  return e;
              }());
    SSIGTLV tlv;
    load(tlv, raw);
    EXPECT_EQ(tlv.packet_size(), raw.size());

    const SSIGMap map = tlv.tokenize();
    const std::vector<uint64_t> order = {k1spi, kcipa, kcprt, SSIGMap::repeat_key(k1spi, 1),
                                         SSIGMap::repeat_key(k1spi, 2)};
    EXPECT_EQ(map.order, order);
    EXPECT_EQ(*map.find(k1spi), (bytes{1, 2, 3, 4}));
    EXPECT_EQ(*map.find(kcprt), (bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(*map.find(SSIGMap::repeat_key(k1spi, 1)), bytes{7});
    EXPECT_EQ(*map.find(SSIGMap::repeat_key(k1spi, 2)), (bytes{5, 6}));
    EXPECT_EQ(map.command_type, 0x636d6e64u);
    EXPECT_EQ(map.leading_word, 0u);

    // Re-encoding writes each repeat under its plain type, in arrival order,
    // with the padding of the original.
    EXPECT_EQ(encoded(map), raw);
}

struct DecodeCase {
    const char* name;
    bytes raw;
    std::vector<std::pair<uint64_t, bytes>> kept;  // in order
};

std::vector<DecodeCase> decode_cases()
{
    const bytes four = {1, 2, 3, 4};
    auto cat = [](std::initializer_list<bytes> parts) {
        bytes b;
        for (const auto& p : parts)
            b.insert(b.end(), p.begin(), p.end());
        return b;
    };
    std::vector<DecodeCase> cases;
    cases.push_back({"zero length is skipped and the walk goes on",
                     frame(12 + 8 + 12, 0,
                           cat({element(kcipa, 0, {}, 0), element(k1spi, 4, four, 0)})),
                     {{k1spi, four}}});
    // Length 4096 cannot end within a frame whose length field is at most
    // 4096: it is not kept and ends the walk (nothing can follow it).
    cases.push_back({"length 4096 ends the walk",
                     frame(4096, 0, cat({element(kcipa, 4096, bytes(4068, 0xAA), 0)})),
                     {}});
    cases.push_back({"value past the length field is dropped and ends the walk",
                     frame(12 + 12 + 12, 0,
                           cat({element(k1spi, 4, four, 0), element(kcipa, 8, bytes(8, 1), 0)})),
                     {{k1spi, four}}});
    cases.push_back({"elements beyond the length field are not read",
                     frame(12 + 12, 0,
                           cat({element(k1spi, 4, four, 0), element(kcipa, 4, four, 0)})),
                     {{k1spi, four}}});
    cases.push_back({"a head without four value bytes is not read",
                     frame(12 + 8 + 3, 0, cat({element(k1spi, 3, {1, 2, 3}, 1)})),
                     {}});
    cases.push_back({"length field below the head",
                     frame(0, 0, cat({element(k1spi, 4, four, 0)})),
                     {}});
    // A length field near 2^32 must not wrap the bound nor let the walk
    // leave the frame: the last element would end eight bytes past it.
    cases.push_back({"huge length field is bounded by the frame",
                     frame(0xFFFFFFFF, 0,
                           cat({element(k1spi, 4, four, 0), element(kcipa, 4089, bytes(4081, 7), 0)})),
                     {{k1spi, four}}});
    // In 32-bit arithmetic this length would wrap the walk backwards.
    cases.push_back({"huge element length ends the walk",
                     frame(0xFFFFFFFF, 0,
                           cat({element(k1spi, 0xFFFFFFFC, four, 0), element(kcipa, 4, four, 0)})),
                     {}});
    return cases;
}

TEST(SSIGTLV, DecodeKeepsOnlyElementsWithinTheBounds)
{
    for (const auto& c : decode_cases()) {
        SCOPED_TRACE(c.name);
        SSIGTLV tlv;
        load(tlv, c.raw);
        const SSIGMap map = tlv.tokenize();
        ASSERT_EQ(map.order.size(), c.kept.size());
        for (std::size_t i = 0; i < c.kept.size(); ++i) {
            EXPECT_EQ(map.order[i], c.kept[i].first);
            ASSERT_NE(map.find(c.kept[i].first), nullptr);
            EXPECT_EQ(*map.find(c.kept[i].first), c.kept[i].second);
        }
        EXPECT_EQ(map.values.size(), c.kept.size());
        EXPECT_LE(tlv.packet_size(), SSIGTLV::WORD_SIZE + SSIGTLV::BUFFER_SIZE);
    }
}

struct BudgetCase {
    const char* name;
    std::vector<std::size_t> sizes;  // value sizes, one element each
    std::size_t size;                // encoded size
    std::size_t decoded;             // elements that survive decoding
};

TEST(SSIGTLV, EncodingStopsAtTheBudget)
{
    const BudgetCase cases[] = {
        {"exactly full", {4068}, 4096, 1},
        {"cut value gets no padding", {4069}, 4096, 0},
        {"head of the next element only", {4060, 10}, 4096, 1},
        {"later elements dropped", {2000, 2000, 500, 4}, 4096, 2},
        {"small values", {1, 2, 3}, 20 + 3 * 12, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SSIGMap map;
        for (std::size_t i = 0; i < c.sizes.size(); ++i)
            map.add(kcipa, bytes(c.sizes[i], uint8_t(0x10 + i)));
        SSIGTLV tlv;
        EXPECT_EQ(tlv.build_ssig_packet(map), c.size);
        EXPECT_EQ(tlv.get_length(), c.size - 8);
        EXPECT_LE(tlv.packet_size(), SSIGTLV::BUDGET);
        EXPECT_EQ(tlv.tokenize().order.size(), c.decoded);
    }
    // The cut value is written up to the budget, unpadded.
    SSIGMap map;
    map.add(kcipa, bytes(4069, 0xEE));
    SSIGTLV tlv;
    tlv.build_ssig_packet(map);
    EXPECT_EQ(tlv.data()[24 + 3], 0xE5);  // the full length 4069 = 0x0FE5
    EXPECT_EQ(tlv.data()[4095], 0xEE);
}

TEST(SSIGTLV, ErasedKeysAreSkippedAndDuplicatesWrittenTwice)
{
    SSIGMap map;
    map.command_type = 0x636d6e64;
    map.add(k1spi, {1, 2, 3, 4});
    const uint64_t gone = map.add(kcipa, {5, 6, 7, 8});
    map.values.erase(gone);
    map.order.push_back(k1spi);
    const bytes expected =
        frame(12 + 24, 0, [] {
            bytes e = element(k1spi, 4, {1, 2, 3, 4}, 0);
            const bytes again = element(k1spi, 4, {1, 2, 3, 4}, 0);
            e.insert(e.end(), again.begin(), again.end());
            return e;
        }());
    EXPECT_EQ(encoded(map), expected);
}

TEST(SSIGTLV, RandomMapsWithinTheBudgetSurviveARoundTrip)
{
    std::mt19937 rng(20261210);
    for (int round = 0; round < 200; ++round) {
        SSIGMap map;
        map.command_value = rng() % 9;
        map.command_type = rng();
        std::size_t used = SSIGTLV::HEAD_SIZE;
        const uint32_t types[] = {k1spi, kcipa, kcprt};
        for (;;) {
            const std::size_t len = 1 + rng() % 300;
            if (used + 8 + ((len + 3) & ~std::size_t(3)) > SSIGTLV::BUDGET)
                break;
            used += 8 + ((len + 3) & ~std::size_t(3));
            bytes v(len);
            for (auto& x : v)
                x = uint8_t(rng());
            map.add(types[rng() % 3], v);
        }
        SSIGTLV tlv;
        ASSERT_EQ(tlv.build_ssig_packet(map), used);
        const SSIGMap back = tlv.tokenize();
        EXPECT_EQ(back.order, map.order);
        EXPECT_EQ(back.values, map.values);
        EXPECT_EQ(back.command_value, map.command_value);
        EXPECT_EQ(back.command_type, map.command_type);
    }
}

TEST(SSIGTLV, CommandNames)
{
    const char* names[] = {"INVITE", "INVITE_OK", "NOT_ACCEPTABLE", "ACK", "BYE",
                           "BYE_OK", "PING",      "PONG",           "UNKNOWN_TLV"};
    for (uint32_t v = 0; v <= 8; ++v) {
        SSIGMap map;
        map.command_value = v;
        SSIGTLV tlv;
        tlv.build_ssig_packet(map);
        EXPECT_STREQ(vexa::ssig::get_ssig_tlv_cmd(reinterpret_cast<const char*>(tlv.data())),
                     names[v]);
    }
    EXPECT_STREQ(vexa::ssig::get_ssig_tlv_cmd(nullptr), "UNKNOWN_TLV");
}

TEST(SSIGTLV, TypeConstructors)
{
    EXPECT_EQ(SSIGTLV().get_packet_type(), SSIGPacket::Type_TLV);
    EXPECT_EQ(SSIGTLV(SSIGPacket::Type_HTTP_POST).get_packet_type(), SSIGPacket::Type_HTTP_POST);
    EXPECT_EQ(SSIGTLV(SSIGPacket::Type_HTTP_REPLY).get_packet_type(), SSIGPacket::Type_HTTP_REPLY);
    EXPECT_EQ(SSIGTLV(SSIGPacket::Type_UNKNOWN).get_packet_type(), SSIGPacket::Type_TLV);
    EXPECT_EQ(SSIGTLV().get_max_payload_len(), 4116u);
}

}  // namespace
