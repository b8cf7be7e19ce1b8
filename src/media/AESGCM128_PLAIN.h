// AES-128-GCM in table-driven code: 10 rounds.
//
// Threads: no lock; one call at a time (see AESGCM_PLAIN).
#pragma once

#include "AESGCM_PLAIN.h"

namespace vexa {

class AESGCM128_PLAIN : public AESGCM_PLAIN {
public:
    AESGCM128_PLAIN(const unsigned char* key, unsigned int salt);

    void make_encrypt_rkey(unsigned char* key, unsigned int* round_keys) override;
    void make_decrypt_rkey(unsigned char* key, unsigned int* round_keys) override;
    void block_encrypt(unsigned char* in, unsigned char* out) override;
};

}  // namespace vexa
