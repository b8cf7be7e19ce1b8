// Test helpers for certificates: a temporary directory, the openssl command
// (bounded in time) and PEM/DER conversions. Used by one test thread.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kavri_test {

class CertTestDir {
public:
    CertTestDir()
    {
        char templ[] = "/tmp/kavri-cert-XXXXXX";
        if (!::mkdtemp(templ))
            throw std::runtime_error("mkdtemp failed");
        m_path = templ;
    }
    ~CertTestDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    CertTestDir(const CertTestDir&) = delete;
    CertTestDir& operator=(const CertTestDir&) = delete;

    // The directory, ending with "/".
    std::string path() const { return m_path + "/"; }
    std::string file(const std::string& name) const { return path() + name; }

private:
    std::string m_path;
};

struct CommandResult {
    int status = -1;
    std::string output;  // standard output and error
};

// Runs a shell command with a time limit of 60 seconds.
inline CommandResult run_command(const std::string& command)
{
    CommandResult r;
    FILE* p = ::popen(("timeout 60 " + command + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

inline void write_file(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<unsigned char> to_der(X509* cert)
{
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    std::vector<unsigned char> out;
    if (n > 0)
        out.assign(der, der + n);
    OPENSSL_free(der);
    return out;
}

inline std::string to_pem(X509* cert)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return pem;
}

inline std::string key_to_pem(EVP_PKEY* key)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return pem;
}

inline X509* read_pem_cert(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return nullptr;
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    return cert;
}

// A CA and a leaf certificate it signed, made with the openssl command; the
// leaf key also exists encrypted with the pass phrase.
struct OpensslPki {
    std::string ca_cert, ca_key, leaf_cert, leaf_key, leaf_key_encrypted;
    std::string passphrase;
};

inline OpensslPki make_openssl_pki(const CertTestDir& dir, const std::string& leaf_cn,
                                   const std::string& passphrase)
{
    OpensslPki pki{dir.file("ca.pem"), dir.file("ca.key"), dir.file("leaf.pem"),
                   dir.file("leaf.key"), dir.file("leaf-enc.key"), passphrase};
    const std::string steps[] = {
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + pki.ca_key + " -out " +
            pki.ca_cert + " -days 30 -subj '/CN=Kavri Test CA'",
        "openssl req -newkey rsa:2048 -nodes -keyout " + pki.leaf_key + " -out " +
            dir.file("leaf.csr") + " -subj '/C=CA/O=Kavri Test/CN=" + leaf_cn + "'",
        "openssl x509 -req -in " + dir.file("leaf.csr") + " -CA " + pki.ca_cert + " -CAkey " +
            pki.ca_key + " -CAcreateserial -out " + pki.leaf_cert + " -days 30",
        "openssl pkey -in " + pki.leaf_key + " -aes256 -passout 'pass:" + passphrase + "' -out " +
            pki.leaf_key_encrypted,
    };
    for (const auto& step : steps) {
        const CommandResult r = run_command(step);
        if (r.status != 0)
            throw std::runtime_error(step + ": " + r.output);
    }
    return pki;
}

struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
struct EvpPkeyDeleter {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using x509_ptr = std::unique_ptr<X509, X509Deleter>;
using pkey_ptr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;

// A fresh RSA key of the given size, made in process.
inline pkey_ptr make_rsa_key(int bits)
{
    return pkey_ptr(EVP_RSA_gen(static_cast<unsigned>(bits)));
}

// A certificate for key with subject CN=cn, valid for days from an hour ago,
// signed by issuer_key under issuer's subject, or self-signed when issuer is
// null. With ca set it carries basicConstraints CA:TRUE.
inline x509_ptr make_certificate(EVP_PKEY* key, const std::string& cn, X509* issuer = nullptr,
                                 EVP_PKEY* issuer_key = nullptr, bool ca = false, int days = 30)
{
    x509_ptr cert(X509_new());
    if (!cert || !key)
        return nullptr;
    static std::atomic<long> serial{1};
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * days);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, NID_basic_constraints,
                                                  ca ? "critical,CA:TRUE" : "CA:FALSE")) {
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (X509_sign(cert.get(), issuer_key ? issuer_key : key, EVP_sha256()) <= 0)
        return nullptr;
    return cert;
}

}  // namespace kavri_test
