#include "AESGCM128_PLAIN.h"

namespace vexa {

namespace {
constexpr unsigned int KEY_WORDS = 4;
constexpr unsigned int ROUNDS = 10;
}  // namespace

AESGCM128_PLAIN::AESGCM128_PLAIN(const unsigned char* key_bytes, unsigned int salt_value)
    : AESGCM_PLAIN(key_bytes, 4 * KEY_WORDS, ROUNDS, salt_value)
{
    init_keys();
}

void AESGCM128_PLAIN::make_encrypt_rkey(unsigned char* k, unsigned int* rk)
{
    expand_encrypt_key(k, KEY_WORDS, rk);
}

void AESGCM128_PLAIN::make_decrypt_rkey(unsigned char* k, unsigned int* rk)
{
    expand_decrypt_key(k, KEY_WORDS, rk);
}

void AESGCM128_PLAIN::block_encrypt(unsigned char* in, unsigned char* out)
{
    aes_encrypt(round_keys, ROUNDS, in, out);
}

}  // namespace vexa
