#include "fuzz_xml_parse.h"
#include "vexa_xml_version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz_parser<sVEXA_XML_VERSION>(data, size, vexa_xml_parse_version,
                                          [](sVEXA_XML_VERSION* rec, char* full) {
                                              return vexa_xml_create_version(rec, nullptr, full,
                                                                             nullptr);
                                          });
}
