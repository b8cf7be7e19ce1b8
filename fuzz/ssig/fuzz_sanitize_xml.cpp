// Log masking of arbitrary texts. The first byte picks the tag pair (one of
// the legs' three, or tags taken from the input itself).
#include "SSIG.h"

#include <cstdint>
#include <string>

using vexa::ssig::sanitize_xml;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    static const char* const tags[][2] = {{"<SIGNATURE>", "</SIGNATURE>"},
                                          {"<REQUESTED>", "</REQUESTED>"},
                                          {"<NEGOTIATED>", "</NEGOTIATED>"}};
    std::string xml(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string open, close;
    if (data[0] % 4 < 3) {
        open = tags[data[0] % 4][0];
        close = tags[data[0] % 4][1];
    } else {
        // "open\0close\0xml"
        const std::size_t a = xml.find('\0');
        const std::size_t b = a == std::string::npos ? a : xml.find('\0', a + 1);
        if (b == std::string::npos)
            return 0;
        open = xml.substr(0, a);
        close = xml.substr(a + 1, b - a - 1);
        xml = xml.substr(b + 1);
    }
    const std::string masked = sanitize_xml(xml, open.c_str(), close.c_str());
    const std::size_t at = open.empty() ? std::string::npos : xml.find(open);
    if (at == std::string::npos) {
        if (masked != xml)
            __builtin_trap();
        return 0;
    }
    const std::size_t keep = at + open.size();
    if (masked.compare(0, keep, xml, 0, keep) != 0 || masked.compare(keep, 3, "***") != 0)
        __builtin_trap();
    if (masked.size() > xml.size() + 3)
        __builtin_trap();
    return 0;
}
