// AES-128-GCM on the AES instructions: 10 rounds, key expansion by
// AESKEYGENASSIST.
//
// Threads: no lock; immutable after construction.
#pragma once

#include "AESGCM_NI.h"

namespace vexa {

class AESGCM128_NI : public AESGCM_NI {
public:
    AESGCM128_NI(const unsigned char* key, unsigned int salt);

    void make_encrypt_rkey(const unsigned char* key, __m128i* round_keys) override;
    void block_encrypt(unsigned char* in, unsigned char* out) override;
    void encrypt_m128i_block(__m128i in, __m128i* out) override;
};

}  // namespace vexa
