#include "CommonUtil.h"

#include "safe_lib.h"

#include <boost/algorithm/string/trim.hpp>

#include <openssl/bio.h>

#include <atomic>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace vexa {

namespace {

const char BASE64_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_index(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

logger_t& util_logger()
{
    static logger_t lg;
    return lg;
}

std::string hex_groups(const uint8_t* bytes)
{
    std::string out;
    out.reserve(67);
    char hex[3];
    for (int i = 0; i < 32; ++i) {
        if (i && i % 8 == 0)
            out += ' ';
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        out += hex;
    }
    return out;
}


// "xx:xx..." where x is a hex digit: a line of a key or signature dump.
// Hand-written: the regex engine's shared block cache races under the
// several threads that print certificates.
bool is_hex_dump_line(const std::string& piece)
{
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    return piece.size() >= 5 && hex(piece[0]) && hex(piece[1]) && piece[2] == ':' && hex(piece[3]) &&
           hex(piece[4]);
}

}  // namespace

std::string convert_to_base64(const uint8_t* data, uint32_t length)
{
    // size_t arithmetic: the output size of a 32-bit length fits.
    std::string out;
    out.reserve((static_cast<size_t>(length) + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const uint32_t g = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += BASE64_ALPHABET[(g >> 18) & 63];
        out += BASE64_ALPHABET[(g >> 12) & 63];
        out += BASE64_ALPHABET[(g >> 6) & 63];
        out += BASE64_ALPHABET[g & 63];
    }
    const size_t rest = length - i;
    if (rest) {
        uint32_t g = uint32_t(data[i]) << 16;
        if (rest == 2)
            g |= uint32_t(data[i + 1]) << 8;
        out += BASE64_ALPHABET[(g >> 18) & 63];
        out += BASE64_ALPHABET[(g >> 12) & 63];
        out += rest == 2 ? BASE64_ALPHABET[(g >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

int convert_from_base64(const std::string& text, uint8_t* out, uint32_t size)
{
    const size_t n = text.size() & ~static_cast<size_t>(3);
    size_t pos = 0;
    uint32_t group = 0;
    int paddings = 0;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        group <<= 6;
        if (c == '=') {
            const bool last = i == n - 1;
            const bool second_last = i == n - 2 && text[n - 1] == '=';
            if (!last && !second_last)
                return 0;
            ++paddings;
        } else {
            const int v = base64_index(c);
            if (v < 0)
                return 0;
            group |= static_cast<uint32_t>(v);
        }
        if (i % 4 != 3)
            continue;
        const uint8_t bytes[3] = {uint8_t(group >> 16), uint8_t(group >> 8), uint8_t(group)};
        for (int b = 0; b < 3; ++b) {
            if (pos >= size)
                return 0;
            out[pos++] = bytes[b];
            if (pos == size && ((paddings == 2 && b == 0) || (paddings >= 1 && b == 1)))
                return 1;
        }
        group = 0;
    }
    return 1;
}

std::string get_session_id_b64(const uint8_t* session_id)
{
    uint8_t buffer[9] = {0};
    kavri_memcpy_s(buffer, sizeof buffer, session_id, 8);
    return convert_to_base64(buffer, sizeof buffer);
}

std::string xml_hash_to_string(const uint8_t* hash)
{
    return hex_groups(hash);
}

std::string xml_signature_to_string(const uint8_t* signature)
{
    return hex_groups(signature);
}

void print_x509_cert(logger_t& lg, severity_level sev, X509* cert, const std::string& caption)
{
    // Formatting costs more than the handshake's own decoding of the
    // certificate: none for records the filter drops.
    if (!cert || !log_enabled(sev))
        return;
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return;
    if (X509_print_ex(bio, cert, XN_FLAG_SEP_COMMA_PLUS,
                      X509_FLAG_NO_HEADER | X509_FLAG_NO_VERSION | X509_FLAG_NO_SERIAL |
                          X509_FLAG_NO_SIGDUMP) != 1) {
        BIO_free(bio);
        return;
    }
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    const std::string text(data ? data : "", data && len > 0 ? static_cast<size_t>(len) : 0);
    BIO_free(bio);

    BOOST_LOG_SEV(lg, sev) << "Certificate: " << caption;

    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        if (i >= text.size())
            break;
        size_t end = text.find_first_of("\r\n", i);
        const size_t blanks = text.find("     ", i);
        if (end == std::string::npos || (blanks != std::string::npos && blanks < end))
            end = blanks;
        if (end == std::string::npos)
            end = text.size();
        const std::string piece = text.substr(i, end - i);
        i = end;
        const bool dropped = piece.compare(0, 8, "Validity") == 0 ||
                             piece.compare(0, 8, "Exponent") == 0 ||
                             piece.compare(0, 7, "Modulus") == 0 ||
                             piece.compare(0, 7, "X509v3 ") == 0 ||
                             (piece.size() > 4 && is_hex_dump_line(piece));
        if (!dropped)
            BOOST_LOG_SEV(lg, sev) << "Certificate:   --> " << piece;
    }
}

namespace {
// 0 unknown, 1 no, 2 yes.
std::atomic<int> aes_ni_state{0};
std::atomic<bool> aes_ni_allowed{true};
}  // namespace

bool aes_ni_supported()
{
    int state = aes_ni_state.load(std::memory_order_acquire);
    if (state == 0) {
        bool supported = false;
#if defined(__x86_64__)
        unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
            char info[96];
            std::snprintf(info, sizeof info, "CPUInfo = { %x, %x, %x, %x }", eax, ebx, ecx, edx);
            BOOST_LOG_SEV(util_logger(), boost::log::trivial::debug) << info;
            // AES (bit 25), carry-less multiply (bit 1) and SSSE3 (bit 9).
            supported = (ecx & (1u << 25)) && (ecx & (1u << 1)) && (ecx & (1u << 9));
        }
#endif
        BOOST_LOG_SEV(util_logger(), boost::log::trivial::debug)
            << "AES-NI is supported: " << (supported ? "yes!" : "no");
        int expected = 0;
        aes_ni_state.compare_exchange_strong(expected, supported ? 2 : 1);
        state = aes_ni_state.load(std::memory_order_acquire);
    }
    return state == 2 && aes_ni_allowed.load(std::memory_order_relaxed);
}

void set_aes_ni_allowed(bool allowed)
{
    aes_ni_allowed.store(allowed, std::memory_order_relaxed);
}

void update_http_content_length(std::string& message, int change)
{
    static const std::string marker = "Content-Length: ";
    static const std::string body = "<KAVRI>";
    const size_t start = message.find(marker);
    if (start == std::string::npos)
        return;
    const size_t value_start = start + marker.size();
    const size_t body_start = message.find(body, value_start);
    if (body_start == std::string::npos)
        return;
    std::string value = message.substr(value_start, body_start - value_start);
    boost::algorithm::trim(value);
    if (value.empty())
        return;
    char* end = nullptr;
    errno = 0;
    const long long current = std::strtoll(value.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE)
        return;
    message.replace(value_start, body_start - value_start,
                    std::to_string(current + change) + "\r\n\r\n");
}

std::string get_build_id()
{
    return "1.14.1.0";
}

void vexa_get_build_id(char* buffer)
{
    kavri_sprintf_s(buffer, 256, "%s %d.%d.%d.%d", "kavri-sg-release", 1, 14, 1, 984);
}

}  // namespace vexa
