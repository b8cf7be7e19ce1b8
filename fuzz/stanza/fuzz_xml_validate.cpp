// Validation: the first 104 bytes are the session tag, the rest a HELLO or
// VERSION. A stanza that validates must stay valid when signed again with
// the same tag, and must fail once its signature changes.
#include "stanza_fuzz.h"
#include "vexa_xml_hello.h"
#include "vexa_xml_version.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    stanza_fuzz::init_once();
    if (size < 104)
        return 0;
    const std::string tag(reinterpret_cast<const char*>(data), 104);
    const std::string stanza(reinterpret_cast<const char*>(data) + 104, size - 104);

    sVEXA_XML_HELLO hello;
    if (vexa_xml_parse_hello(stanza.c_str(), stanza.size(), nullptr, &hello) == 0) {
        const int rc = vexa_xml_validate_hello(&hello, tag.c_str());
        stanza_fuzz::check(rc == 0 || rc == -603 || rc == -600 || rc == -607 || rc == -605 ||
                           rc == -608);
        if (rc == 0) {
            hello.signature[0] ^= 1;
            stanza_fuzz::check(vexa_xml_validate_hello(&hello, tag.c_str()) == -605);
        }
        char out[4];
        vexa_xml_negotiate_hello_version(&hello, out);
        // Signed with this tag, only the thumbprint or the earlier checks may fail.
        vexa_xml_create_hello(&hello, tag.c_str(), nullptr, nullptr);
        const int signed_rc = vexa_xml_validate_hello(&hello, tag.c_str());
        stanza_fuzz::check(signed_rc != -605);
    }
    sVEXA_XML_VERSION version;
    if (vexa_xml_parse_version(stanza.c_str(), stanza.size(), nullptr, &version) == 0) {
        const int rc = vexa_xml_validate_version(&version, tag.c_str());
        stanza_fuzz::check(rc == 0 || rc == -603 || rc == -606 || rc == -605);
        char out[8];
        vexa_xml_validate_negotiated_version(&version, out);
        // Signed with this tag, only the version check may still fail.
        if (vexa_xml_create_version(&version, tag.c_str(), nullptr, nullptr) == 0) {
            const int signed_rc = vexa_xml_validate_version(&version, tag.c_str());
            stanza_fuzz::check(signed_rc == 0 || signed_rc == -603);
        }
    }
    return 0;
}
