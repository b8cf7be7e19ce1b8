#include "CertTestTools.h"
#include "vexa_certificate_util_self_signed.h"
#include "vexa_x509_cert_verify.h"
#include "vexa_xml.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using kavri_test::CertTestDir;
using kavri_test::run_command;

constexpr unsigned kValidity = 157680000;
const char* const kCommonName = "gw.kavri.test";

std::mutex g_log_mutex;
std::vector<std::pair<int, std::string>> g_log;

void capture(int level, const char* text)
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.emplace_back(level, text);
}

// The library's log callout captured for each test.
class CertTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const sVEXA_XML_CALLOUTS callouts{SHA256_Init, SHA256_Update, SHA256_Final, capture};
        vexa_xml_init(&callouts);
        lines().clear();
    }
    void TearDown() override { vexa_xml_teardown(); }

    static std::vector<std::pair<int, std::string>>& lines() { return g_log; }
    static bool logged(int level, const std::string& text)
    {
        for (const auto& l : g_log)
            if (l.first == level && l.second == text)
                return true;
        return false;
    }
    static bool logged_prefix(int level, const std::string& prefix)
    {
        for (const auto& l : g_log)
            if (l.first == level && l.second.compare(0, prefix.size(), prefix) == 0)
                return true;
        return false;
    }
    static std::string all()
    {
        std::string s;
        for (const auto& l : g_log)
            s += std::to_string(l.first) + " " + l.second + "\n";
        return s;
    }
};

// One 2048-bit certificate and one openssl-made CA and leaf per binary.
struct Shared {
    CertTestDir dir;
    cVEXA_CERT_UTIL_SELF_SIGNED util{2048, kValidity, "VevareviDiravad", kCommonName};
    kavri_test::OpensslPki pki;
    std::string cert_pem, key_pem;

    Shared()
    {
        if (util.setup_server_certificate_and_keys() != 0)
            throw std::runtime_error("self-signed set-up failed");
        cert_pem = dir.file("self.pem");
        key_pem = dir.file("self.key");
        kavri_test::write_file(cert_pem, kavri_test::to_pem(util.get_x509_cert()));
        kavri_test::write_file(key_pem, kavri_test::key_to_pem(util.get_key()));
        pki = kavri_test::make_openssl_pki(dir, "leaf.kavri.test", "s3cret");
    }
};

Shared& shared()
{
    static Shared s;
    return s;
}

std::time_t parse_openssl_date(const std::string& text)
{
    std::tm tm{};
    if (!strptime(text.c_str(), "%b %d %H:%M:%S %Y", &tm))
        return 0;
    return timegm(&tm);
}

std::string field(const std::string& output, const std::string& name)
{
    const auto at = output.find(name + "=");
    if (at == std::string::npos)
        return "";
    const auto end = output.find('\n', at);
    return output.substr(at + name.size() + 1, end - at - name.size() - 1);
}

TEST_F(CertTest, GeneratedCertificateAsOpensslReadsIt)
{
    Shared& s = shared();
    const std::string der = s.dir.file("self.der");
    const auto bytes = kavri_test::to_der(s.util.get_x509_cert());
    kavri_test::write_file(der, std::string(bytes.begin(), bytes.end()));

    const auto text = run_command("openssl x509 -inform DER -in " + der + " -noout -text");
    ASSERT_EQ(text.status, 0) << text.output;
    const std::string subject =
        "C = CA, ST = Province, L = Locality, O = Vexanode Corporation, OU = SoftKavri, "
        "contentType = VevareviDiravad, CN = gw.kavri.test";
    EXPECT_NE(text.output.find("Version: 1 (0x0)"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("Signature Algorithm: sha384WithRSAEncryption"), std::string::npos);
    EXPECT_NE(text.output.find("Subject: " + subject + "\n"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("Issuer: " + subject + "\n"), std::string::npos);
    EXPECT_NE(text.output.find("Public-Key: (2048 bit)"), std::string::npos);
    EXPECT_NE(text.output.find("Exponent: 65537 (0x10001)"), std::string::npos);
    EXPECT_EQ(text.output.find("X509v3"), std::string::npos);

    const auto dates = run_command("openssl x509 -inform DER -in " + der +
                                   " -noout -serial -startdate -enddate");
    ASSERT_EQ(dates.status, 0) << dates.output;
    const std::string serial = field(dates.output, "serial");
    EXPECT_EQ(serial.size(), 16u) << serial;  // 64 bits
    EXPECT_EQ(serial.find_first_not_of("0123456789ABCDEF"), std::string::npos) << serial;
    EXPECT_NE(std::string("89ABCDEF").find(serial.substr(0, 1)), std::string::npos)
        << serial;  // the top bit is set
    const std::time_t start = parse_openssl_date(field(dates.output, "notBefore"));
    const std::time_t end = parse_openssl_date(field(dates.output, "notAfter"));
    EXPECT_EQ(end - start, static_cast<std::time_t>(kValidity));
    EXPECT_LE(std::abs(std::time(nullptr) - start), 600);
}

TEST_F(CertTest, OpensslVerifiesTheCertificateAsItsOwnIssuerAndMatchesTheKey)
{
    Shared& s = shared();
    const auto verify = run_command("openssl verify -CAfile " + s.cert_pem + " " + s.cert_pem);
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find(": OK"), std::string::npos) << verify.output;

    const auto from_cert = run_command("openssl x509 -in " + s.cert_pem + " -noout -pubkey");
    const auto from_key = run_command("openssl pkey -in " + s.key_pem + " -pubout");
    ASSERT_EQ(from_cert.status, 0);
    ASSERT_EQ(from_key.status, 0);
    EXPECT_EQ(from_cert.output, from_key.output);
}

TEST_F(CertTest, SetupRunsOnceAndInstallsIntoAContext)
{
    Shared& s = shared();
    X509* first = s.util.get_x509_cert();
    EVP_PKEY* key = s.util.get_key();
    EXPECT_EQ(s.util.setup_server_certificate_and_keys(), 0);
    EXPECT_EQ(s.util.get_x509_cert(), first);
    EXPECT_EQ(s.util.get_key(), key);
    EXPECT_EQ(s.util.get_key_length(), 2048u);

    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(s.util.use_cert_for_ctx(ctx), 0);
    EXPECT_EQ(X509_cmp(SSL_CTX_get0_certificate(ctx), first), 0);
    EXPECT_EQ(EVP_PKEY_eq(SSL_CTX_get0_privatekey(ctx), key), 1);
    SSL_CTX_free(ctx);
    EXPECT_TRUE(lines().empty()) << all();
}

TEST_F(CertTest, NotSetUpMeansNoCertificateAndAnUntouchedContext)
{
    cVEXA_CERT_UTIL_SELF_SIGNED util(2048, kValidity, "VevareviDiravad", kCommonName);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(util.use_cert_for_ctx(ctx), -503);
    EXPECT_EQ(SSL_CTX_get0_certificate(ctx), nullptr);
    EXPECT_EQ(SSL_CTX_get0_privatekey(ctx), nullptr);
    EXPECT_EQ(util.get_x509_cert(), nullptr);
    EXPECT_EQ(util.get_key(), nullptr);
    SSL_CTX_free(ctx);
}

// The gateway's default 1024-bit key on a context at OpenSSL 3.0's usual
// level 2: the first refused step is reported and nothing is installed.
TEST_F(CertTest, ContextThatRefusesTheKeyReportsTheFirstFailedStep)
{
    cVEXA_CERT_UTIL_SELF_SIGNED util(1024, kValidity, "VevareviDiravad", kCommonName);
    ASSERT_EQ(util.setup_server_certificate_and_keys(), 0) << all();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    ASSERT_NE(ctx, nullptr);
    SSL_CTX_set_security_level(ctx, 2);
    lines().clear();
    EXPECT_EQ(util.use_cert_for_ctx(ctx), -500);
    EXPECT_EQ(all(), "1 use_cert_for_ctx: SSL_CTX_use_certificate_fn failed err=0\n");
    EXPECT_EQ(SSL_CTX_get0_certificate(ctx), nullptr);
    EXPECT_EQ(SSL_CTX_get0_privatekey(ctx), nullptr);
    EXPECT_EQ(ERR_peek_error(), 0u);  // the queue went to standard error

    SSL_CTX_set_security_level(ctx, 1);
    EXPECT_EQ(util.use_cert_for_ctx(ctx), 0) << all();
    SSL_CTX_free(ctx);
}

// OpenSSL 3.0 refuses to register the same object twice in a process, which
// made every generation after the first fail.
TEST_F(CertTest, GeneratesAgainAfterTidyInTheSameProcess)
{
    cVEXA_CERT_UTIL_SELF_SIGNED util(1024, 3600, "VevareviDiravad", "again.kavri.test");
    ASSERT_EQ(util.setup_server_certificate_and_keys(), 0) << all();
    const auto first = kavri_test::to_der(util.get_x509_cert());
    util.cert_util_tidy();
    EXPECT_EQ(util.get_x509_cert(), nullptr);
    EXPECT_EQ(util.get_key(), nullptr);
    ASSERT_EQ(util.setup_server_certificate_and_keys(), 0) << all();
    EXPECT_NE(kavri_test::to_der(util.get_x509_cert()), first);
    EXPECT_EQ(util.get_key_length(), 1024u);
}

struct FailureCase {
    const char* name;
    unsigned bits;
    std::string common_name;
    std::size_t stored;      // characters kept of the common name
    const char* message;     // logged at level 1, followed by the error code
};

TEST_F(CertTest, FailedGenerationReportsTheStepAndStoresNothing)
{
    const FailureCase cases[] = {
        {"key too short", 256, "short.kavri.test", 16,
         "generate_rsa_key_pair: Generating RSA key pair failed. err="},
        {"common name beyond the 64 characters X.509 allows", 1024, std::string(300, 'c'), 255,
         "generate_signature_request: Adding entry to X509 request subject name failed. err="},
        {"longest common name", 1024, std::string(64, 'c'), 64, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lines().clear();
        cVEXA_CERT_UTIL_SELF_SIGNED util(c.bits, 3600, "VevareviDiravad", c.common_name.c_str());
        EXPECT_EQ(std::string(util.get_common_name()), c.common_name.substr(0, c.stored));
        const int rc = util.setup_server_certificate_and_keys();
        if (!c.message) {
            EXPECT_EQ(rc, 0) << all();
            continue;
        }
        EXPECT_EQ(rc, -500);
        EXPECT_TRUE(logged_prefix(1, c.message)) << all();
        EXPECT_EQ(util.get_x509_cert(), nullptr);
        EXPECT_EQ(util.get_key(), nullptr);
        EXPECT_EQ(util.get_key_length(), 0u);
    }
}

TEST_F(CertTest, PrintedCertificateLogsReadableLinesOnly)
{
    cVEXA_CERT_UTIL::util_print_x509_cert(shared().util.get_x509_cert(),
                                          "self-signed x509 certificate");
    ASSERT_GE(lines().size(), 6u) << all();
    EXPECT_EQ(lines()[0], std::make_pair(2, std::string("self-signed x509 certificate:")));
    auto dropped = [](const std::string& line) {
        const std::string body = line.substr(std::min<std::size_t>(7, line.size()));
        for (const char* p : {"Validity", "Exponent", "Modulus", "X509v3 "})
            if (body.rfind(p, 0) == 0)
                return true;
        auto hex = [&](std::size_t i) {
            return i < body.size() && std::isxdigit(static_cast<unsigned char>(body[i]));
        };
        return body.size() > 4 && hex(0) && hex(1) && body[2] == ':' && hex(3) && hex(4);
    };
    for (std::size_t i = 1; i < lines().size(); ++i) {
        EXPECT_EQ(lines()[i].first, 2);
        EXPECT_EQ(lines()[i].second.compare(0, 7, "   --> "), 0) << lines()[i].second;
        EXPECT_FALSE(dropped(lines()[i].second)) << lines()[i].second;
        EXPECT_EQ(lines()[i].second.find('\n'), std::string::npos) << lines()[i].second;
    }
    const std::string subject =
        "C=CA,ST=Province,L=Locality,O=Vexanode Corporation,OU=SoftKavri,"
        "contentType=VevareviDiravad,CN=gw.kavri.test";
    EXPECT_TRUE(logged(2, "   --> Signature Algorithm: sha384WithRSAEncryption")) << all();
    EXPECT_TRUE(logged(2, "   --> Issuer: " + subject)) << all();
    EXPECT_TRUE(logged(2, "   --> Subject: " + subject)) << all();
    EXPECT_TRUE(logged(2, "   --> Public Key Algorithm: rsaEncryption")) << all();
    EXPECT_TRUE(logged_prefix(2, "   --> Not After : ")) << all();

    lines().clear();
    cVEXA_CERT_UTIL::util_print_x509_cert(nullptr, "none");
    EXPECT_EQ(all(), "1 print_x509_cert routine was called with no certificate (cert=NULL)!\n");
}

TEST_F(CertTest, LogInfoCutsLinesBeforeFiveBlankRuns)
{
    const struct {
        const char* text;
        std::vector<std::string> logged;
    } cases[] = {
        {"  First line\n        Second line\n", {"First line", "Second line"}},
        // The character before a run is the one given up, line break or not.
        {"Issuer: ab     next", {"Issuer: a", "next"}},
        {"Modulus:\n     00:c3:aa\n     ab:cd\n     Exponent: 3\n     Validity\n"
         "     X509v3 ext\n     Keep", {"Keep"}},
        {"ab:c\n     zz:zz:zz\n     ab:cd", {"ab:c", "zz:zz:zz"}},
        {"   \n\t  ", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        lines().clear();
        std::string text = c.text;
        cVEXA_CERT_UTIL::util_log_x509_info(&text[0]);
        std::vector<std::string> got;
        for (const auto& l : lines()) {
            EXPECT_EQ(l.first, 2);
            EXPECT_EQ(l.second.compare(0, 7, "   --> "), 0);
            got.push_back(l.second.substr(7));
        }
        EXPECT_EQ(got, c.logged);
    }
}

TEST_F(CertTest, VerifierWithoutSetUpOrCertificates)
{
    cVEXA_X509_CERT_VERIFY v;
    X509* cert = shared().util.get_x509_cert();
    EXPECT_EQ(v.verify_certificate(cert), -503);
    EXPECT_EQ(v.add_ca_certificate_for_verification(cert), -503);
    EXPECT_TRUE(logged(3, "verify_certificate: cert verify not initialized.")) << all();
    EXPECT_TRUE(logged(3, "add_ca_certificate: cert verify not initialized.")) << all();

    ASSERT_EQ(v.init_verify(), 0);
    EXPECT_EQ(v.verify_certificate(cert), -500);
    EXPECT_TRUE(logged(3, "verify_certificate: No CA certs added to verify against.")) << all();
    EXPECT_EQ(v.add_ca_certificate_for_verification(nullptr), -500);
    EXPECT_TRUE(logged(3, "add_ca_certificate: X509_STORE_add_cert_fn error.")) << all();
}

TEST_F(CertTest, VerifierChecksChainsAndIsSpentBySuccess)
{
    Shared& s = shared();
    std::unique_ptr<X509, decltype(&X509_free)> ca(kavri_test::read_pem_cert(s.pki.ca_cert), X509_free);
    std::unique_ptr<X509, decltype(&X509_free)> leaf(kavri_test::read_pem_cert(s.pki.leaf_cert), X509_free);
    ASSERT_TRUE(ca && leaf);

    cVEXA_X509_CERT_VERIFY v;
    // A leaf of another CA fails, with the reason from the callback.
    ASSERT_EQ(v.init_verify(), 0);
    ASSERT_EQ(v.add_ca_certificate_for_verification(s.util.get_x509_cert()), 0);
    EXPECT_EQ(v.verify_certificate(leaf.get()), -500);
    EXPECT_TRUE(logged(3, "verify_certificate: Certificate failed verification.")) << all();
    EXPECT_TRUE(logged(3, "verify_callback: certificate did not pass verification, openssl "
                          "returned error: unable to get local issuer certificate"))
        << all();

    // A fresh store (the old one released) with the right CA succeeds once.
    ASSERT_EQ(v.init_verify(), 0);
    EXPECT_EQ(v.get_ca_count(), 0u);
    ASSERT_EQ(v.add_ca_certificate_for_verification(ca.get()), 0);
    EXPECT_EQ(v.verify_certificate(leaf.get()), 0);
    // Success released the store: further use is refused instead of
    // reaching a freed store.
    EXPECT_FALSE(v.is_initialised());
    EXPECT_EQ(v.add_ca_certificate_for_verification(ca.get()), -503);
    EXPECT_EQ(v.verify_certificate(leaf.get()), -503);

    // A self-signed certificate verifies against itself.
    ASSERT_EQ(v.init_verify(), 0);
    ASSERT_EQ(v.add_ca_certificate_for_verification(s.util.get_x509_cert()), 0);
    EXPECT_EQ(v.verify_certificate(s.util.get_x509_cert()), 0);
}

TEST_F(CertTest, DerDecoding)
{
    X509* cert = shared().util.get_x509_cert();
    const auto der = kavri_test::to_der(cert);
    const std::string bytes(der.begin(), der.end());

    X509* decoded = get_x509_cert_from_der(bytes.data(), static_cast<unsigned>(bytes.size()));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(X509_cmp(decoded, cert), 0);
    X509_free(decoded);

    const struct {
        const char* name;
        const char* data;
        unsigned length;
        const char* message;
    } cases[] = {
        {"truncated", bytes.data(), static_cast<unsigned>(bytes.size() / 2),
         "get_x509_cert_from_der: d2i_X509_bio call failed to decode x509 cert from DER."},
        {"garbage", "not a certificate", 17,
         "get_x509_cert_from_der: d2i_X509_bio call failed to decode x509 cert from DER."},
        // Beyond int: OpenSSL would see a negative length (-1 reads to a NUL).
        {"length beyond int", "0", 0x80000000u, "get_x509_cert_from_der: DER length 2147483648 not valid."},
        {"length 0xFFFFFFFF", "0", 0xFFFFFFFFu, "get_x509_cert_from_der: DER length 4294967295 not valid."},
        // No bytes decode as no certificate; no buffer makes no memory BIO.
        {"empty", bytes.data(), 0,
         "get_x509_cert_from_der: d2i_X509_bio call failed to decode x509 cert from DER."},
        {"null", nullptr, 10, "get_x509_cert_from_der: BIO_new_mem_buf_fn call failed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lines().clear();
        EXPECT_EQ(get_x509_cert_from_der(c.data, c.length), nullptr);
        EXPECT_TRUE(logged(3, c.message)) << all();
        ERR_clear_error();
    }
}

}  // namespace
