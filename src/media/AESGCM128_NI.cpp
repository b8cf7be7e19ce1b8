#include "AESGCM128_NI.h"

#include <wmmintrin.h>

namespace vexa {

namespace {

inline __m128i expand_step(__m128i k, __m128i assist)
{
    return _mm_xor_si128(AESGCM_NI::prefix_xor_words(k), _mm_shuffle_epi32(assist, 0xff));
}

constexpr unsigned int ROUNDS = 10;

}  // namespace

#define VEXA_EXPAND128(i, rcon) \
    rk[i] = expand_step(rk[(i) - 1], _mm_aeskeygenassist_si128(rk[(i) - 1], rcon))

AESGCM128_NI::AESGCM128_NI(const unsigned char* key_bytes, unsigned int salt_value)
    : AESGCM_NI(key_bytes, 16, ROUNDS, salt_value)
{
    init_keys();
}

VEXA_AES_NI void AESGCM128_NI::make_encrypt_rkey(const unsigned char* k, __m128i* rk)
{
    rk[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(k));
    VEXA_EXPAND128(1, 0x01);
    VEXA_EXPAND128(2, 0x02);
    VEXA_EXPAND128(3, 0x04);
    VEXA_EXPAND128(4, 0x08);
    VEXA_EXPAND128(5, 0x10);
    VEXA_EXPAND128(6, 0x20);
    VEXA_EXPAND128(7, 0x40);
    VEXA_EXPAND128(8, 0x80);
    VEXA_EXPAND128(9, 0x1b);
    VEXA_EXPAND128(10, 0x36);
}

void AESGCM128_NI::encrypt_m128i_block(__m128i in, __m128i* out)
{
    *out = encrypt_block(in);
}

void AESGCM128_NI::block_encrypt(unsigned char* in, unsigned char* out)
{
    encrypt_bytes(in, out);
}

}  // namespace vexa
