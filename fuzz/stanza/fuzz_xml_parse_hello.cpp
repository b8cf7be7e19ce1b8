#include "fuzz_xml_parse.h"
#include "vexa_xml_hello.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz_parser<sVEXA_XML_HELLO>(data, size, vexa_xml_parse_hello,
                                        [](sVEXA_XML_HELLO* rec, char* full) {
                                            return vexa_xml_create_hello(rec, nullptr, full, nullptr);
                                        });
}
