#include "AESGCM256_PLAIN.h"

namespace vexa {

namespace {
constexpr unsigned int KEY_WORDS = 8;
constexpr unsigned int ROUNDS = 14;
}  // namespace

AESGCM256_PLAIN::AESGCM256_PLAIN(const unsigned char* key_bytes, unsigned int salt_value)
    : AESGCM_PLAIN(key_bytes, 4 * KEY_WORDS, ROUNDS, salt_value)
{
    init_keys();
}

void AESGCM256_PLAIN::make_encrypt_rkey(unsigned char* k, unsigned int* rk)
{
    expand_encrypt_key(k, KEY_WORDS, rk);
}

void AESGCM256_PLAIN::make_decrypt_rkey(unsigned char* k, unsigned int* rk)
{
    expand_decrypt_key(k, KEY_WORDS, rk);
}

void AESGCM256_PLAIN::block_encrypt(unsigned char* in, unsigned char* out)
{
    aes_encrypt(round_keys, ROUNDS, in, out);
}

}  // namespace vexa
