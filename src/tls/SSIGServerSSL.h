// The gateway's TLS identity: an external PEM certificate or a generated
// self-signed one, as SSLCertType says, with the TLS context that holds it,
// the default certificate (and its key) that server legs present, its
// subject text for server-name checks and its DER bytes for rtags.
//
// Threads: built on the start-up thread before any event loop runs;
// afterwards only read (main-loop threads, control thread), without a lock.
#pragma once

#include "Log.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>

class cVEXA_CERT_UTIL_SELF_SIGNED;

namespace vexa {

// Values of SSLCertType.
enum eVEXA_SSL_CERT_REQ_TYPE : int {
    eVEXA_SSL_CERT_EXTERNAL_OR_SELF_SIGNED = 0,
    eVEXA_SSL_CERT_EXTERNAL = 1,
    eVEXA_SSL_CERT_SELF_SIGNED = 2,
    eVEXA_SSL_CERT_MAX = 3,  // not a valid configuration
};
extern const char* const evexa_ssl_cert_req_type_strings[4];

// Pass-phrase callback of the external context: SSLLinuxExtCertPhrase cut
// to max_length characters.
std::string get_ssig_linux_ext_passphrase(std::size_t max_length,
                                          boost::asio::ssl::context_base::password_purpose purpose);

class SSIGServerSSL {
public:
    enum DefaultCertKind : int { DEFAULT_CERT_EXTERNAL = 0, DEFAULT_CERT_SELF_SIGNED = 1 };
    static constexpr uint32_t SELF_SIGNED_VALIDITY_SECONDS = 157680000;  // 1825 days

    // Throws std::exception when no certificate fits the configuration.
    SSIGServerSSL(boost::asio::io_context& main_io, boost::asio::io_context& aux_io,
                  const std::string& sni);
    ~SSIGServerSSL();
    SSIGServerSSL(const SSIGServerSSL&) = delete;
    SSIGServerSSL& operator=(const SSIGServerSSL&) = delete;

    // True for an empty name or one found anywhere in the subject text.
    bool does_sni_match_cert(const std::string& sni) const;

    // The context holding the default certificate and its key.
    boost::asio::ssl::context& get_gateway_context() { return *m_gateway_ctx; }
    X509* get_default_certificate() const { return m_default_cert.get(); }
    EVP_PKEY* get_default_private_key() const;
    int get_default_certificate_kind() const { return m_default_kind; }
    const char* get_subject() const { return m_subject; }
    const unsigned char* get_der() const { return m_der.get(); }
    int get_der_length() const { return m_der_length; }
    uint32_t get_min_key_length() const { return m_min_key_length; }
    boost::asio::io_context& get_main_io() const { return m_main_io; }
    boost::asio::io_context& get_aux_io() const { return m_aux_io; }

    // SSLCertType: exactly "0", "1" or "2", else eVEXA_SSL_CERT_MAX.
    static int parse_cert_type(const std::string& value);
    // SSLCertMinKeyLength as strtol reads it, clamped to 1024..4096 as an
    // unsigned 32-bit number.
    static uint32_t parse_min_key_length(const std::string& value);

private:
    struct X509Free {
        void operator()(X509* x) const { X509_free(x); }
    };
    using x509_ptr = std::unique_ptr<X509, X509Free>;

    void build();
    void load_external_certificate(int type);
    void make_self_signed_certificate();
    void choose_default_certificate(int type);
    void keep_der_bytes();

    logger_t m_lg;
    std::unique_ptr<cVEXA_CERT_UTIL_SELF_SIGNED> m_self_signed;
    boost::asio::ssl::context m_self_signed_ctx;
    bool m_self_signed_ready;
    boost::asio::ssl::context m_external_ctx;
    x509_ptr m_external_cert;
    bool m_external_loaded;
    boost::asio::ssl::context* m_gateway_ctx;
    x509_ptr m_default_cert;
    int m_default_kind;
    boost::asio::io_context& m_main_io;
    boost::asio::io_context& m_aux_io;
    std::string m_sni;
    char m_subject[256];
    uint32_t m_min_key_length;
    uint32_t m_validity_seconds;
    std::unique_ptr<unsigned char[]> m_der;
    int m_der_length;
};

}  // namespace vexa
