#include "CommonUtil.h"

#include "LogCapture.h"

#include <boost/algorithm/string/predicate.hpp>
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace {

std::string b64(const std::string& s)
{
    return vexa::convert_to_base64(reinterpret_cast<const uint8_t*>(s.data()),
                                   static_cast<uint32_t>(s.size()));
}

TEST(Base64, EncodesRfc4648Vectors)
{
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors)
        EXPECT_EQ(v.second, b64(v.first)) << v.first;
    const uint8_t high[] = {0xfb, 0xff, 0xbf};
    EXPECT_EQ("+/+/", vexa::convert_to_base64(high, 3));
}

struct DecodeCase {
    const char* text;
    uint32_t size;
    int result;
    std::vector<uint8_t> written;  // the bytes written, in a buffer prefilled with 0xEE
};

TEST(Base64, DecodeTable)
{
    const DecodeCase cases[] = {
        {"Zm9vYmFy", 6, 1, {'f', 'o', 'o', 'b', 'a', 'r'}},
        {"Zm9vYmFy", 5, 0, {'f', 'o', 'o', 'b', 'a'}},
        {"Zm8=", 2, 1, {'f', 'o'}},
        {"Zm8=", 1, 0, {'f'}},
        {"Zm8=", 3, 1, {'f', 'o', 0}},
        {"Zg==", 1, 1, {'f'}},
        {"Zg==", 2, 1, {'f', 0}},
        {"Zg==", 3, 1, {'f', 0, 0}},
        {"Zm=a", 4, 0, {}},
        {"Zm8", 4, 1, {}},
        {"", 4, 1, {}},
        {"Zm9vZm8", 4, 1, {'f', 'o', 'o'}},  // trailing characters ignored
        {"====", 4, 0, {}},
        {"A=B=", 4, 0, {}},
        {"Zg==Zg==", 8, 0, {}},  // padding before the last group
        {"Zm9*", 4, 0, {}},
        {"Zm9v", 0, 0, {}},
    };
    for (const auto& c : cases) {
        uint8_t out[16];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(c.result, vexa::convert_from_base64(c.text, out, c.size))
            << c.text << " into " << c.size;
        // Prefix of what was written, then untouched bytes.
        for (size_t i = 0; i < c.written.size(); ++i)
            EXPECT_EQ(c.written[i], out[i]) << c.text << " byte " << i;
        if (c.result == 1) {
            for (size_t i = c.written.size(); i < sizeof out; ++i)
                EXPECT_EQ(0xEE, out[i]) << c.text << " wrote past the data at " << i;
        }
        for (size_t i = c.size; i < sizeof out; ++i)
            EXPECT_EQ(0xEE, out[i]) << c.text << " wrote past size at " << i;
    }
}

TEST(Base64, RoundTripsEveryLength)
{
    std::string data;
    for (int len = 0; len < 70; ++len) {
        const std::string text = b64(data);
        ASSERT_EQ((data.size() + 2) / 3 * 4, text.size());
        std::vector<uint8_t> out(data.size() + 2, 0);
        // Padding bytes are written when there is room, so leave room.
        ASSERT_EQ(1, vexa::convert_from_base64(text, out.data(), static_cast<uint32_t>(out.size())));
        EXPECT_EQ(data, std::string(out.begin(), out.begin() + data.size()));
        data += static_cast<char>(len * 37 + 11);
    }
}

TEST(SessionId, NineBytesWithAZero)
{
    const uint8_t zeros[8] = {0};
    EXPECT_EQ("AAAAAAAAAAAA", vexa::get_session_id_b64(zeros));
    const uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 0};
    EXPECT_EQ(vexa::convert_to_base64(nine, 9), vexa::get_session_id_b64(id));
    EXPECT_EQ("AQIDBAUGBwgA", vexa::get_session_id_b64(id));
}

TEST(HashText, FourGroups)
{
    uint8_t h[32];
    for (int i = 0; i < 32; ++i)
        h[i] = static_cast<uint8_t>(i * 8 + 1);
    const std::string t = vexa::xml_hash_to_string(h);
    EXPECT_EQ("0109111921293139 4149515961697179 81899199a1a9b1b9 c1c9d1d9e1e9f1f9", t);
    EXPECT_EQ(t, vexa::xml_signature_to_string(h));
}

TEST(ContentLength, Rewritten)
{
    std::string m = "POST / HTTP/1.1\r\nContent-Length:   42 \r\n\r\n<KAVRI><HELLO/></KAVRI>";
    vexa::update_http_content_length(m, 8);
    EXPECT_EQ("POST / HTTP/1.1\r\nContent-Length: 50\r\n\r\n<KAVRI><HELLO/></KAVRI>", m);
    vexa::update_http_content_length(m, -60);
    EXPECT_EQ("POST / HTTP/1.1\r\nContent-Length: -10\r\n\r\n<KAVRI><HELLO/></KAVRI>", m);

    for (std::string bad : {"no header <KAVRI>", "Content-Length: 1\r\n\r\nno body",
                            "Content-Length: x1\r\n\r\n<KAVRI>"}) {
        const std::string before = bad;
        vexa::update_http_content_length(bad, 5);
        EXPECT_EQ(before, bad);
    }
}

TEST(BuildId, Texts)
{
    EXPECT_EQ("1.14.1.0", vexa::get_build_id());
    char buf[256];
    vexa::vexa_get_build_id(buf);
    EXPECT_TRUE(boost::algorithm::ends_with(std::string(buf), " 1.14.1.984")) << buf;
}

// A 2048-bit self-signed certificate with a v3 extension.
std::unique_ptr<X509, decltype(&X509_free)> make_certificate()
{
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("print.test"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "CA:FALSE");
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(cert.get(), key, EVP_sha256());
    EVP_PKEY_free(key);
    return cert;
}

TEST(PrintCertificate, FiltersKeyMaterialAndDumps)
{
    auto cert = make_certificate();
    LogCapture cap;
    vexa::logger_t lg;
    vexa::print_x509_cert(lg, boost::log::trivial::info, cert.get(), "server");
    const auto lines = cap.lines();
    ASSERT_GT(lines.size(), 3u);
    EXPECT_NE(std::string::npos, lines[0].find("info    : Certificate: server"));
    bool subject = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        const auto at = l.find("Certificate:   --> ");
        ASSERT_NE(std::string::npos, at) << l;
        const std::string piece = l.substr(at + 19);
        EXPECT_FALSE(piece.empty());
        for (const char* dropped : {"Validity", "Exponent", "Modulus", "X509v3 "})
            EXPECT_NE(0u, piece.rfind(dropped, 0)) << piece;
        EXPECT_FALSE(piece.size() > 4 && std::isxdigit(static_cast<unsigned char>(piece[0])) &&
                     std::isxdigit(static_cast<unsigned char>(piece[1])) && piece[2] == ':')
            << piece;
        subject = subject || piece.find("Subject: CN=print.test") != std::string::npos ||
                  piece.find("Subject: CN = print.test") != std::string::npos;
    }
    EXPECT_TRUE(subject) << cap.text();
}

TEST(PrintCertificate, NullCertificateLogsNothing)
{
    LogCapture cap;
    vexa::logger_t lg;
    vexa::print_x509_cert(lg, boost::log::trivial::info, nullptr, "none");
    EXPECT_EQ("", cap.text());
}

bool cpu_has(const std::string& flag)
{
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("flags", 0) != 0)
            continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string w; words >> w;)
            if (w == flag)
                return true;
        return false;
    }
    return false;
}

TEST(AesNi, MatchesCpuinfoAndLogsOnce)
{
    LogCapture cap;
    const bool expected = cpu_has("aes") && cpu_has("pclmulqdq") && cpu_has("ssse3");
    EXPECT_EQ(expected, vexa::aes_ni_supported());
    EXPECT_EQ(expected, vexa::aes_ni_supported());
    EXPECT_EQ(1u, cap.count("CPUInfo = { "));
    EXPECT_EQ(1u, cap.count(std::string("AES-NI is supported: ") + (expected ? "yes!" : "no")));

    vexa::set_aes_ni_allowed(false);
    EXPECT_FALSE(vexa::aes_ni_supported());
    vexa::set_aes_ni_allowed(true);
    EXPECT_EQ(expected, vexa::aes_ni_supported());
}

}  // namespace
