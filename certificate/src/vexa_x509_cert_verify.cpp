#include "vexa_x509_cert_verify.h"

#include "vexa_certificate_log.h"

namespace {

int verify_callback(int ok, X509_STORE_CTX* ctx)
{
    if (ok == 0) {
        const char* reason = X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL,
                      "verify_callback: certificate did not pass verification, openssl returned error: %s",
                      reason ? reason : "unknown");
    }
    return ok;
}

}  // namespace

cVEXA_X509_CERT_VERIFY::cVEXA_X509_CERT_VERIFY() : m_store(nullptr), m_initialised(false), m_ca_count(0) {}

cVEXA_X509_CERT_VERIFY::~cVEXA_X509_CERT_VERIFY()
{
    tidy_verify();
}

int cVEXA_X509_CERT_VERIFY::init_verify()
{
    tidy_verify();
    m_store = X509_STORE_new();
    if (!m_store) {
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL, "init_verify: Error creating X509_STORE object");
        return VEXA_ERR_INVALID_CONTENT;
    }
    X509_STORE_set_verify_cb(m_store, verify_callback);
    m_initialised = true;
    return VEXA_XML_SUCCESS;
}

int cVEXA_X509_CERT_VERIFY::add_ca_certificate_for_verification(X509* certificate)
{
    if (!m_initialised || !m_store) {
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL, "add_ca_certificate: cert verify not initialized.");
        return VEXA_ERR_NO_CERTIFICATE;
    }
    if (X509_STORE_add_cert(m_store, certificate) != 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL, "add_ca_certificate: X509_STORE_add_cert_fn error.");
        return VEXA_ERR_INVALID_CONTENT;
    }
    ++m_ca_count;
    return VEXA_XML_SUCCESS;
}

int cVEXA_X509_CERT_VERIFY::verify_certificate(X509* certificate)
{
    if (!m_initialised || !m_store) {
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL, "verify_certificate: cert verify not initialized.");
        return VEXA_ERR_NO_CERTIFICATE;
    }
    if (m_ca_count == 0) {
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL, "verify_certificate: No CA certs added to verify against.");
        return VEXA_ERR_INVALID_CONTENT;
    }
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    if (!ctx) {
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL, "verify_certificate: Error creating X509_STORE_CTX object.");
        return VEXA_ERR_INVALID_CONTENT;
    }
    if (X509_STORE_CTX_init(ctx, m_store, certificate, nullptr) != 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL, "verify_certificate: Error initializing verification context.");
        X509_STORE_CTX_free(ctx);
        return VEXA_ERR_INVALID_CONTENT;
    }
    if (X509_verify_cert(ctx) != 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL, "verify_certificate: Certificate failed verification.");
        X509_STORE_CTX_free(ctx);
        return VEXA_ERR_INVALID_CONTENT;
    }
    X509_STORE_CTX_free(ctx);
    // The store is spent; a later use must start with init_verify.
    tidy_verify();
    return VEXA_XML_SUCCESS;
}

void cVEXA_X509_CERT_VERIFY::tidy_verify()
{
    X509_STORE_free(m_store);
    m_store = nullptr;
    m_initialised = false;
    m_ca_count = 0;
}
