#include "SSIGServerSSL.h"

#include "Config.h"
#include "SSLContext.h"
#include "vexa_certificate_util_self_signed.h"

#include <boost/filesystem/operations.hpp>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>

namespace vexa {

const char* const evexa_ssl_cert_req_type_strings[4] = {
    "Use external certificate; if failed generate/use a self-signed certificate",
    "Use external certificate",
    "Generate and use a self-signed certificate",
    "max -- error!",
};

namespace {

using boost::log::trivial::error;
using boost::log::trivial::info;

constexpr const char* kEntityName = "VevareviDiravad";
constexpr const char* kIncompatible =
    "SSIGServerSSL failed to set up certificate compatible with the certificate configuration!";
constexpr uint32_t kMinKeyLength = 1024;
constexpr uint32_t kMaxKeyLength = 4096;

bool file_exists(const std::string& path)
{
    boost::system::error_code ec;
    return boost::filesystem::exists(path, ec);
}

}  // namespace

std::string get_ssig_linux_ext_passphrase(std::size_t max_length,
                                          boost::asio::ssl::context_base::password_purpose)
{
    return Config::get_instance()->get("SSLLinuxExtCertPhrase").substr(0, max_length);
}

int SSIGServerSSL::parse_cert_type(const std::string& value)
{
    if (value.size() == 1 && value[0] >= '0' && value[0] <= '2')
        return value[0] - '0';
    return eVEXA_SSL_CERT_MAX;
}

uint32_t SSIGServerSSL::parse_min_key_length(const std::string& value)
{
    const uint32_t bits = static_cast<uint32_t>(std::strtol(value.c_str(), nullptr, 10));
    if (bits > kMaxKeyLength)
        return kMaxKeyLength;
    if (bits < kMinKeyLength)
        return kMinKeyLength;
    return bits;
}

SSIGServerSSL::SSIGServerSSL(boost::asio::io_context& main_io, boost::asio::io_context& aux_io,
                             const std::string& sni)
    : m_self_signed_ctx(boost::asio::ssl::context::sslv23),
      m_self_signed_ready(false),
      m_external_ctx(boost::asio::ssl::context::sslv23),
      m_external_loaded(false),
      m_gateway_ctx(nullptr),
      m_default_kind(-1),
      m_main_io(main_io),
      m_aux_io(aux_io),
      m_sni(sni),
      m_subject{},
      m_min_key_length(kMinKeyLength),
      m_validity_seconds(SELF_SIGNED_VALIDITY_SECONDS),
      m_der_length(0)
{
    try {
        build();
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(m_lg, error)
            << "*** SSIGServerSSL failed to construct the necessary SSIG TLS components: "
            << e.what();
        throw;
    }
}

SSIGServerSSL::~SSIGServerSSL() = default;

void SSIGServerSSL::build()
{
    Config* config = Config::get_instance();
    const int type = parse_cert_type(config->get("SSLCertType"));
    m_min_key_length = parse_min_key_length(config->get("SSLCertMinKeyLength"));

    BOOST_LOG_SEV(m_lg, info) << "Cert config parameters:";
    BOOST_LOG_SEV(m_lg, info) << "  - Certificate Type = " << type << " = "
                              << evexa_ssl_cert_req_type_strings[type];
    BOOST_LOG_SEV(m_lg, info) << "  - Min key length = " << m_min_key_length;
    BOOST_LOG_SEV(m_lg, info) << "  - SG SNI = " << m_sni;

    if (type == eVEXA_SSL_CERT_MAX)
        throw std::runtime_error(kIncompatible);
    if (type == eVEXA_SSL_CERT_EXTERNAL_OR_SELF_SIGNED || type == eVEXA_SSL_CERT_EXTERNAL)
        load_external_certificate(type);
    if (type == eVEXA_SSL_CERT_SELF_SIGNED ||
        (type == eVEXA_SSL_CERT_EXTERNAL_OR_SELF_SIGNED && !m_external_loaded))
        make_self_signed_certificate();
    choose_default_certificate(type);

    if (!X509_NAME_oneline(X509_get_subject_name(m_default_cert.get()), m_subject,
                           sizeof m_subject))
        throw std::runtime_error("SSIGServerSSL failed to read the default certificate's subject!");
    keep_der_bytes();

    BOOST_LOG_SEV(m_lg, info) << "Default certificate is "
                              << (m_default_kind == DEFAULT_CERT_EXTERNAL ? "external"
                                                                          : "self-signed");
    BOOST_LOG_SEV(m_lg, info) << "; certificate has subject name: " << m_subject;
}

void SSIGServerSSL::load_external_certificate(int type)
{
    set_server_ssl_context_options("SSIGServerSSL", m_lg, m_external_ctx);

    Config* config = Config::get_instance();
    const std::string dir = config->get_as_path("SSLCertPath");
    const std::string cert_file = dir + config->get("SSLLinuxExtCert");
    const std::string key_file = dir + config->get("SSLLinuxExtPriv");
    const std::string ca_file = dir + config->get("SSLLinuxExtCA");

    if (file_exists(cert_file) && file_exists(key_file) && file_exists(ca_file)) {
        // Each step throws the TLS library's error named after it.
        m_external_ctx.set_password_callback(get_ssig_linux_ext_passphrase);
        m_external_ctx.use_certificate_file(cert_file, boost::asio::ssl::context::pem);
        m_external_ctx.use_rsa_private_key_file(key_file, boost::asio::ssl::context::pem);
        m_external_ctx.load_verify_file(ca_file);

        BIO* bio = BIO_new_file(cert_file.c_str(), "r");
        if (bio)
            m_external_cert.reset(PEM_read_bio_X509_AUX(bio, nullptr, nullptr, nullptr));
        BIO_free(bio);
        if (!m_external_cert)
            throw std::runtime_error("SSIGServerSSL failed to read the external certificate (" +
                                     cert_file + ")!");
        m_external_loaded = true;
        BOOST_LOG_SEV(m_lg, info) << "Using the external certificate (" << cert_file
                                  << ") for the SSIG TLS connection to the Kavri Client ...";
    } else if (file_exists(cert_file)) {
        BOOST_LOG_SEV(m_lg, info) << "One or more required certificate files not found at " << dir
                                  << ".";
    } else {
        BOOST_LOG_SEV(m_lg, info) << "External certificate (" << cert_file << ") not found.";
    }

    if (type == eVEXA_SSL_CERT_EXTERNAL && !m_external_loaded)
        throw std::runtime_error(
            "SSIGServerSSL failed to set Linux external/installed certificate/context!");
}

void SSIGServerSSL::make_self_signed_certificate()
{
    BOOST_LOG_SEV(m_lg, info) << "Generating and using a self-signed certificate for the SSIG SSL "
                                 "connection to the Kavri Client ...";
    set_server_ssl_context_options("SSIGServerSSL (self-signed context)", m_lg, m_self_signed_ctx);

    m_self_signed.reset(new (std::nothrow) cVEXA_CERT_UTIL_SELF_SIGNED(
        m_min_key_length, m_validity_seconds, kEntityName, m_sni.c_str()));
    if (!m_self_signed)
        throw std::runtime_error("SSIGServerSSL failed to create self-signed cert!");
    if (m_self_signed->setup_server_certificate_and_keys() != 0)
        throw std::runtime_error("SSIGServerSSL failed to set up self-signed cert and keys!");
    if (m_self_signed->use_cert_for_ctx(m_self_signed_ctx.native_handle()) != 0)
        throw std::runtime_error("SSIGServerSSL failed to set self-signed context!");
    // Keeps OpenSSL's default verification callback.
    m_self_signed_ctx.set_verify_mode(boost::asio::ssl::verify_peer);

    m_self_signed_ready = true;
    BOOST_LOG_SEV(m_lg, info) << "Self-signed certificate has been loaded";
    cVEXA_CERT_UTIL::util_print_x509_cert(m_self_signed->get_x509_cert(),
                                          "self-signed x509 certificate");
}

void SSIGServerSSL::choose_default_certificate(int type)
{
    X509* chosen = nullptr;
    if (type == eVEXA_SSL_CERT_EXTERNAL ||
        (type == eVEXA_SSL_CERT_EXTERNAL_OR_SELF_SIGNED && m_external_loaded)) {
        m_gateway_ctx = &m_external_ctx;
        chosen = m_external_cert.get();
        m_default_kind = DEFAULT_CERT_EXTERNAL;
    } else if (type == eVEXA_SSL_CERT_SELF_SIGNED ||
               (type == eVEXA_SSL_CERT_EXTERNAL_OR_SELF_SIGNED && m_self_signed_ready)) {
        m_gateway_ctx = &m_self_signed_ctx;
        chosen = m_self_signed->get_x509_cert();
        m_default_kind = DEFAULT_CERT_SELF_SIGNED;
    } else {
        throw std::runtime_error(kIncompatible);
    }
    m_default_cert.reset(chosen ? X509_dup(chosen) : nullptr);
    if (!m_default_cert)
        throw std::runtime_error("SSIGServerSSL failed to copy the default certificate!");
}

void SSIGServerSSL::keep_der_bytes()
{
    unsigned char* der = nullptr;
    const int length = i2d_X509(m_default_cert.get(), &der);
    if (length <= 0 || !der) {
        OPENSSL_free(der);
        throw std::runtime_error("SSIGServerSSL failed to get cert bytes for thumbprint hash!");
    }
    m_der.reset(new (std::nothrow) unsigned char[length]);
    if (!m_der) {
        OPENSSL_free(der);
        throw std::runtime_error("SSIGServerSSL failed to mallocate cert bytes for thumbprint hash!");
    }
    std::memcpy(m_der.get(), der, static_cast<std::size_t>(length));
    m_der_length = length;
    OPENSSL_free(der);
}

EVP_PKEY* SSIGServerSSL::get_default_private_key() const
{
    return m_gateway_ctx ? SSL_CTX_get0_privatekey(m_gateway_ctx->native_handle()) : nullptr;
}

bool SSIGServerSSL::does_sni_match_cert(const std::string& sni) const
{
    return sni.empty() || std::string_view(m_subject).find(sni) != std::string_view::npos;
}

}  // namespace vexa
