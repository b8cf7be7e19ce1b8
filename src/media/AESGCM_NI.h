// AES-GCM on the AES and carry-less multiply instructions. Blocks are held
// byte-reversed so that PCLMULQDQ works on GCM's reflected bit order; GHASH
// folds four blocks per reduction with the powers H..H^4, kept shifted by one
// bit ("twisted") so no product needs the realigning shift. Every function that
// uses the instructions carries its own target attribute, so the rest of the
// program never meets one the processor may lack.
//
// Threads: no lock; after construction nothing in the engine is written.
#pragma once

#include "AESGCM.h"

#include <emmintrin.h>

namespace vexa {

#define VEXA_AES_NI __attribute__((target("aes,pclmul,ssse3")))

class AESGCM_NI : public AESGCM {
public:
    ~AESGCM_NI() override;

    int authenticate(const unsigned char* packet, unsigned int length) override;
    int encrypt(const unsigned char* buffer, unsigned int* length) override;
    int decrypt(const unsigned char* buffer, unsigned int* length) override;

    virtual void make_encrypt_rkey(const unsigned char* key, __m128i* round_keys) = 0;
    virtual void block_encrypt(unsigned char* in, unsigned char* out) = 0;
    virtual void encrypt_m128i_block(__m128i in, __m128i* out) = 0;

    // Each 32-bit word xor'ed with all the words below it: the running xor
    // of a key-expansion step (plain SSE2).
    static __m128i prefix_xor_words(__m128i k);

protected:
    AESGCM_NI(const unsigned char* key, unsigned int key_size, unsigned int rounds,
              unsigned int salt);

    // Expands the key and derives H and its powers; called by the concrete
    // constructor, where the virtual key schedule is its own.
    void init_keys();

    // One block under the round keys, for the concrete classes' block
    // operations.
    __m128i encrypt_block(__m128i in) const;
    void encrypt_bytes(const unsigned char* in, unsigned char* out) const;

    // Tag of (aad: 8 bytes, payload: payload_length bytes) under nonce.
    void authenticate_esp_pkt(const unsigned char* payload, const unsigned char* aad,
                              const unsigned char* nonce, unsigned int payload_length,
                              unsigned char* tag) const;
    // Counter-mode pass of length bytes from in to out (out may equal in, or
    // lie before it, as decrypt's shift down does) and the tag of the result.
    void encrypt_esp_pkt(const unsigned char* in, unsigned char* out, const unsigned char* aad,
                         const unsigned char* nonce, unsigned int length, unsigned char* tag) const;
    void decrypt_esp_pkt(const unsigned char* in, unsigned char* out, const unsigned char* aad,
                         const unsigned char* nonce, unsigned int length) const;

    __m128i mask;            // byte reversal
    __m128i h_rev;           // H, byte-reversed
    __m128i h_pow[4];        // H, H^2, H^3, H^4, byte-reversed and twisted
    __m128i h_fold[4];       // their halves xor'ed, for Karatsuba
    unsigned char h[16];     // H as computed
    unsigned char key[32];
    __m128i round_keys[15];
    unsigned int key_size;
    unsigned int rounds;

private:
    void ctr_pass(const unsigned char* in, unsigned char* out, const unsigned char* nonce,
                  unsigned int length) const;
};

}  // namespace vexa
