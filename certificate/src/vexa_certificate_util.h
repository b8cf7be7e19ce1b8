// Base of the certificate utilities: owns an X.509 certificate and its
// private key, installs them into TLS contexts and prints certificates into
// the log. Results: 0 success, -500 an OpenSSL step failed, -503 no
// certificate yet.
//
// Threads: made, set up and installed on one thread; afterwards only read.
// No lock.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdint>

class cVEXA_CERT_UTIL {
public:
    cVEXA_CERT_UTIL();
    // Releases the certificate and key (contexts keep references of their own).
    virtual ~cVEXA_CERT_UTIL();
    cVEXA_CERT_UTIL(const cVEXA_CERT_UTIL&) = delete;
    cVEXA_CERT_UTIL& operator=(const cVEXA_CERT_UTIL&) = delete;

    virtual int setup_server_certificate_and_keys();
    virtual int setup_client_certificate_and_keys();
    virtual void cert_util_tidy();
    virtual int use_cert_for_ctx(SSL_CTX* ctx) = 0;
    virtual int use_priv_key_for_ctx(SSL_CTX* ctx);

    // Null unless generated.
    X509* get_x509_cert() const;
    EVP_PKEY* get_key() const;
    uint32_t get_key_length() const { return m_key_bits; }

    // The whole certificate on standard output, while generated.
    void print_x509_cert() const;

    // Logs a certificate's printout at level 2 without key material,
    // validity, extension headers and byte dumps.
    static void util_print_x509_cert(X509* certificate, const char* caption);
    // Logs the lines of a printout, cutting text in place.
    static void util_log_x509_info(char* text);

protected:
    bool m_generated;
    X509* m_x509;
    EVP_PKEY* m_pkey;
    uint32_t m_key_bits;
};

// Decodes a DER certificate; null (and logged) when it does not decode or the
// length does not fit OpenSSL's int.
X509* get_x509_cert_from_der(const char* der, unsigned int length);
