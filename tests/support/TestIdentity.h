// A key and its certificate for a test TLS peer (or a test CA), made in
// process. Immutable once built, so one identity may be shared by threads.
#pragma once

#include "CertTestTools.h"

#include <memory>
#include <string>
#include <vector>

namespace kavri_test {

class TestIdentity {
public:
    using ptr = std::shared_ptr<const TestIdentity>;

    // A self-signed RSA identity with subject CN=cn.
    static ptr self_signed(const std::string& cn, int bits = 2048);
    // A CA identity (basicConstraints CA:TRUE), self-signed.
    static ptr authority(const std::string& cn, int bits = 2048);
    // An identity whose certificate ca signed.
    static ptr issued_by(const TestIdentity& ca, const std::string& cn, int bits = 2048);

    X509* certificate() const { return m_cert.get(); }
    EVP_PKEY* key() const { return m_key.get(); }
    const std::vector<unsigned char>& der() const { return m_der; }
    std::string certificate_pem() const;
    std::string key_pem() const;
    // Writes the certificate and the key as PEM files.
    void write_pem(const std::string& cert_path, const std::string& key_path) const;

private:
    TestIdentity(pkey_ptr key, x509_ptr cert);

    pkey_ptr m_key;
    x509_ptr m_cert;
    std::vector<unsigned char> m_der;
};

}  // namespace kavri_test
