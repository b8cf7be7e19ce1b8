// A certificate utility that generates its own RSA key pair and a
// self-signed X.509 (version 1) certificate with a fixed subject layout.
//
// Threads: made, set up and installed on one thread; afterwards only read.
// No lock.
#pragma once

#include "vexa_certificate_util.h"

class cVEXA_CERT_UTIL_SELF_SIGNED : public cVEXA_CERT_UTIL {
public:
    static constexpr std::size_t NAME_SIZE = 256;  // 255 characters and a NUL

    // The names are copied, cut to 255 characters; null reads as empty.
    cVEXA_CERT_UTIL_SELF_SIGNED(unsigned int key_bits, unsigned int validity_seconds,
                                const char* entity, const char* common_name);
    ~cVEXA_CERT_UTIL_SELF_SIGNED() override;

    // Generates once; later calls return 0 until cert_util_tidy.
    int setup_server_certificate_and_keys() override;
    // Clears the generated mark only: the next set-up makes a new pair.
    void cert_util_tidy() override;
    // Certificate, key and their match check into ctx.
    int use_cert_for_ctx(SSL_CTX* ctx) override;

    const char* get_entity_name() const { return m_entity; }
    const char* get_common_name() const { return m_common_name; }

private:
    uint32_t m_requested_key_bits;
    uint32_t m_validity_seconds;
    char m_entity[NAME_SIZE];
    char m_common_name[NAME_SIZE];
};
