#include "SSIGServerSSL.h"

#include "../../certificate/CertTestTools.h"
#include "CipherList.h"
#include "Config.h"
#include "LogCapture.h"
#include "SSLTestHandshake.h"
#include "Startup.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>

#ifndef KAVRI_SOURCE_DIR
#error "KAVRI_SOURCE_DIR must name the source tree"
#endif

namespace {

using boost::log::trivial::error;
using boost::log::trivial::info;
using boost::log::trivial::warning;
using kavri_test::CertTestDir;
using kavri_test::run_command;
using vexa::SSIGServerSSL;

const char* const kPrefix = "*** SSIGServerSSL failed to construct the necessary SSIG TLS components: ";

void set(const std::string& key, const std::string& value)
{
    vexa::Config::get_instance()->set(key, value);
}

// Defaults and the settled cipher list as the program's entry makes them,
// then an openssl-made CA and leaf for the external certificate, once.
struct Pki {
    CertTestDir dir;
    kavri_test::OpensslPki files;
    std::string cipher_list;
    Pki()
    {
        vexa::Config& c = *vexa::Config::get_instance();
        vexa::register_defaults(c);
        vexa::logger_t lg;
        vexa::settle_cipher_list(c, lg);
        cipher_list = c.get("SSLCipherList");
        files = kavri_test::make_openssl_pki(dir, "gw.kavri.test", "pass phrase 1");
    }
};

Pki& pki()
{
    static Pki p;
    return p;
}

// A certificate directory for one test: the external files (those named are
// copied from the shared PKI) and the settings that point at them.
class ExternalFiles {
public:
    explicit ExternalFiles(std::map<std::string, std::string> files)
    {
        for (const auto& f : files)
            kavri_test::write_file(m_dir.file(f.first), f.second);
        set("SSLCertPath", m_dir.path());
        set("SSLLinuxExtCert", "cert.pem");
        set("SSLLinuxExtPriv", "key.pem");
        set("SSLLinuxExtCA", "ca.pem");
    }
    std::string path() const { return m_dir.path(); }
    std::string file(const std::string& name) const { return m_dir.file(name); }

private:
    CertTestDir m_dir;
};

std::map<std::string, std::string> good_files()
{
    return {{"cert.pem", kavri_test::read_file(pki().files.leaf_cert)},
            {"key.pem", kavri_test::read_file(pki().files.leaf_key)},
            {"ca.pem", kavri_test::read_file(pki().files.ca_cert)}};
}

class SSIGServerSSLTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        pki();
        set("SSLCipherList", pki().cipher_list);
        set("SSLCertMinKeyLength", "2048");
        set("SSLLinuxExtCertPhrase", "");
        set("SSLCertPath", "/nonexistent/kavri/certs/");
        log.clear();
    }

    std::unique_ptr<SSIGServerSSL> build(const std::string& sni = "gw.kavri.test")
    {
        return std::make_unique<SSIGServerSSL>(main_io, aux_io, sni);
    }
    // The exception's text of a construction that must fail.
    std::string build_error(const std::string& sni = "gw.kavri.test")
    {
        try {
            build(sni);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(no exception)";
    }

    boost::asio::io_context main_io, aux_io;
    LogCapture log;
};

// A client that trusts the given CA file (or nothing, verify-none).
std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> client_ctx(const std::string& ca_file)
{
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                        SSL_CTX_free);
    if (!ca_file.empty()) {
        SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr);
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    }
    return ctx;
}

std::vector<unsigned char> der_of(const SSIGServerSSL& s)
{
    return std::vector<unsigned char>(s.get_der(), s.get_der() + s.get_der_length());
}

TEST_F(SSIGServerSSLTest, DemoConfigurationGeneratesAVerifiableCertificate)
{
    // Every setting of the demo file, with the certificate path redirected.
    std::ifstream demo(std::string(KAVRI_SOURCE_DIR) + "/conf/demo.conf");
    ASSERT_TRUE(demo.is_open());
    std::string line, key, value;
    while (std::getline(demo, line))
        if (vexa::Config::parse_line(line, key, value))
            set(key, value);
    CertTestDir certs;
    set("SSLCertPath", certs.path());
    const std::string sni = vexa::Config::get_instance()->get("SSLCertKsgSni");

    auto ssl = build(sni);
    EXPECT_EQ(ssl->get_default_certificate_kind(), SSIGServerSSL::DEFAULT_CERT_SELF_SIGNED);
    for (const char* text :
         {"Cert config parameters:",
          "  - Certificate Type = 2 = Generate and use a self-signed certificate",
          "  - Min key length = 2048", "Self-signed certificate has been loaded",
          "Default certificate is self-signed"})
        EXPECT_TRUE(log.has(info, text)) << text << "\n" << log.text();
    EXPECT_TRUE(log.has(info, "  - SG SNI = " + sni));
    EXPECT_TRUE(log.has(info, "; certificate has subject name: /C=CA/ST=Province/L=Locality/"
                              "O=Vexanode Corporation/OU=SoftKavri/contentType=VevareviDiravad/CN=" +
                                  sni))
        << log.text();
    EXPECT_EQ(log.count_messages("not found"), 0u);

    // The openssl command accepts the certificate as its own issuer.
    const std::string pem = certs.file("default.pem");
    kavri_test::write_file(pem, kavri_test::to_pem(ssl->get_default_certificate()));
    const auto verify = run_command("openssl verify -CAfile " + pem + " " + pem);
    EXPECT_EQ(verify.status, 0) << verify.output;
    const auto text = run_command("openssl x509 -in " + pem + " -noout -text");
    EXPECT_NE(text.output.find("Public-Key: (2048 bit)"), std::string::npos) << text.output;

    // The DER bytes are the certificate in the gateway context, and the key
    // there belongs to it.
    SSL_CTX* gw = ssl->get_gateway_context().native_handle();
    EXPECT_EQ(der_of(*ssl), kavri_test::to_der(SSL_CTX_get0_certificate(gw)));
    ASSERT_NE(ssl->get_default_private_key(), nullptr);
    EXPECT_EQ(X509_check_private_key(ssl->get_default_certificate(), ssl->get_default_private_key()), 1);
    EXPECT_NE(ssl->get_default_certificate(), SSL_CTX_get0_certificate(gw));  // an own copy

    // Valid for 1825 days from now; the context asks peers for a certificate
    // with OpenSSL's default check.
    int days = -1, seconds = -1;
    EXPECT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(ssl->get_default_certificate()),
                             X509_get0_notAfter(ssl->get_default_certificate())),
              1);
    EXPECT_EQ(days * 86400LL + seconds, 157680000LL);
    EXPECT_EQ(X509_cmp_current_time(X509_get0_notBefore(ssl->get_default_certificate())), -1);
    EXPECT_EQ(SSL_CTX_get_verify_mode(gw), SSL_VERIFY_PEER);
    EXPECT_EQ(SSL_CTX_get_verify_callback(gw), nullptr);

    // A client that trusts only this certificate completes a handshake.
    auto client = client_ctx(pem);
    const auto hs = kavri_test::tls_handshake(ssl->get_gateway_context(), client.get(), sni);
    EXPECT_TRUE(hs.server_ok) << hs.server_error;
    ASSERT_TRUE(hs.client_ok) << hs.client_error;
    EXPECT_EQ(hs.verify_result, X509_V_OK);
    EXPECT_EQ(hs.version, "TLSv1.2");
    EXPECT_EQ(hs.peer_der, der_of(*ssl));
    EXPECT_NE(pki().cipher_list.find(hs.cipher), std::string::npos) << hs.cipher;

    // Server-name checks: a plain substring test on the subject text.
    const struct {
        std::string name;
        bool match;
    } names[] = {{"", true}, {sni, true}, {"Vexanode Corporation", true}, {"C=CA", true},
                 {"other.example", false}, {"*", false}, {sni + "x", false}};
    for (const auto& n : names)
        EXPECT_EQ(ssl->does_sni_match_cert(n.name), n.match) << n.name;
}

struct TypeCase {
    const char* type;
    const char* min_key;
    uint32_t logged_key;
};

TEST_F(SSIGServerSSLTest, InvalidTypeFailsBeforeAnyFileAndLogsTheClampedKeyLength)
{
    const TypeCase cases[] = {
        {"", "512", 1024},    {"01", "8192", 4096}, {"3", "-1", 4096},
        {"a", "abc", 1024},   {" 2", "", 1024},     {"2 ", "99999999999", 4096},
        {"10", "2048", 2048}, {"-1", "1024", 1024}, {"x", "4096", 4096},
    };
    ExternalFiles files(good_files());  // present, yet never looked at
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("type '") + c.type + "' key '" + c.min_key + "'");
        set("SSLCertType", c.type);
        set("SSLCertMinKeyLength", c.min_key);
        log.clear();
        const std::string message =
            "SSIGServerSSL failed to set up certificate compatible with the certificate configuration!";
        EXPECT_EQ(build_error(), message);
        EXPECT_TRUE(log.has(info, "  - Certificate Type = 3 = max -- error!")) << log.text();
        EXPECT_TRUE(log.has(info, "  - Min key length = " + std::to_string(c.logged_key)));
        EXPECT_TRUE(log.has(error, kPrefix + message));
        EXPECT_EQ(log.lines().size(), 5u) << log.text();  // the four above and the error
        EXPECT_EQ(SSIGServerSSL::parse_min_key_length(c.min_key), c.logged_key);
    }
}

// Security level 1 lets the configured 1024-bit floor work where OpenSSL
// 3.0's default level refuses such a key.
TEST_F(SSIGServerSSLTest, ClampedMinimumIsTheGeneratedKeyLength)
{
    set("SSLCertType", "2");
    set("SSLCertMinKeyLength", "512");
    set("SSLCipherList", "BOGUS");
    auto ssl = build("*.kavri.test");
    EXPECT_EQ(ssl->get_min_key_length(), 1024u);
    EXPECT_EQ(EVP_PKEY_bits(X509_get0_pubkey(ssl->get_default_certificate())), 1024);
    EXPECT_TRUE(log.has(info, "  - Min key length = 1024"));

    // Only the self-signed context was given options: the external one is
    // never touched for type 2.
    EXPECT_TRUE(log.has(warning, "SSIGServerSSL (self-signed context): Failed to set "
                                 "client-facing cipher list - no cipher match"))
        << log.text();
    EXPECT_EQ(log.count_messages("SSIGServerSSL: "), 0u) << log.text();
    EXPECT_EQ(log.count_messages("not found"), 0u);

    // No wildcard rule: an asterisk in the subject matches only itself.
    EXPECT_FALSE(ssl->does_sni_match_cert("gw.kavri.test"));
    EXPECT_TRUE(ssl->does_sni_match_cert("*.kavri.test"));
}

TEST_F(SSIGServerSSLTest, OneThousandTwentyFourBitCertificateServesADefaultClient)
{
    set("SSLCertType", "2");
    set("SSLCertMinKeyLength", "1024");
    auto ssl = build();
    auto client = client_ctx("");
    const auto hs = kavri_test::tls_handshake(ssl->get_gateway_context(), client.get(), "");
    EXPECT_TRUE(hs.server_ok) << hs.server_error;
    EXPECT_TRUE(hs.client_ok) << hs.client_error;
    EXPECT_EQ(hs.peer_der, der_of(*ssl));
}

TEST_F(SSIGServerSSLTest, ExternalCertificateServesAClientThatTrustsItsCA)
{
    for (const char* type : {"1", "0"}) {
        SCOPED_TRACE(type);
        set("SSLCertType", type);
        ExternalFiles files(good_files());
        log.clear();
        auto ssl = build();
        EXPECT_EQ(ssl->get_default_certificate_kind(), SSIGServerSSL::DEFAULT_CERT_EXTERNAL);
        EXPECT_TRUE(log.has(info, "Using the external certificate (" + files.file("cert.pem") +
                                      ") for the SSIG TLS connection to the Kavri Client ..."))
            << log.text();
        EXPECT_TRUE(log.has(info, "Default certificate is external"));
        EXPECT_TRUE(log.has(info, "; certificate has subject name: /C=CA/O=Kavri Test/CN=gw.kavri.test"));
        EXPECT_EQ(log.count_messages("Generating and using a self-signed"), 0u) << log.text();

        std::unique_ptr<X509, decltype(&X509_free)> leaf(
            kavri_test::read_pem_cert(pki().files.leaf_cert), X509_free);
        EXPECT_EQ(der_of(*ssl), kavri_test::to_der(leaf.get()));
        EXPECT_EQ(X509_check_private_key(leaf.get(), ssl->get_default_private_key()), 1);

        auto client = client_ctx(pki().files.ca_cert);
        const auto hs =
            kavri_test::tls_handshake(ssl->get_gateway_context(), client.get(), "gw.kavri.test");
        EXPECT_TRUE(hs.server_ok) << hs.server_error;
        ASSERT_TRUE(hs.client_ok) << hs.client_error;
        EXPECT_EQ(hs.verify_result, X509_V_OK);
        EXPECT_EQ(hs.version, "TLSv1.2");
        EXPECT_EQ(hs.peer_der, kavri_test::to_der(leaf.get()));
    }
}

TEST_F(SSIGServerSSLTest, EncryptedKeyNeedsItsPassPhrase)
{
    set("SSLCertType", "1");
    auto files = good_files();
    files["key.pem"] = kavri_test::read_file(pki().files.leaf_key_encrypted);
    ExternalFiles dir(files);

    set("SSLLinuxExtCertPhrase", pki().files.passphrase);
    auto ssl = build();
    auto client = client_ctx(pki().files.ca_cert);
    const auto hs = kavri_test::tls_handshake(ssl->get_gateway_context(), client.get(), "");
    EXPECT_TRUE(hs.client_ok) << hs.client_error;

    for (const char* wrong : {"wrong", ""}) {
        SCOPED_TRACE(wrong);
        set("SSLLinuxExtCertPhrase", wrong);
        log.clear();
        const std::string e = build_error();
        EXPECT_EQ(e.rfind("use_rsa_private_key_file", 0), 0u) << e;
        EXPECT_TRUE(log.has(error, kPrefix + e)) << log.text();
    }
}

TEST_F(SSIGServerSSLTest, PassPhraseCallbackCutsToTheMaximumLength)
{
    set("SSLLinuxExtCertPhrase", "abcdefgh");
    const auto reading = boost::asio::ssl::context_base::for_reading;
    EXPECT_EQ(vexa::get_ssig_linux_ext_passphrase(4, reading), "abcd");
    EXPECT_EQ(vexa::get_ssig_linux_ext_passphrase(0, reading), "");
    EXPECT_EQ(vexa::get_ssig_linux_ext_passphrase(100, boost::asio::ssl::context_base::for_writing),
              "abcdefgh");
}

struct BadFilesCase {
    const char* name;
    const char* type;
    std::map<std::string, std::string> replace;  // file -> content ("" removes it)
    const char* message_start;                   // thrown text begins with it
    const char* info_line;                       // "dir" / "cert" / nullptr
};

// Files that exist but do not load end construction for both external
// types; a missing file ends it only for type 1.
TEST_F(SSIGServerSSLTest, ExternalFilesThatDoNotLoad)
{
    const std::string garbage = "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n";
    const BadFilesCase cases[] = {
        {"garbage certificate", "1", {{"cert.pem", garbage}}, "use_certificate_file", nullptr},
        {"garbage certificate, type 0", "0", {{"cert.pem", garbage}}, "use_certificate_file", nullptr},
        {"key of another certificate", "1",
         {{"key.pem", kavri_test::read_file(pki().files.ca_key)}}, "use_rsa_private_key_file", nullptr},
        {"garbage CA", "0", {{"ca.pem", "junk"}}, "load_verify_file", nullptr},
        {"missing key", "1", {{"key.pem", ""}},
         "SSIGServerSSL failed to set Linux external/installed certificate/context!", "dir"},
        {"missing certificate", "1", {{"cert.pem", ""}},
         "SSIGServerSSL failed to set Linux external/installed certificate/context!", "cert"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set("SSLCertType", c.type);
        auto files = good_files();
        for (const auto& r : c.replace) {
            if (r.second.empty())
                files.erase(r.first);
            else
                files[r.first] = r.second;
        }
        ExternalFiles dir(files);
        log.clear();
        const std::string e = build_error();
        EXPECT_EQ(e.rfind(c.message_start, 0), 0u) << e;
        EXPECT_TRUE(log.has(error, kPrefix + e)) << log.text();
        EXPECT_EQ(log.count_messages("Generating and using a self-signed"), 0u) << log.text();
        if (c.info_line && std::string(c.info_line) == "dir") {
            EXPECT_TRUE(log.has(info, "One or more required certificate files not found at " +
                                          dir.path() + "."));
        }
        if (c.info_line && std::string(c.info_line) == "cert") {
            EXPECT_TRUE(log.has(info, "External certificate (" + dir.file("cert.pem") +
                                          ") not found."));
        }
    }
}

TEST_F(SSIGServerSSLTest, TypeZeroFallsBackToSelfSignedWhenAFileIsMissing)
{
    struct Case {
        const char* missing;
        bool dir_line;  // the line naming the directory, else the certificate's
    } cases[] = {{"ca.pem", true}, {"cert.pem", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.missing);
        set("SSLCertType", "0");
        auto files = good_files();
        files.erase(c.missing);
        ExternalFiles dir(files);
        log.clear();
        auto ssl = build();
        EXPECT_EQ(ssl->get_default_certificate_kind(), SSIGServerSSL::DEFAULT_CERT_SELF_SIGNED);
        const std::string line =
            c.dir_line ? "One or more required certificate files not found at " + dir.path() + "."
                       : "External certificate (" + dir.file("cert.pem") + ") not found.";
        EXPECT_TRUE(log.has(info, line)) << log.text();
        EXPECT_TRUE(log.has(info, "Default certificate is self-signed"));

        // The fallback certificate is the one a client receives.
        auto client = client_ctx("");
        const auto hs = kavri_test::tls_handshake(ssl->get_gateway_context(), client.get(), "");
        EXPECT_TRUE(hs.client_ok) << hs.client_error;
        EXPECT_EQ(hs.peer_der, der_of(*ssl));
    }
}

}  // namespace
