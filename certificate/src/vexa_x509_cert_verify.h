// Checks certificates against CA certificates added to a store of its own.
// A successful verification consumes the store: init_verify is needed again
// before further use. Results: 0, -500 a step failed, -503 not initialised.
//
// Threads: one thread at a time; no lock.
#pragma once

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdint>

class cVEXA_X509_CERT_VERIFY {
public:
    cVEXA_X509_CERT_VERIFY();
    ~cVEXA_X509_CERT_VERIFY();
    cVEXA_X509_CERT_VERIFY(const cVEXA_X509_CERT_VERIFY&) = delete;
    cVEXA_X509_CERT_VERIFY& operator=(const cVEXA_X509_CERT_VERIFY&) = delete;

    // A fresh, empty store (an earlier one is released).
    int init_verify();
    int add_ca_certificate_for_verification(X509* certificate);
    int verify_certificate(X509* certificate);
    void tidy_verify();

    bool is_initialised() const { return m_initialised; }
    uint32_t get_ca_count() const { return m_ca_count; }

private:
    X509_STORE* m_store;
    bool m_initialised;
    uint32_t m_ca_count;
};
