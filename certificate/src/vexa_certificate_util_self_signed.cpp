#include "vexa_certificate_util_self_signed.h"

#include "vexa_certificate_log.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <memory>

namespace {

// Fixed subject entries of the generated certificate.
constexpr const char* kCountry = "CA";
constexpr const char* kProvince = "Province";
constexpr const char* kLocality = "Locality";
constexpr const char* kOrganization = "Vexanode Corporation";
constexpr const char* kOrganizationalUnit = "SoftKavri";

// Registered for compatibility only; nothing is added to the certificate.
constexpr const char* kExtensionOid = "2.99999.3";
constexpr const char* kExtensionShortName = "SET_ex3";
constexpr const char* kExtensionLongName = "SET x509v3 extension 3";

int last_error()
{
    return static_cast<int>(ERR_peek_last_error());
}

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(RSA* p) const { RSA_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(X509_REQ* p) const { X509_REQ_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(ASN1_INTEGER* p) const { ASN1_INTEGER_free(p); }
};
template <class T>
using owned = std::unique_ptr<T, Free>;

owned<EVP_PKEY> generate_rsa_key_pair(unsigned int key_bits)
{
    owned<EVP_PKEY> pkey(EVP_PKEY_new());
    if (!pkey) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_rsa_key_pair: Allocating EVP_PKEY object for new key pair failed. err=%d",
                      last_error());
        return nullptr;
    }
    owned<RSA> rsa(RSA_new());
    if (!rsa) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_rsa_key_pair: Allocating RSA object for new key pair failed. err=%d",
                      last_error());
        return nullptr;
    }
    owned<BIGNUM> exponent(BN_new());
    if (!exponent) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_rsa_key_pair: Allocating BN object for new key pair failed. err=%d",
                      last_error());
        return nullptr;
    }
    if (BN_set_word(exponent.get(), RSA_F4) != 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_rsa_key_pair: Setting public exponent failed. err=%d", last_error());
        return nullptr;
    }
    if (RSA_generate_key_ex(rsa.get(), static_cast<int>(key_bits), exponent.get(), nullptr) != 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_rsa_key_pair: Generating RSA key pair failed. err=%d", last_error());
        return nullptr;
    }
    if (EVP_PKEY_assign(pkey.get(), EVP_PKEY_RSA, rsa.get()) != 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_rsa_key_pair: Assigning RSA key pair to EVP_PKEY failed. err=%d",
                      last_error());
        return nullptr;
    }
    rsa.release();  // owned by pkey now
    return pkey;
}

owned<X509_REQ> generate_signature_request(EVP_PKEY* pkey, const char* entity,
                                           const char* common_name)
{
    owned<X509_REQ> req(X509_REQ_new());
    if (!req) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_signature_request: Allocating X509 request failed. err=%d",
                      last_error());
        return nullptr;
    }
    X509_NAME* name = X509_REQ_get_subject_name(req.get());
    const struct {
        int nid;
        const char* value;
    } entries[] = {
        {NID_countryName, kCountry},
        {NID_stateOrProvinceName, kProvince},
        {NID_localityName, kLocality},
        {NID_organizationName, kOrganization},
        {NID_organizationalUnitName, kOrganizationalUnit},
        {NID_pkcs9_contentType, entity},
        {NID_commonName, common_name},
    };
    for (const auto& e : entries) {
        if (!name ||
            X509_NAME_add_entry_by_NID(name, e.nid, MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>(e.value), -1, -1,
                                       0) != 1) {
            VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                          "generate_signature_request: Adding entry to X509 request subject name failed. err=%d",
                          last_error());
            return nullptr;
        }
    }
    if (X509_REQ_set_pubkey(req.get(), pkey) != 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_signature_request: Adding public key to X509 request failed. err=%d",
                      last_error());
        return nullptr;
    }
    if (X509_REQ_sign(req.get(), pkey, EVP_sha384()) <= 0) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_signature_request: Completing the X509 signing request failed. err=%d",
                      last_error());
        return nullptr;
    }
    return req;
}

// OpenSSL 3.0 refuses to register an object twice in one process.
bool register_extension_object()
{
    if (OBJ_sn2nid(kExtensionShortName) != NID_undef)
        return true;
    if (OBJ_create(kExtensionOid, kExtensionShortName, kExtensionLongName) != NID_undef)
        return true;
    if (OBJ_sn2nid(kExtensionShortName) != NID_undef) {  // another thread was first
        ERR_clear_error();
        return true;
    }
    return false;
}

owned<X509> generate_signed_certificate(X509_REQ* req, EVP_PKEY* pkey,
                                        unsigned int validity_seconds)
{
    owned<BIGNUM> serial(BN_new());
    if (!serial) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_serial_number: Allocating BN for certificate serial number failed. err=%d",
                      last_error());
        return nullptr;
    }
    owned<ASN1_INTEGER> serial_asn1(ASN1_INTEGER_new());
    if (!serial_asn1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_serial_number: Allocating ASN1 integer for certificate serial number failed. err=%d",
                      last_error());
        return nullptr;
    }
    owned<X509> cert(X509_new());
    if (!cert) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_signed_certificate: Allocating X509 certificate failed. err=%d",
                      last_error());
        return nullptr;
    }
    // 64 bits with the top bit set.
    if (BN_rand(serial.get(), 64, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) != 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_serial_number: Generating certificate serial number failed. err=%d",
                      last_error());
        return nullptr;
    }
    if (!BN_to_ASN1_INTEGER(serial.get(), serial_asn1.get())) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_serial_number: Converting certificate serial number to ASN1 failed. err=%d",
                      last_error());
        return nullptr;
    }

    auto failed = [](const char* what) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR, "generate_signed_certificate: %s err=%d", what,
                      last_error());
        return nullptr;
    };
    X509* x = cert.get();
    X509_NAME* subject = X509_REQ_get_subject_name(req);
    if (X509_set_serialNumber(x, serial_asn1.get()) != 1)
        return failed("Setting certificate serial number failed.");
    if (X509_set_issuer_name(x, subject) != 1)
        return failed("Setting certificate issuer name failed.");
    if (X509_set_subject_name(x, subject) != 1)
        return failed("Setting certificate subject name failed.");
    if (X509_set_pubkey(x, pkey) != 1)
        return failed("Setting certificate public key failed.");
    if (!register_extension_object())
        return failed("Creating v3 extension object failed.");
    if (X509_set_issuer_name(x, subject) != 1)
        return failed("Setting certificate v3 extension issuer name failed.");
    if (!X509_gmtime_adj(X509_getm_notBefore(x), 0))
        return failed("Setting certificate v3 extension valid-after date failed.");
    if (!X509_gmtime_adj(X509_getm_notAfter(x), static_cast<long>(validity_seconds)))
        return failed("Setting certificate v3 extension valid-until date failed.");
    if (X509_set_pubkey(x, pkey) != 1)
        return failed("Setting certificate v3 extension public key failed.");
    if (X509_sign(x, pkey, EVP_sha384()) <= 0)
        return failed("Signing certificate failed.");
    return cert;
}

// 0 with both outputs set, or -500 with nothing stored.
int generate_self_signed_cert_and_keypair(unsigned int key_bits, unsigned int validity_seconds,
                                          char* entity, char* common_name,
                                          X509** certificate_out, EVP_PKEY** key_out)
{
    if (!certificate_out) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_self_signed_cert_and_keypair: No pointer provided for storing a certificate");
        return VEXA_ERR_INVALID_CONTENT;
    }
    if (!key_out) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "generate_self_signed_cert_and_keypair: No pointer provided for storing a private key");
        return VEXA_ERR_INVALID_CONTENT;
    }
    owned<EVP_PKEY> pkey = generate_rsa_key_pair(key_bits);
    if (!pkey)
        return VEXA_ERR_INVALID_CONTENT;
    owned<X509_REQ> req = generate_signature_request(pkey.get(), entity, common_name);
    if (!req)
        return VEXA_ERR_INVALID_CONTENT;
    owned<X509> cert = generate_signed_certificate(req.get(), pkey.get(), validity_seconds);
    if (!cert)
        return VEXA_ERR_INVALID_CONTENT;
    *certificate_out = cert.release();
    *key_out = pkey.release();
    return VEXA_XML_SUCCESS;
}

void copy_name(char* field, const char* name)
{
    field[0] = '\0';
    if (name)
        kavri_strncpy_s(field, cVEXA_CERT_UTIL_SELF_SIGNED::NAME_SIZE, name,
                        cVEXA_CERT_UTIL_SELF_SIGNED::NAME_SIZE - 1);
}

}  // namespace

cVEXA_CERT_UTIL_SELF_SIGNED::cVEXA_CERT_UTIL_SELF_SIGNED(unsigned int key_bits,
                                                         unsigned int validity_seconds,
                                                         const char* entity,
                                                         const char* common_name)
    : m_requested_key_bits(key_bits), m_validity_seconds(validity_seconds)
{
    copy_name(m_entity, entity);
    copy_name(m_common_name, common_name);
    m_generated = false;
}

cVEXA_CERT_UTIL_SELF_SIGNED::~cVEXA_CERT_UTIL_SELF_SIGNED()
{
    m_generated = false;
}

int cVEXA_CERT_UTIL_SELF_SIGNED::setup_server_certificate_and_keys()
{
    if (m_generated)
        return VEXA_XML_SUCCESS;
    X509* certificate = nullptr;
    EVP_PKEY* key = nullptr;
    const int result = generate_self_signed_cert_and_keypair(
        m_requested_key_bits, m_validity_seconds, m_entity, m_common_name, &certificate, &key);
    if (result != 0)
        return result;
    // A pair left by an earlier set-up (before cert_util_tidy) is replaced.
    X509_free(m_x509);
    EVP_PKEY_free(m_pkey);
    m_x509 = certificate;
    m_pkey = key;
    m_generated = true;
    m_key_bits = m_requested_key_bits;
    print_x509_cert();
    return VEXA_XML_SUCCESS;
}

void cVEXA_CERT_UTIL_SELF_SIGNED::cert_util_tidy()
{
    m_generated = false;
}

int cVEXA_CERT_UTIL_SELF_SIGNED::use_cert_for_ctx(SSL_CTX* ctx)
{
    if (!m_generated)
        return VEXA_ERR_NO_CERTIFICATE;
    if (!m_pkey || !ctx) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR, "use_cert_for_ctx: no key or no context.");
        return VEXA_ERR_INVALID_CONTENT;
    }
    int err = SSL_CTX_use_certificate(ctx, m_x509);
    if (err < 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR, "use_cert_for_ctx: SSL_CTX_use_certificate_fn failed err=%d",
                      err);
        ERR_print_errors_fp(stderr);
        return VEXA_ERR_INVALID_CONTENT;
    }
    err = SSL_CTX_use_PrivateKey(ctx, m_pkey);
    if (err < 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR, "use_cert_for_ctx: SSL_CTX_use_PrivateKey: err=%d", err);
        ERR_print_errors_fp(stderr);
        return VEXA_ERR_INVALID_CONTENT;
    }
    err = SSL_CTX_check_private_key(ctx);
    if (err < 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "set_ctx_with_cert_and_key: SSL_CTX_check_private_key: err=%d", err);
        ERR_print_errors_fp(stderr);
        return VEXA_ERR_INVALID_CONTENT;
    }
    return VEXA_XML_SUCCESS;
}
