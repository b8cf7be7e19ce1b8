#include "AESGCM_NI.h"

#include "AESGCMUtil.h"

#include <smmintrin.h>
#include <tmmintrin.h>
#include <wmmintrin.h>

#include <cstring>

namespace vexa {

namespace {

// Reduction modulo x^128 + x^7 + x^2 + x + 1 of the 256-bit product hi:lo
// in the reflected order. The product needs no one-bit shift first because
// one factor is always a twisted power of H (see twist()).
VEXA_AES_NI inline __m128i gf_reduce(__m128i lo, __m128i hi)
{
    __m128i t7 = _mm_slli_epi32(lo, 31);
    __m128i t8 = _mm_slli_epi32(lo, 30);
    __m128i t9 = _mm_slli_epi32(lo, 25);
    t7 = _mm_xor_si128(t7, t8);
    t7 = _mm_xor_si128(t7, t9);
    t8 = _mm_srli_si128(t7, 4);
    t7 = _mm_slli_si128(t7, 12);
    lo = _mm_xor_si128(lo, t7);

    __m128i t2 = _mm_srli_epi32(lo, 1);
    __m128i t4 = _mm_srli_epi32(lo, 2);
    __m128i t5 = _mm_srli_epi32(lo, 7);
    t2 = _mm_xor_si128(t2, t4);
    t5 = _mm_xor_si128(t5, t8);
    t2 = _mm_xor_si128(t2, t5);
    lo = _mm_xor_si128(lo, t2);
    return _mm_xor_si128(hi, lo);
}

// H shifted left by one bit in the reflected order, reduced: multiplying by
// it yields the product already aligned, which saves the shift of every
// product on the hash's critical path.
VEXA_AES_NI inline __m128i twist(__m128i h)
{
    const __m128i carry = _mm_shuffle_epi32(_mm_srai_epi32(h, 31), 0xff);  // all ones if bit 127
    __m128i shifted = _mm_slli_epi64(h, 1);
    shifted = _mm_or_si128(shifted, _mm_slli_si128(_mm_srli_epi64(h, 63), 8));
    const __m128i poly = _mm_set_epi64x(static_cast<long long>(0xC200000000000000ull), 1);
    return _mm_xor_si128(shifted, _mm_and_si128(carry, poly));
}

// a times the twisted b: four 64x64 partial products and one reduction.
VEXA_AES_NI inline __m128i AES_NI_gf_multi(__m128i a, __m128i b)
{
    __m128i lo = _mm_clmulepi64_si128(a, b, 0x00);
    __m128i mid = _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x10), _mm_clmulepi64_si128(a, b, 0x01));
    __m128i hi = _mm_clmulepi64_si128(a, b, 0x11);
    lo = _mm_xor_si128(lo, _mm_slli_si128(mid, 8));
    hi = _mm_xor_si128(hi, _mm_srli_si128(mid, 8));
    return gf_reduce(lo, hi);
}

VEXA_AES_NI inline __m128i fold(__m128i v)
{
    return _mm_xor_si128(_mm_shuffle_epi32(v, 78), v);
}

// x1*h^4 + x2*h^3 + x3*h^2 + x4*h with the twisted powers hp[0..3] = h..h^4
// and their folded halves hk[0..3]: three partial products each (Karatsuba)
// and a single reduction.
VEXA_AES_NI inline __m128i AES_NI_gf_multi_4_blocks(const __m128i* hp, const __m128i* hk, __m128i x1,
                                                    __m128i x2, __m128i x3, __m128i x4)
{
    // x2..x4 do not depend on the running hash: their products go first so
    // that the chain from x1 to the result stays short.
    __m128i lo = _mm_clmulepi64_si128(hp[2], x2, 0x00);
    __m128i hi = _mm_clmulepi64_si128(hp[2], x2, 0x11);
    __m128i mid = _mm_clmulepi64_si128(hk[2], fold(x2), 0x00);
    lo = _mm_xor_si128(lo, _mm_clmulepi64_si128(hp[1], x3, 0x00));
    hi = _mm_xor_si128(hi, _mm_clmulepi64_si128(hp[1], x3, 0x11));
    mid = _mm_xor_si128(mid, _mm_clmulepi64_si128(hk[1], fold(x3), 0x00));
    lo = _mm_xor_si128(lo, _mm_clmulepi64_si128(hp[0], x4, 0x00));
    hi = _mm_xor_si128(hi, _mm_clmulepi64_si128(hp[0], x4, 0x11));
    mid = _mm_xor_si128(mid, _mm_clmulepi64_si128(hk[0], fold(x4), 0x00));
    mid = _mm_xor_si128(mid, _mm_xor_si128(lo, hi));

    const __m128i lo1 = _mm_clmulepi64_si128(hp[3], x1, 0x00);
    const __m128i hi1 = _mm_clmulepi64_si128(hp[3], x1, 0x11);
    const __m128i mid1 = _mm_clmulepi64_si128(hk[3], fold(x1), 0x00);
    lo = _mm_xor_si128(lo, lo1);
    hi = _mm_xor_si128(hi, hi1);
    mid = _mm_xor_si128(mid, _mm_xor_si128(mid1, _mm_xor_si128(lo1, hi1)));
    lo = _mm_xor_si128(lo, _mm_slli_si128(mid, 8));
    hi = _mm_xor_si128(hi, _mm_srli_si128(mid, 8));
    return gf_reduce(lo, hi);
}

VEXA_AES_NI inline __m128i aes_block(__m128i b, const __m128i* rk, unsigned int rounds)
{
    b = _mm_xor_si128(b, rk[0]);
    for (unsigned int i = 1; i < rounds; ++i)
        b = _mm_aesenc_si128(b, rk[i]);
    return _mm_aesenclast_si128(b, rk[rounds]);
}

VEXA_AES_NI inline void aes_4_blocks(__m128i& b0, __m128i& b1, __m128i& b2, __m128i& b3,
                                     const __m128i* rk, unsigned int rounds)
{
    b0 = _mm_xor_si128(b0, rk[0]);
    b1 = _mm_xor_si128(b1, rk[0]);
    b2 = _mm_xor_si128(b2, rk[0]);
    b3 = _mm_xor_si128(b3, rk[0]);
    for (unsigned int i = 1; i < rounds; ++i) {
        b0 = _mm_aesenc_si128(b0, rk[i]);
        b1 = _mm_aesenc_si128(b1, rk[i]);
        b2 = _mm_aesenc_si128(b2, rk[i]);
        b3 = _mm_aesenc_si128(b3, rk[i]);
    }
    b0 = _mm_aesenclast_si128(b0, rk[rounds]);
    b1 = _mm_aesenclast_si128(b1, rk[rounds]);
    b2 = _mm_aesenclast_si128(b2, rk[rounds]);
    b3 = _mm_aesenclast_si128(b3, rk[rounds]);
}

inline int load32(const unsigned char* p)
{
    int v;
    std::memcpy(&v, p, 4);
    return v;
}

// J0 = nonce || 00000001, built in a register (a copy into a 16-byte stack
// block and a wide load would stall store forwarding on every datagram).
inline __m128i load_j0(const unsigned char* nonce)
{
    return _mm_set_epi32(0x01000000, load32(nonce + 8), load32(nonce + 4), load32(nonce));
}

}  // namespace

AESGCM_NI::AESGCM_NI(const unsigned char* key_bytes, unsigned int size, unsigned int nr,
                     unsigned int salt_value)
    : AESGCM(salt_value), key_size(size), rounds(nr)
{
    mask = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    std::memset(key, 0, sizeof key);
    std::memcpy(key, key_bytes, key_size);
}

AESGCM_NI::~AESGCM_NI()
{
    gcm::wipe(key, sizeof key);
    gcm::wipe(round_keys, sizeof round_keys);
    gcm::wipe(h, sizeof h);
    gcm::wipe(&h_rev, sizeof h_rev);
    gcm::wipe(h_pow, sizeof h_pow);
    gcm::wipe(h_fold, sizeof h_fold);
}

VEXA_AES_NI void AESGCM_NI::init_keys()
{
    make_encrypt_rkey(key, round_keys);
    __m128i hv = aes_block(_mm_setzero_si128(), round_keys, rounds);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), hv);
    h_rev = _mm_shuffle_epi8(hv, mask);
    h_pow[0] = twist(h_rev);
    for (int i = 1; i < 4; ++i)
        h_pow[i] = AES_NI_gf_multi(h_pow[i - 1], h_pow[0]);
    for (int i = 0; i < 4; ++i)
        h_fold[i] = fold(h_pow[i]);
}

VEXA_AES_NI __m128i AESGCM_NI::encrypt_block(__m128i in) const
{
    return aes_block(in, round_keys, rounds);
}

VEXA_AES_NI void AESGCM_NI::encrypt_bytes(const unsigned char* in, unsigned char* out) const
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     encrypt_block(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))));
}

__m128i AESGCM_NI::prefix_xor_words(__m128i k)
{
    __m128i t = _mm_slli_si128(k, 4);
    k = _mm_xor_si128(k, t);
    t = _mm_slli_si128(t, 4);
    k = _mm_xor_si128(k, t);
    t = _mm_slli_si128(t, 4);
    return _mm_xor_si128(k, t);
}

VEXA_AES_NI void AESGCM_NI::authenticate_esp_pkt(const unsigned char* payload,
                                                 const unsigned char* aad,
                                                 const unsigned char* nonce,
                                                 unsigned int payload_length,
                                                 unsigned char* tag) const
{
    __m128i x = _mm_shuffle_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(aad)), mask);
    x = AES_NI_gf_multi(x, h_pow[0]);

    const __m128i* p = reinterpret_cast<const __m128i*>(payload);
    const unsigned int full = payload_length / 16;
    unsigned int i = 0;
    for (; i + 4 <= full; i += 4) {
        __m128i b1 = _mm_shuffle_epi8(_mm_loadu_si128(p + i), mask);
        __m128i b2 = _mm_shuffle_epi8(_mm_loadu_si128(p + i + 1), mask);
        __m128i b3 = _mm_shuffle_epi8(_mm_loadu_si128(p + i + 2), mask);
        __m128i b4 = _mm_shuffle_epi8(_mm_loadu_si128(p + i + 3), mask);
        x = AES_NI_gf_multi_4_blocks(h_pow, h_fold, _mm_xor_si128(x, b1), b2, b3, b4);
    }
    for (; i < full; ++i) {
        __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(p + i), mask);
        x = AES_NI_gf_multi(_mm_xor_si128(x, b), h_pow[0]);
    }
    const unsigned int rest = payload_length % 16;
    if (rest != 0) {
        unsigned char last[16] = {0};
        std::memcpy(last, payload + 16 * full, rest);
        __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(last)), mask);
        x = AES_NI_gf_multi(_mm_xor_si128(x, b), h_pow[0]);
    }
    // Length block: 64 bits of AAD, 8N bits of payload (already reversed).
    const __m128i lengths = _mm_set_epi64x(64, static_cast<long long>(payload_length) * 8);
    x = AES_NI_gf_multi(_mm_xor_si128(x, lengths), h_pow[0]);

    const __m128i s = aes_block(load_j0(nonce), round_keys, rounds);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(tag), _mm_xor_si128(_mm_shuffle_epi8(x, mask), s));
}

VEXA_AES_NI void AESGCM_NI::ctr_pass(const unsigned char* in, unsigned char* out,
                                     const unsigned char* nonce, unsigned int length) const
{
    const __m128i one = _mm_set_epi32(0, 0, 0, 1);
    __m128i ctr = _mm_shuffle_epi8(load_j0(nonce), mask);  // counter in lane 0
    const unsigned int full = length / 16;
    unsigned int i = 0;
    for (; i + 4 <= full; i += 4) {
        __m128i c0 = _mm_add_epi32(ctr, one);
        __m128i c1 = _mm_add_epi32(c0, one);
        __m128i c2 = _mm_add_epi32(c1, one);
        __m128i c3 = _mm_add_epi32(c2, one);
        ctr = c3;
        __m128i k0 = _mm_shuffle_epi8(c0, mask);
        __m128i k1 = _mm_shuffle_epi8(c1, mask);
        __m128i k2 = _mm_shuffle_epi8(c2, mask);
        __m128i k3 = _mm_shuffle_epi8(c3, mask);
        aes_4_blocks(k0, k1, k2, k3, round_keys, rounds);
        // All four loads precede the stores: out may overlap in from below.
        const __m128i* src = reinterpret_cast<const __m128i*>(in + 16 * i);
        __m128i d0 = _mm_loadu_si128(src);
        __m128i d1 = _mm_loadu_si128(src + 1);
        __m128i d2 = _mm_loadu_si128(src + 2);
        __m128i d3 = _mm_loadu_si128(src + 3);
        __m128i* dst = reinterpret_cast<__m128i*>(out + 16 * i);
        _mm_storeu_si128(dst, _mm_xor_si128(d0, k0));
        _mm_storeu_si128(dst + 1, _mm_xor_si128(d1, k1));
        _mm_storeu_si128(dst + 2, _mm_xor_si128(d2, k2));
        _mm_storeu_si128(dst + 3, _mm_xor_si128(d3, k3));
    }
    for (; i < full; ++i) {
        ctr = _mm_add_epi32(ctr, one);
        __m128i k = aes_block(_mm_shuffle_epi8(ctr, mask), round_keys, rounds);
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), _mm_xor_si128(d, k));
    }
    const unsigned int rest = length % 16;
    if (rest != 0) {
        ctr = _mm_add_epi32(ctr, one);
        unsigned char ks[16];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(ks),
                         aes_block(_mm_shuffle_epi8(ctr, mask), round_keys, rounds));
        unsigned char tmp[16];
        std::memcpy(tmp, in + 16 * full, rest);
        for (unsigned int j = 0; j < rest; ++j)
            tmp[j] ^= ks[j];
        std::memcpy(out + 16 * full, tmp, rest);
        gcm::wipe(ks, sizeof ks);
    }
}

void AESGCM_NI::encrypt_esp_pkt(const unsigned char* in, unsigned char* out,
                                const unsigned char* aad, const unsigned char* nonce,
                                unsigned int length, unsigned char* tag) const
{
    ctr_pass(in, out, nonce, length);
    authenticate_esp_pkt(out, aad, nonce, length, tag);
}

void AESGCM_NI::decrypt_esp_pkt(const unsigned char* in, unsigned char* out,
                                const unsigned char*, const unsigned char* nonce,
                                unsigned int length) const
{
    ctr_pass(in, out, nonce, length);
}

int AESGCM_NI::authenticate(const unsigned char* packet, unsigned int length)
{
    if (length < HEADER_SIZE + TAG_SIZE)
        return 1;
    const unsigned int n = length - HEADER_SIZE - TAG_SIZE;
    unsigned char nonce[12];
    make_nonce(packet, nonce);
    unsigned char tag[16];
    authenticate_esp_pkt(packet + HEADER_SIZE, packet, nonce, n, tag);
    return gcm::tags_equal(tag, packet + HEADER_SIZE + n) ? 0 : 1;
}

int AESGCM_NI::encrypt(const unsigned char* buffer, unsigned int* length)
{
    if (*length < HEADER_SIZE)
        return 1;
    unsigned char* b = const_cast<unsigned char*>(buffer);
    const unsigned int n = *length - HEADER_SIZE;
    write_header(b);
    unsigned char nonce[12];
    make_nonce(b, nonce);
    encrypt_esp_pkt(b + HEADER_SIZE, b + HEADER_SIZE, b, nonce, n, b + HEADER_SIZE + n);
    *length += TAG_SIZE;
    return 0;
}

int AESGCM_NI::decrypt(const unsigned char* buffer, unsigned int* length)
{
    if (*length < HEADER_SIZE + TAG_SIZE)
        return 1;
    unsigned char* b = const_cast<unsigned char*>(buffer);
    const unsigned int n = *length - HEADER_SIZE - TAG_SIZE;
    unsigned char nonce[12];
    make_nonce(b, nonce);
    unsigned char tag[16];
    authenticate_esp_pkt(b + HEADER_SIZE, b, nonce, n, tag);
    if (!gcm::tags_equal(tag, b + HEADER_SIZE + n))
        return 1;
    decrypt_esp_pkt(b + HEADER_SIZE, b, b, nonce, n);
    *length = n;
    return 0;
}

}  // namespace vexa
