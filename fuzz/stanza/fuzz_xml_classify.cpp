// Framing and type detection on exact-size and NUL-terminated buffers.
#include "stanza_fuzz.h"
#include "vexa_xml_fail.h"
#include "vexa_xml_frame.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    stanza_fuzz::init_once();
    const char* buf = reinterpret_cast<const char*>(data);
    int framing = 0;
    eVEXA_XML_TYPE type = VEXA_XML_TYPE_UNKNOWN;
    const char* xml = nullptr;
    // Exact size, no terminator: any read past size is a sanitizer report.
    vexa_xml_header_get_type(buf, size, &framing, &type, &xml);
    stanza_fuzz::check(framing >= 0 && framing <= 3);
    stanza_fuzz::check(xml == nullptr || (xml >= buf && xml < buf + size));
    stanza_fuzz::check(xml == nullptr || std::strncmp(xml, "<KAVRI", 6) == 0);

    std::vector<char> text(buf, buf + size);
    text.push_back('\0');
    int framing2 = 0;
    eVEXA_XML_TYPE type2 = VEXA_XML_TYPE_UNKNOWN;
    vexa_xml_header_get_type(text.data(), size, &framing2, &type2, nullptr);
    stanza_fuzz::check(framing2 == framing && type2 == type);

    eVEXA_XML_TYPE bare = VEXA_XML_TYPE_UNKNOWN;
    vexa_xml_parse_stanza_type(text.data(), size, &bare);
    return 0;
}
