#include "fuzz_xml_parse.h"
#include "vexa_xml_fail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz_parser<sVEXA_XML_FAIL>(data, size, vexa_xml_parse_fail,
                                       [](sVEXA_XML_FAIL* rec, char* full) {
                                           return vexa_xml_create_fail(rec, 1, full, nullptr);
                                       });
}
