#include "AESGCM256_NI.h"

#include <wmmintrin.h>

namespace vexa {

namespace {

// First half of a 256-bit expansion step: the previous even round key with
// the rotated, substituted word of the odd one (and the round constant).
inline __m128i expand_even(__m128i k, __m128i assist)
{
    return _mm_xor_si128(AESGCM_NI::prefix_xor_words(k), _mm_shuffle_epi32(assist, 0xff));
}

// Second half: the previous odd round key with the substituted (unrotated)
// word of the new even one.
VEXA_AES_NI inline __m128i expand_odd(__m128i even, __m128i k)
{
    return _mm_xor_si128(AESGCM_NI::prefix_xor_words(k),
                         _mm_shuffle_epi32(_mm_aeskeygenassist_si128(even, 0x00), 0xaa));
}

constexpr unsigned int ROUNDS = 14;

}  // namespace

#define VEXA_EXPAND256(i, rcon)                                                     \
    rk[i] = expand_even(rk[(i) - 2], _mm_aeskeygenassist_si128(rk[(i) - 1], rcon)); \
    rk[(i) + 1] = expand_odd(rk[i], rk[(i) - 1])

AESGCM256_NI::AESGCM256_NI(const unsigned char* key_bytes, unsigned int salt_value)
    : AESGCM_NI(key_bytes, 32, ROUNDS, salt_value)
{
    init_keys();
}

VEXA_AES_NI void AESGCM256_NI::make_encrypt_rkey(const unsigned char* k, __m128i* rk)
{
    rk[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(k));
    rk[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 16));
    VEXA_EXPAND256(2, 0x01);
    VEXA_EXPAND256(4, 0x02);
    VEXA_EXPAND256(6, 0x04);
    VEXA_EXPAND256(8, 0x08);
    VEXA_EXPAND256(10, 0x10);
    VEXA_EXPAND256(12, 0x20);
    rk[14] = expand_even(rk[12], _mm_aeskeygenassist_si128(rk[13], 0x40));
}

void AESGCM256_NI::encrypt_m128i_block(__m128i in, __m128i* out)
{
    *out = encrypt_block(in);
}

void AESGCM256_NI::block_encrypt(unsigned char* in, unsigned char* out)
{
    encrypt_bytes(in, out);
}

}  // namespace vexa
