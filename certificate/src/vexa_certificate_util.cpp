#include "vexa_certificate_util.h"

#include "vexa_certificate_log.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

bool is_hex(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool starts_with(const char* text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Lines that would leak key material or only clutter the log.
bool is_dropped_line(const char* line)
{
    if (starts_with(line, "Validity") || starts_with(line, "Exponent") ||
        starts_with(line, "Modulus") || starts_with(line, "X509v3 "))
        return true;
    return std::strlen(line) > 4 && is_hex(line[0]) && is_hex(line[1]) && line[2] == ':' &&
           is_hex(line[3]) && is_hex(line[4]);
}

}  // namespace

cVEXA_CERT_UTIL::cVEXA_CERT_UTIL() : m_generated(false), m_x509(nullptr), m_pkey(nullptr), m_key_bits(0) {}

cVEXA_CERT_UTIL::~cVEXA_CERT_UTIL()
{
    X509_free(m_x509);
    EVP_PKEY_free(m_pkey);
}

int cVEXA_CERT_UTIL::setup_server_certificate_and_keys()
{
    return 0;
}

int cVEXA_CERT_UTIL::setup_client_certificate_and_keys()
{
    return 0;
}

void cVEXA_CERT_UTIL::cert_util_tidy() {}

int cVEXA_CERT_UTIL::use_priv_key_for_ctx(SSL_CTX*)
{
    return 0;
}

X509* cVEXA_CERT_UTIL::get_x509_cert() const
{
    return m_generated ? m_x509 : nullptr;
}

EVP_PKEY* cVEXA_CERT_UTIL::get_key() const
{
    return m_generated ? m_pkey : nullptr;
}

void cVEXA_CERT_UTIL::print_x509_cert() const
{
    if (m_generated && m_x509)
        X509_print_ex_fp(stdout, m_x509, 0, 0);
}

void cVEXA_CERT_UTIL::util_print_x509_cert(X509* certificate, const char* caption)
{
    if (!certificate) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR,
                      "print_x509_cert routine was called with no certificate (cert=NULL)!");
        return;
    }
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR, "print_x509_cert: BIO_new failed.");
        return;
    }
    if (X509_print_ex(bio, certificate, XN_FLAG_SEP_COMMA_PLUS,
                      X509_FLAG_NO_HEADER | X509_FLAG_NO_VERSION | X509_FLAG_NO_SERIAL |
                          X509_FLAG_NO_SIGDUMP) != 1) {
        VEXA_CERT_LOG(VEXA_XML_LOG_ERROR, "print_x509_cert: X509_print_ex failed.");
        BIO_free(bio);
        return;
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::unique_ptr<char[]> text(new (std::nothrow) char[length > 0 ? length + 1 : 1]);
    if (!text) {
        BIO_free(bio);
        return;
    }
    if (length > 0 && data)
        std::memcpy(text.get(), data, static_cast<std::size_t>(length));
    text[length > 0 ? length : 0] = '\0';

    if (caption)
        VEXA_CERT_LOG(VEXA_XML_LOG_INFO, "%s:", caption);
    util_log_x509_info(text.get());
    BIO_free(bio);
}

void cVEXA_CERT_UTIL::util_log_x509_info(char* text)
{
    if (!text)
        return;
    char* p = text;
    for (;;) {
        while (*p && std::isspace(static_cast<unsigned char>(*p)))
            ++p;
        if (!*p)
            break;
        char* line = p;
        char* run = std::strstr(p, "     ");
        if (run) {
            // The character before the run (normally the line break) ends
            // the line; the run is the next line's indentation.
            run[-1] = '\0';
            p = run + 5;
        } else {
            p += std::strlen(p);
        }
        // The printout's last line keeps its line break otherwise.
        for (char* end = line + std::strlen(line);
             end > line && (end[-1] == '\n' || end[-1] == '\r'); --end)
            end[-1] = '\0';
        if (!is_dropped_line(line))
            VEXA_CERT_LOG(VEXA_XML_LOG_INFO, "   --> %s", line);
    }
}

X509* get_x509_cert_from_der(const char* der, unsigned int length)
{
    // OpenSSL takes an int, and -1 would mean "up to the NUL".
    if (length > static_cast<unsigned int>(INT_MAX)) {
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL, "get_x509_cert_from_der: DER length %u not valid.",
                      length);
        return nullptr;
    }
    BIO* bio = der ? BIO_new_mem_buf(der, static_cast<int>(length)) : nullptr;
    if (!bio) {
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL, "get_x509_cert_from_der: BIO_new_mem_buf_fn call failed.");
        return nullptr;
    }
    X509* certificate = d2i_X509_bio(bio, nullptr);
    if (!certificate)
        VEXA_CERT_LOG(VEXA_XML_LOG_DETAIL,
                      "get_x509_cert_from_der: d2i_X509_bio call failed to decode x509 cert from DER.");
    BIO_free(bio);
    return certificate;
}
