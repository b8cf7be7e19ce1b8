#include "AESGCM_PLAIN.h"

#include "AESGCMUtil.h"

#include <array>
#include <cstring>

namespace vexa {

namespace {

// FIPS-197 tables, computed at compile time from the field arithmetic.
constexpr uint8_t xtime(uint8_t x)
{
    return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1b : 0));
}

constexpr uint8_t gmul(uint8_t a, uint8_t b)
{
    uint8_t p = 0;
    for (int i = 0; i < 8; ++i) {
        if (b & 1)
            p = static_cast<uint8_t>(p ^ a);
        a = xtime(a);
        b = static_cast<uint8_t>(b >> 1);
    }
    return p;
}

constexpr uint8_t rotl8(uint8_t x, int s)
{
    return static_cast<uint8_t>((x << s) | (x >> (8 - s)));
}

struct AesTables {
    uint8_t sbox[256];
    uint32_t te[4][256];
    uint32_t rcon[10];
};

constexpr AesTables make_tables()
{
    AesTables t{};
    // Walk the multiplicative group with generator 3: p runs over 3^k and
    // q over its inverse 3^-k, which the affine map turns into the S-box.
    uint8_t p = 1, q = 1;
    do {
        p = static_cast<uint8_t>(p ^ (p << 1) ^ ((p & 0x80) ? 0x1b : 0));
        q = static_cast<uint8_t>(q ^ (q << 1));
        q = static_cast<uint8_t>(q ^ (q << 2));
        q = static_cast<uint8_t>(q ^ (q << 4));
        if (q & 0x80)
            q = static_cast<uint8_t>(q ^ 0x09);
        const uint8_t x =
            static_cast<uint8_t>(q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4));
        t.sbox[p] = static_cast<uint8_t>(x ^ 0x63);
    } while (p != 1);
    t.sbox[0] = 0x63;
    for (int i = 0; i < 256; ++i) {
        const uint8_t s = t.sbox[i];
        const uint32_t w = (uint32_t(gmul(s, 2)) << 24) | (uint32_t(s) << 16) | (uint32_t(s) << 8) |
                           uint32_t(gmul(s, 3));
        t.te[0][i] = w;
        t.te[1][i] = (w >> 8) | (w << 24);
        t.te[2][i] = (w >> 16) | (w << 16);
        t.te[3][i] = (w >> 24) | (w << 8);
    }
    uint8_t rc = 1;
    for (int i = 0; i < 10; ++i) {
        t.rcon[i] = uint32_t(rc) << 24;
        rc = xtime(rc);
    }
    return t;
}

constexpr AesTables TABLES = make_tables();
static_assert(TABLES.sbox[0x00] == 0x63 && TABLES.sbox[0x01] == 0x7c && TABLES.sbox[0x53] == 0xed &&
                  TABLES.sbox[0xff] == 0x16,
              "S-box");

inline uint32_t sub_word(uint32_t w)
{
    const uint8_t* s = TABLES.sbox;
    return (uint32_t(s[w >> 24]) << 24) | (uint32_t(s[(w >> 16) & 0xff]) << 16) |
           (uint32_t(s[(w >> 8) & 0xff]) << 8) | uint32_t(s[w & 0xff]);
}

uint32_t inv_mix_column(uint32_t w)
{
    const uint8_t b0 = static_cast<uint8_t>(w >> 24), b1 = static_cast<uint8_t>(w >> 16),
                  b2 = static_cast<uint8_t>(w >> 8), b3 = static_cast<uint8_t>(w);
    const uint8_t r0 = gmul(b0, 14) ^ gmul(b1, 11) ^ gmul(b2, 13) ^ gmul(b3, 9);
    const uint8_t r1 = gmul(b0, 9) ^ gmul(b1, 14) ^ gmul(b2, 11) ^ gmul(b3, 13);
    const uint8_t r2 = gmul(b0, 13) ^ gmul(b1, 9) ^ gmul(b2, 14) ^ gmul(b3, 11);
    const uint8_t r3 = gmul(b0, 11) ^ gmul(b1, 13) ^ gmul(b2, 9) ^ gmul(b3, 14);
    return (uint32_t(r0) << 24) | (uint32_t(r1) << 16) | (uint32_t(r2) << 8) | r3;
}

inline uint8_t byte_of(uint64_t hi, uint64_t lo, int i)
{
    return static_cast<uint8_t>(i < 8 ? hi >> (56 - 8 * i) : lo >> (56 - 8 * (i - 8)));
}

// The multiples of H are built by doubling: x^(j+1) H = (x^j H) times x,
// a right shift in GCM's bit order with the reduction 0xE1 || 0^120.
void init_multi_h_table(const unsigned char* hbytes, uint64_t table[32][16][2])
{
    uint64_t pw[128][2];
    pw[0][0] = gcm::load_be64(hbytes);
    pw[0][1] = gcm::load_be64(hbytes + 8);
    for (int j = 1; j < 128; ++j) {
        const uint64_t hi = pw[j - 1][0], lo = pw[j - 1][1];
        const bool carry = lo & 1;
        pw[j][1] = (lo >> 1) | (hi << 63);
        pw[j][0] = (hi >> 1) ^ (carry ? 0xE100000000000000ull : 0);
    }
    for (int p = 0; p < 32; ++p) {
        const int byte = p / 2;
        const bool high = p % 2 == 1;
        for (int v = 0; v < 16; ++v) {
            uint64_t hi = 0, lo = 0;
            for (int k = 0; k < 4; ++k) {
                if (!(v & (1 << k)))
                    continue;
                // Bit k of the nibble is bit k (low nibble) or k + 4 (high
                // nibble) of the byte; a byte's top bit is the lowest power.
                const int exponent = 8 * byte + 7 - (high ? k + 4 : k);
                hi ^= pw[exponent][0];
                lo ^= pw[exponent][1];
            }
            table[p][v][0] = hi;
            table[p][v][1] = lo;
        }
    }
    gcm::wipe(pw, sizeof pw);
}

inline void increment32(unsigned char* block)
{
    gcm::store_be32(block + 12, gcm::load_be32(block + 12) + 1);
}

}  // namespace

AESGCM_PLAIN::AESGCM_PLAIN(const unsigned char* key_bytes, unsigned int size, unsigned int nr,
                           unsigned int salt_value)
    : AESGCM(salt_value), key_size(size), rounds(nr)
{
    std::memset(counter_block, 0, sizeof counter_block);
    std::memset(output_block, 0, sizeof output_block);
    std::memset(key, 0, sizeof key);
    std::memcpy(key, key_bytes, key_size);
}

AESGCM_PLAIN::~AESGCM_PLAIN()
{
    gcm::wipe(table, sizeof table);
    gcm::wipe(counter_block, sizeof counter_block);
    gcm::wipe(output_block, sizeof output_block);
    gcm::wipe(h, sizeof h);
    gcm::wipe(key, sizeof key);
    gcm::wipe(round_keys, sizeof round_keys);
}

void AESGCM_PLAIN::init_keys()
{
    make_encrypt_rkey(key, round_keys);
    unsigned char zero[16] = {0};
    block_encrypt(zero, h);
    init_multi_h_table(h, table);
}

void AESGCM_PLAIN::expand_encrypt_key(const unsigned char* k, unsigned int nk, unsigned int* rk)
{
    const unsigned int total = 4 * (nk + 7);  // 4 * (rounds + 1)
    for (unsigned int i = 0; i < nk; ++i)
        rk[i] = gcm::load_be32(k + 4 * i);
    for (unsigned int i = nk; i < total; ++i) {
        uint32_t t = rk[i - 1];
        if (i % nk == 0)
            t = sub_word((t << 8) | (t >> 24)) ^ TABLES.rcon[i / nk - 1];
        else if (nk > 6 && i % nk == 4)
            t = sub_word(t);
        rk[i] = rk[i - nk] ^ t;
    }
}

void AESGCM_PLAIN::expand_decrypt_key(const unsigned char* k, unsigned int nk, unsigned int* rk)
{
    // Equivalent inverse cipher: round keys in reverse order, the inner ones
    // passed through InvMixColumns.
    const unsigned int nr = nk + 6;
    unsigned int ek[60];
    expand_encrypt_key(k, nk, ek);
    for (unsigned int r = 0; r <= nr; ++r)
        for (unsigned int j = 0; j < 4; ++j) {
            const uint32_t w = ek[4 * (nr - r) + j];
            rk[4 * r + j] = (r == 0 || r == nr) ? w : inv_mix_column(w);
        }
    gcm::wipe(ek, sizeof ek);
}

void AESGCM_PLAIN::aes_encrypt(const unsigned int* rk, unsigned int nr, const unsigned char* in,
                               unsigned char* out)
{
    const auto& te = TABLES.te;
    const uint8_t* sb = TABLES.sbox;
    uint32_t s0 = gcm::load_be32(in) ^ rk[0];
    uint32_t s1 = gcm::load_be32(in + 4) ^ rk[1];
    uint32_t s2 = gcm::load_be32(in + 8) ^ rk[2];
    uint32_t s3 = gcm::load_be32(in + 12) ^ rk[3];
    for (unsigned int r = 1; r < nr; ++r) {
        const unsigned int* k = rk + 4 * r;
        const uint32_t t0 = te[0][s0 >> 24] ^ te[1][(s1 >> 16) & 0xff] ^ te[2][(s2 >> 8) & 0xff] ^
                            te[3][s3 & 0xff] ^ k[0];
        const uint32_t t1 = te[0][s1 >> 24] ^ te[1][(s2 >> 16) & 0xff] ^ te[2][(s3 >> 8) & 0xff] ^
                            te[3][s0 & 0xff] ^ k[1];
        const uint32_t t2 = te[0][s2 >> 24] ^ te[1][(s3 >> 16) & 0xff] ^ te[2][(s0 >> 8) & 0xff] ^
                            te[3][s1 & 0xff] ^ k[2];
        const uint32_t t3 = te[0][s3 >> 24] ^ te[1][(s0 >> 16) & 0xff] ^ te[2][(s1 >> 8) & 0xff] ^
                            te[3][s2 & 0xff] ^ k[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    const unsigned int* k = rk + 4 * nr;
    auto last = [sb](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
        return (uint32_t(sb[a >> 24]) << 24) | (uint32_t(sb[(b >> 16) & 0xff]) << 16) |
               (uint32_t(sb[(c >> 8) & 0xff]) << 8) | uint32_t(sb[d & 0xff]);
    };
    gcm::store_be32(out, last(s0, s1, s2, s3) ^ k[0]);
    gcm::store_be32(out + 4, last(s1, s2, s3, s0) ^ k[1]);
    gcm::store_be32(out + 8, last(s2, s3, s0, s1) ^ k[2]);
    gcm::store_be32(out + 12, last(s3, s0, s1, s2) ^ k[3]);
}

void AESGCM_PLAIN::mul_h(uint64_t& hi, uint64_t& lo) const
{
    uint64_t zh = 0, zl = 0;
    for (int i = 0; i < 16; ++i) {
        const uint8_t b = byte_of(hi, lo, i);
        const uint64_t* t0 = table[2 * i][b & 0x0f];
        const uint64_t* t1 = table[2 * i + 1][b >> 4];
        zh ^= t0[0] ^ t1[0];
        zl ^= t0[1] ^ t1[1];
    }
    hi = zh;
    lo = zl;
}

void AESGCM_PLAIN::gf_multi_h(unsigned char* x) const
{
    uint64_t hi = gcm::load_be64(x), lo = gcm::load_be64(x + 8);
    mul_h(hi, lo);
    gcm::store_be64(x, hi);
    gcm::store_be64(x + 8, lo);
}

void AESGCM_PLAIN::compute_tag(const unsigned char* aad, const unsigned char* payload,
                               unsigned int n, const unsigned char* nonce, unsigned char* tag)
{
    uint64_t hi = gcm::load_be64(aad), lo = 0;
    mul_h(hi, lo);
    const unsigned int full = n / 16;
    for (unsigned int i = 0; i < full; ++i) {
        hi ^= gcm::load_be64(payload + 16 * i);
        lo ^= gcm::load_be64(payload + 16 * i + 8);
        mul_h(hi, lo);
    }
    const unsigned int rest = n % 16;
    if (rest != 0) {
        unsigned char last[16] = {0};
        std::memcpy(last, payload + 16 * full, rest);
        hi ^= gcm::load_be64(last);
        lo ^= gcm::load_be64(last + 8);
        mul_h(hi, lo);
    }
    hi ^= 64;
    lo ^= uint64_t(n) * 8;
    mul_h(hi, lo);

    std::memcpy(counter_block, nonce, 12);
    gcm::store_be32(counter_block + 12, 1);
    aes_encrypt(round_keys, rounds, counter_block, output_block);
    gcm::store_be64(tag, hi ^ gcm::load_be64(output_block));
    gcm::store_be64(tag + 8, lo ^ gcm::load_be64(output_block + 8));
}

void AESGCM_PLAIN::ctr_pass(const unsigned char* in, unsigned char* out, const unsigned char* nonce,
                            unsigned int n)
{
    std::memcpy(counter_block, nonce, 12);
    gcm::store_be32(counter_block + 12, 1);
    for (unsigned int off = 0; off < n; off += 16) {
        increment32(counter_block);
        aes_encrypt(round_keys, rounds, counter_block, output_block);
        const unsigned int len = n - off < 16 ? n - off : 16;
        // Block-wise through a copy: out may overlap in from below.
        unsigned char tmp[16];
        std::memcpy(tmp, in + off, len);
        for (unsigned int j = 0; j < len; ++j)
            tmp[j] ^= output_block[j];
        std::memcpy(out + off, tmp, len);
    }
}

int AESGCM_PLAIN::authenticate(const unsigned char* packet, unsigned int length)
{
    if (length < HEADER_SIZE + TAG_SIZE)
        return 1;
    const unsigned int n = length - HEADER_SIZE - TAG_SIZE;
    unsigned char nonce[12];
    make_nonce(packet, nonce);
    unsigned char tag[16];
    compute_tag(packet, packet + HEADER_SIZE, n, nonce, tag);
    return gcm::tags_equal(tag, packet + HEADER_SIZE + n) ? 0 : 1;
}

int AESGCM_PLAIN::encrypt(const unsigned char* buffer, unsigned int* length)
{
    if (*length < HEADER_SIZE)
        return 1;
    unsigned char* b = const_cast<unsigned char*>(buffer);
    const unsigned int n = *length - HEADER_SIZE;
    write_header(b);
    unsigned char nonce[12];
    make_nonce(b, nonce);
    ctr_pass(b + HEADER_SIZE, b + HEADER_SIZE, nonce, n);
    compute_tag(b, b + HEADER_SIZE, n, nonce, b + HEADER_SIZE + n);
    *length += TAG_SIZE;
    return 0;
}

int AESGCM_PLAIN::decrypt(const unsigned char* buffer, unsigned int* length)
{
    if (*length < HEADER_SIZE + TAG_SIZE)
        return 1;
    unsigned char* b = const_cast<unsigned char*>(buffer);
    const unsigned int n = *length - HEADER_SIZE - TAG_SIZE;
    unsigned char nonce[12];
    make_nonce(b, nonce);
    unsigned char tag[16];
    compute_tag(b, b + HEADER_SIZE, n, nonce, tag);
    if (!gcm::tags_equal(tag, b + HEADER_SIZE + n))
        return 1;
    ctr_pass(b + HEADER_SIZE, b, nonce, n);
    *length = n;
    return 0;
}

}  // namespace vexa
