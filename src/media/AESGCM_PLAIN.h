// AES-GCM in portable table-driven code: the fallback for processors without
// the AES and carry-less multiply instructions. AES by the FIPS-197 round
// tables; GHASH by 32 nibble tables of multiples of H (8 KiB per engine), so
// a multiplication is 32 look-ups and no shifts. Table look-ups depend on the
// data, so this family is not constant-time against cache timing.
//
// Threads: no lock; every call writes the counter and output blocks, so an
// engine serves one call at a time.
#pragma once

#include "AESGCM.h"

#include <cstdint>

namespace vexa {

class AESGCM_PLAIN : public AESGCM {
public:
    ~AESGCM_PLAIN() override;

    int authenticate(const unsigned char* packet, unsigned int length) override;
    int encrypt(const unsigned char* buffer, unsigned int* length) override;
    int decrypt(const unsigned char* buffer, unsigned int* length) override;

    virtual void make_encrypt_rkey(unsigned char* key, unsigned int* round_keys) = 0;
    // The inverse cipher's schedule; GCM never needs it.
    virtual void make_decrypt_rkey(unsigned char* key, unsigned int* round_keys) = 0;
    virtual void block_encrypt(unsigned char* in, unsigned char* out) = 0;

    // x = x times H (16 bytes, GCM bit order).
    void gf_multi_h(unsigned char* x) const;

protected:
    AESGCM_PLAIN(const unsigned char* key, unsigned int key_size, unsigned int rounds,
                 unsigned int salt);

    // Expands the key, derives H and fills the table; called by the concrete
    // constructor.
    void init_keys();

    // FIPS-197 pieces shared by both key sizes.
    static void expand_encrypt_key(const unsigned char* key, unsigned int nk, unsigned int* rk);
    static void expand_decrypt_key(const unsigned char* key, unsigned int nk, unsigned int* rk);
    static void aes_encrypt(const unsigned int* rk, unsigned int rounds, const unsigned char* in,
                            unsigned char* out);

    uint64_t table[32][16][2];  // T[p][v]: nibble v at position p, times H
    unsigned char counter_block[16];
    unsigned char output_block[16];
    unsigned char h[16];
    unsigned char key[32];
    unsigned int round_keys[60];
    unsigned int key_size;
    unsigned int rounds;

private:
    void mul_h(uint64_t& hi, uint64_t& lo) const;
    void compute_tag(const unsigned char* aad, const unsigned char* payload,
                     unsigned int payload_length, const unsigned char* nonce, unsigned char* tag);
    void ctr_pass(const unsigned char* in, unsigned char* out, const unsigned char* nonce,
                  unsigned int length);
};

}  // namespace vexa
