// AES-GCM engines against OpenSSL EVP and published vectors, for every class
// and both key sizes; the table family always, the instruction family where
// the processor has it.
#include "AESGCM.h"
#include "AESGCM128_NI.h"
#include "AESGCM128_PLAIN.h"
#include "AESGCM256_NI.h"
#include "AESGCM256_PLAIN.h"
#include "CommonUtil.h"
#include "LogCapture.h"
#include "relay_test_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>

using namespace relay_test;

namespace {

struct EngineKind {
    const char* name;
    size_t key_size;
    bool needs_ni;
    std::function<vexa::AESGCM*(const unsigned char*, unsigned int)> make;
};

const EngineKind KINDS[] = {
    {"AESGCM128_PLAIN", 16, false, [](const unsigned char* k, unsigned s) -> vexa::AESGCM* { return new vexa::AESGCM128_PLAIN(k, s); }},
    {"AESGCM256_PLAIN", 32, false, [](const unsigned char* k, unsigned s) -> vexa::AESGCM* { return new vexa::AESGCM256_PLAIN(k, s); }},
    {"AESGCM128_NI", 16, true, [](const unsigned char* k, unsigned s) -> vexa::AESGCM* { return new vexa::AESGCM128_NI(k, s); }},
    {"AESGCM256_NI", 32, true, [](const unsigned char* k, unsigned s) -> vexa::AESGCM* { return new vexa::AESGCM256_NI(k, s); }},
};

class EngineTest : public ::testing::TestWithParam<EngineKind> {
protected:
    void SetUp() override
    {
        if (GetParam().needs_ni && !cpu_has_aes_ni())
            GTEST_SKIP() << "processor lacks AES, PCLMULQDQ or SSSE3";
    }
    std::unique_ptr<vexa::AESGCM> make(const bytes& key, uint32_t salt) const
    {
        return std::unique_ptr<vexa::AESGCM>(GetParam().make(key.data(), salt));
    }
};

std::string kind_name(const ::testing::TestParamInfo<EngineKind>& info)
{
    return info.param.name;
}

struct Vector {
    const char* source;
    const char* key;
    uint32_t salt;
    const char* datagram;
};

// Wycheproof rows mapped as datagram = aad || iv[4..12) || ct || tag, salt =
// iv[0..4); the EVP rows were made with OpenSSL.
const Vector VECTORS[] = {
    {"wycheproof tc3", "aa023d0478dcb2b2312498293d9a9129", 0x0432bc49,
     "aac39231129872a2ac34412081288127eea945f3d0f98cc0fbab472a0cf24e874bb9b4812519dadf9e1232016d068133"},
    {"wycheproof tc12", "e63a43216c08867210e248859eb5e99c", 0x9c3a4263,
     "834afdc5c737186bd983456658aad4b1bf864616c2347509ca9b10446379b9bdbb3b8f64a97d25b490390b53c5db91f6ee2a15b8"},
    {"wycheproof tc73", "92ace3e348cd821092cd921aa3546374299ab46209691bc28b8752d17f123c20", 0x00112233,
     "00000000ffffffff445566778899aabbe27abdd2d2a53d2f136b9a4a2579529301bcfb71c78d4060f52c"},
    {"wycheproof tc83", "cdccfe3f46d782ef47df4e72f0c02d9c7f774def970d23486f11a57f54247f17", 0x37618789,
     "956846a209e087ed4605a8d45e30de51feca44952447015b5df1f456df8ca4bb4eee2ce2082e91924deeb77880e1b1c84f9b8d30"},
    {"evp N=0", "00000000000000000000000000000000", 0,
     "000000000000000000000000000000006472f739e1d0223c42daf72061f1589e"},
    {"evp N=17", "feffe9928665731c6d6a8f9467308308", 0xcafebabe,
     "0000a5f80000000afacedbaddecaf8889bb32ee4ddf674c6e62222792728fc0975dbe8b2aabd96206e9cd8bffc0272b6bc"},
    {"evp 256 N=65", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", 0xcafebabe,
     "0000a5f80000000afacedbaddecaf8888b1df1d665d77de5592f346d897c6ae8f28c379cbec4210443cd889bb37945c7b0ada0fee8409449a056af1f3309133244adc1a50d82aa6a3e93b760af12f9c7240153f7fee0fdc4afdb0785d91f452b1b"},
};

}  // namespace

TEST_P(EngineTest, PublishedVectorsAuthenticateAndFlippedBitsFail)
{
    int used = 0;
    for (const auto& v : VECTORS) {
        const bytes key = from_hex(v.key);
        if (key.size() != GetParam().key_size)
            continue;
        ++used;
        bytes d = from_hex(v.datagram);
        ASSERT_TRUE(evp_open(key, v.salt, d)) << v.source;  // the row itself is sound
        auto engine = make(key, v.salt);
        EXPECT_EQ(0, engine->authenticate(d.data(), static_cast<unsigned>(d.size()))) << v.source;
        // Every bit of the datagram is covered: header, payload and tag.
        for (size_t bit = 0; bit < d.size() * 8; ++bit) {
            d[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
            ASSERT_EQ(1, engine->authenticate(d.data(), static_cast<unsigned>(d.size())))
                << v.source << " bit " << bit;
            d[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        }
    }
    EXPECT_GE(used, 3);
}

TEST_P(EngineTest, DifferentialAgainstEvpOverEveryPayloadSize)
{
    std::mt19937 rng(0x5eed0000u + static_cast<unsigned>(GetParam().key_size));
    auto byte = [&rng] { return static_cast<unsigned char>(rng()); };
    for (unsigned n = 0; n <= 2016; ++n) {
        bytes key(GetParam().key_size);
        for (auto& b : key)
            b = byte();
        const uint32_t salt = rng();
        unsigned char header[16];
        for (auto& b : header)
            b = byte();
        bytes pt(n);
        for (auto& b : pt)
            b = byte();
        bytes d = evp_seal(key, salt, header, pt);
        auto engine = make(key, salt);
        ASSERT_EQ(0, engine->authenticate(d.data(), static_cast<unsigned>(d.size()))) << "N=" << n;
        // First and last byte of each field.
        std::vector<size_t> spots = {0, 3, 4, 7, 8, 11, 12, 15, 16 + n, 31 + n};
        if (n > 0) {
            spots.push_back(16);
            spots.push_back(15 + n);
        }
        for (size_t at : spots) {
            d[at] ^= 0x80;
            ASSERT_EQ(1, engine->authenticate(d.data(), static_cast<unsigned>(d.size())))
                << "N=" << n << " byte " << at;
            d[at] ^= 0x80;
        }
        // decrypt opens what EVP sealed.
        bytes buf = d;
        unsigned len = static_cast<unsigned>(buf.size());
        ASSERT_EQ(0, engine->decrypt(buf.data(), &len)) << "N=" << n;
        ASSERT_EQ(n, len);
        ASSERT_TRUE(std::equal(pt.begin(), pt.end(), buf.begin())) << "N=" << n;
        // encrypt seals what EVP opens, under the header the engine wrote.
        bytes e(32 + n);
        std::copy(pt.begin(), pt.end(), e.begin() + 16);
        unsigned elen = 16 + n;
        engine->set_spi(0x11223344);
        ASSERT_EQ(0, engine->encrypt(e.data(), &elen));
        ASSERT_EQ(32 + n, elen);
        bytes opened;
        ASSERT_TRUE(evp_open(key, salt, e, &opened)) << "N=" << n;
        ASSERT_EQ(pt, opened);
        ASSERT_EQ(0, engine->authenticate(e.data(), elen));
    }
}

TEST_P(EngineTest, ShortDatagramsAreRejectedUnread)
{
    auto engine = make(bytes(GetParam().key_size, 7), 1);
    for (unsigned len = 0; len < 32; ++len)
        EXPECT_EQ(1, engine->authenticate(nullptr, len)) << len;
    unsigned len = 31;
    EXPECT_EQ(1, engine->decrypt(nullptr, &len));
    EXPECT_EQ(31u, len);
    len = 15;
    EXPECT_EQ(1, engine->encrypt(nullptr, &len));
    EXPECT_EQ(15u, len);
}

TEST_P(EngineTest, EncryptWritesHeaderAndAdvancesTheIvRegister)
{
    bytes key = from_hex("feffe9928665731c6d6a8f9467308308");
    const bool k256 = GetParam().key_size == 32;
    if (k256)
        key.insert(key.end(), key.begin(), key.end());
    auto engine = make(key, 0xcafebabe);
    engine->set_spi(0xa5f8);
    bytes buf(48);
    for (unsigned i = 0; i < 16; ++i)
        buf[16 + i] = static_cast<unsigned char>(i);
    unsigned len = 32;
    ASSERT_EQ(0, engine->encrypt(buf.data(), &len));
    EXPECT_EQ(48u, len);
    if (!k256) {
        EXPECT_EQ("0000a5f8000000000afebabecafebabe0a5db7465dda5278d63e0c3fff9d7a47255dabc7cc23a2922112aa914071a6fa",
                  to_hex(buf));
    }
    EXPECT_EQ("0000a5f8000000000afebabecafebabe", to_hex(buf.data(), 16));
    EXPECT_TRUE(evp_open(key, 0xcafebabe, buf));
    // Next two datagrams: sequence 1, 2 and the register's next steps.
    const char* next_iv[] = {"05fd757d95fd757d", "0bfaeafb2bfaeafb"};
    for (unsigned k = 0; k < 2; ++k) {
        bytes b(48);
        unsigned l = 32;
        ASSERT_EQ(0, engine->encrypt(b.data(), &l));
        EXPECT_EQ(k + 1, (unsigned(b[4]) << 24) | (unsigned(b[5]) << 16) | (unsigned(b[6]) << 8) | b[7]);
        EXPECT_EQ(next_iv[k], to_hex(b.data() + 8, 8));
    }
}

TEST_P(EngineTest, TamperedDecryptLeavesBufferAndLength)
{
    const bytes key(GetParam().key_size, 0x42);
    auto engine = make(key, 0x01020304);
    unsigned char header[16] = {0xa1, 0xb2, 0xc3, 0xd4, 0, 0, 0, 9, 1, 2, 3, 4, 5, 6, 7, 8};
    bytes d = evp_seal(key, 0x01020304, header, bytes(40, 0x5a));
    d[20] ^= 1;
    const bytes before = d;
    unsigned len = static_cast<unsigned>(d.size());
    EXPECT_EQ(1, engine->decrypt(d.data(), &len));
    EXPECT_EQ(before.size(), len);
    EXPECT_EQ(before, d);
}

INSTANTIATE_TEST_SUITE_P(AllClasses, EngineTest, ::testing::ValuesIn(KINDS), kind_name);

TEST(AesGcmIv, RegisterSequencesFromTheSalt)
{
    struct Case {
        uint32_t salt;
        std::vector<std::pair<uint32_t, uint32_t>> ivs;
    };
    const Case cases[] = {
        {1, {{1, 1}, {2, 3}, {4, 7}, {8, 15}, {16, 31}}},
        {0x80000000u, {{0, 0x80000000u}, {1, 0}, {2, 0}}},
        {0, {{0, 0}, {0, 0}, {0, 0}}},
    };
    for (const auto& c : cases) {
        std::unique_ptr<vexa::AESGCM> e(new vexa::AESGCM128_PLAIN(bytes(16, 1).data(), c.salt));
        for (const auto& iv : c.ivs) {
            bytes b(48);
            unsigned len = 16;
            ASSERT_EQ(0, e->encrypt(b.data(), &len));
            const uint32_t hi = (unsigned(b[8]) << 24) | (unsigned(b[9]) << 16) | (unsigned(b[10]) << 8) | b[11];
            const uint32_t lo = (unsigned(b[12]) << 24) | (unsigned(b[13]) << 16) | (unsigned(b[14]) << 8) | b[15];
            EXPECT_EQ(iv.first, hi) << "salt " << c.salt;
            EXPECT_EQ(iv.second, lo) << "salt " << c.salt;
        }
    }
    // The new bit 0 is old bit 59 xor old bit 0; bit 60 and above never set.
    unsigned hi = 0x08000000u, lo = 0;
    vexa::AESGCM::increment_iv(&hi, &lo);
    EXPECT_EQ(0u, hi);
    EXPECT_EQ(1u, lo);
}

TEST(AesGcmBlock, Fips197AndHashKeys)
{
    bytes pt = from_hex("00112233445566778899aabbccddeeff");
    bytes k128(16), k256(32);
    for (unsigned i = 0; i < 32; ++i) {
        if (i < 16)
            k128[i] = static_cast<unsigned char>(i);
        k256[i] = static_cast<unsigned char>(i);
    }
    unsigned char out[16];
    vexa::AESGCM128_PLAIN p128(k128.data(), 0);
    p128.block_encrypt(pt.data(), out);
    EXPECT_EQ("69c4e0d86a7b0430d8cdb78070b4c55a", to_hex(out, 16));
    vexa::AESGCM256_PLAIN p256(k256.data(), 0);
    p256.block_encrypt(pt.data(), out);
    EXPECT_EQ("8ea2b7ca516745bfeafc49904b496089", to_hex(out, 16));

    // The inverse schedule: last encryption round key first, first last.
    unsigned int ek[60], dk[60];
    p128.make_encrypt_rkey(k128.data(), ek);
    p128.make_decrypt_rkey(k128.data(), dk);
    EXPECT_EQ(ek[40], dk[0]);
    EXPECT_EQ(ek[3], dk[43]);
    EXPECT_EQ(0x13111d7fu, ek[40]);  // FIPS-197 A.1, round 10 word 0

    // H times 1 (the element x^0) is H; the table family against itself.
    unsigned char one[16] = {0x80};
    p128.gf_multi_h(one);
    unsigned char zero[16] = {0}, h[16];
    p128.block_encrypt(zero, h);
    EXPECT_EQ(to_hex(h, 16), to_hex(one, 16));

    vexa::AESGCM128_PLAIN zero_key(bytes(16, 0).data(), 0);
    zero_key.block_encrypt(zero, h);
    EXPECT_EQ("66e94bd4ef8a2c3b884cfa59ca342b2e", to_hex(h, 16));

    if (cpu_has_aes_ni()) {
        vexa::AESGCM128_NI n128(k128.data(), 0);
        n128.block_encrypt(pt.data(), out);
        EXPECT_EQ("69c4e0d86a7b0430d8cdb78070b4c55a", to_hex(out, 16));
        vexa::AESGCM256_NI n256(k256.data(), 0);
        n256.block_encrypt(pt.data(), out);
        EXPECT_EQ("8ea2b7ca516745bfeafc49904b496089", to_hex(out, 16));
    }
}

TEST(AesGcmCreate, KeySizesAndFamilies)
{
    for (size_t size : {0, 15, 24, 33}) {
        try {
            vexa::AESGCM::create(std::vector<char>(size, 1), 0);
            ADD_FAILURE() << size;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ("Bad key size: does not match neither of AES128 or AES256 key size!", e.what());
        }
    }
    struct Case {
        size_t size;
        bool ni;
        const char* text;
    };
    const Case cases[] = {
        {16, true, "loading up AES128-NI"},
        {32, true, "loading up AES256-NI"},
        {16, false, "loading up AES128-Plain"},
        {32, false, "loading up AES256-Plain"},
    };
    for (const auto& c : cases) {
        if (c.ni && !cpu_has_aes_ni())
            continue;
        vexa::set_aes_ni_allowed(c.ni);
        LogCapture log;
        auto e = vexa::AESGCM::create(std::vector<char>(c.size, 3), 9);
        const bool is_ni = dynamic_cast<vexa::AESGCM_NI*>(e.get()) != nullptr;
        EXPECT_EQ(c.ni, is_ni) << c.text;
        ASSERT_EQ(1u, log.count_messages(c.text));
        EXPECT_EQ(boost::log::trivial::debug, log.find(c.text)[0].severity);
    }
    vexa::set_aes_ni_allowed(true);

    // Engines are 16-byte aligned.
    for (int i = 0; i < 8; ++i) {
        auto e = vexa::AESGCM::create(std::vector<char>(16, 1), 0);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(e.get()) % 16);
    }
}

TEST(AesGcmFamilies, SameTagsForTheSameDatagram)
{
    if (!cpu_has_aes_ni())
        GTEST_SKIP() << "one family only";
    std::mt19937 rng(7);
    for (size_t ks : {16, 32})
        for (unsigned n : {0u, 1u, 63u, 64u, 65u, 1200u}) {
            bytes key(ks);
            for (auto& b : key)
                b = static_cast<unsigned char>(rng());
            std::unique_ptr<vexa::AESGCM> ni, plain;
            if (ks == 16) {
                ni.reset(new vexa::AESGCM128_NI(key.data(), 77));
                plain.reset(new vexa::AESGCM128_PLAIN(key.data(), 77));
            } else {
                ni.reset(new vexa::AESGCM256_NI(key.data(), 77));
                plain.reset(new vexa::AESGCM256_PLAIN(key.data(), 77));
            }
            bytes a(32 + n, 0x33), b(32 + n, 0x33);
            unsigned la = 16 + n, lb = 16 + n;
            ASSERT_EQ(0, ni->encrypt(a.data(), &la));
            ASSERT_EQ(0, plain->encrypt(b.data(), &lb));
            EXPECT_EQ(to_hex(a), to_hex(b)) << ks << "/" << n;
        }
}
