// DER decoding and certificate printing of arbitrary bytes: what decodes is
// printed into the log; the bytes themselves are also cut into log lines as
// a printout would be.
#include "vexa_certificate_util.h"
#include "vexa_xml.h"

#include <openssl/err.h>
#include <openssl/sha.h>

#include <cstdint>
#include <string>

namespace {

void discard(int, const char*) {}

bool init()
{
    const sVEXA_XML_CALLOUTS callouts{SHA256_Init, SHA256_Update, SHA256_Final, discard};
    return vexa_xml_init(&callouts) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = init();
    (void)ready;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (X509* cert = get_x509_cert_from_der(bytes.data(), static_cast<unsigned>(bytes.size()))) {
        cVEXA_CERT_UTIL::util_print_x509_cert(cert, "fuzz");
        X509_free(cert);
    }
    std::string text = bytes;  // NUL-terminated copy, cut at its first NUL
    cVEXA_CERT_UTIL::util_log_x509_info(&text[0]);
    ERR_clear_error();
    return 0;
}
