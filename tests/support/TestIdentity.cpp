#include "TestIdentity.h"

#include <stdexcept>

namespace kavri_test {

namespace {

TestIdentity::ptr checked(TestIdentity::ptr p)
{
    if (!p->certificate() || !p->key())
        throw std::runtime_error("test identity: key or certificate generation failed");
    return p;
}

}  // namespace

TestIdentity::TestIdentity(pkey_ptr key, x509_ptr cert)
    : m_key(std::move(key)), m_cert(std::move(cert))
{
    if (m_cert)
        m_der = to_der(m_cert.get());
}

TestIdentity::ptr TestIdentity::self_signed(const std::string& cn, int bits)
{
    pkey_ptr key = make_rsa_key(bits);
    x509_ptr cert = make_certificate(key.get(), cn);
    return checked(ptr(new TestIdentity(std::move(key), std::move(cert))));
}

TestIdentity::ptr TestIdentity::authority(const std::string& cn, int bits)
{
    pkey_ptr key = make_rsa_key(bits);
    x509_ptr cert = make_certificate(key.get(), cn, nullptr, nullptr, true);
    return checked(ptr(new TestIdentity(std::move(key), std::move(cert))));
}

TestIdentity::ptr TestIdentity::issued_by(const TestIdentity& ca, const std::string& cn, int bits)
{
    pkey_ptr key = make_rsa_key(bits);
    x509_ptr cert = make_certificate(key.get(), cn, ca.certificate(), ca.key());
    return checked(ptr(new TestIdentity(std::move(key), std::move(cert))));
}

std::string TestIdentity::certificate_pem() const
{
    return to_pem(m_cert.get());
}

std::string TestIdentity::key_pem() const
{
    return key_to_pem(m_key.get());
}

void TestIdentity::write_pem(const std::string& cert_path, const std::string& key_path) const
{
    write_file(cert_path, certificate_pem());
    write_file(key_path, key_pem());
}

}  // namespace kavri_test
