#include "vexa_xml_mitm.h"

#include <cinttypes>

int xml_create_mitm_hellos(const sVEXA_XML_MITM_HELLOS* hops, xml_util_text* text)
{
    if (hops->count == 0)
        return VEXA_XML_SUCCESS;
    if (hops->count > VEXA_XML_MAX_MITM) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(xml_create_mitm_hellos) -- input hello_info did not have a valid mitm count "
                     "(count = %d, at most %d)",
                     hops->count, VEXA_XML_MAX_MITM);
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    for (int i = 0; i < hops->count; ++i) {
        const sVEXA_XML_MITM_HELLO& hop = hops->mitm[i];
        int length = 0;
        if (!xml_util_text_field_ok(hop.version, sizeof hop.version, 7, &length)) {
            xml_util_log(VEXA_XML_LOG_ERROR,
                         "(xml_create_mitm_hellos) -- input hello_info did not have valid mitm[%d] "
                         "version (length = %d)",
                         i, length);
            return VEXA_XML_ERR_INVALID_FIELD;
        }
        if (!xml_util_text_field_ok(hop.name, sizeof hop.name, 79, &length)) {
            xml_util_log(VEXA_XML_LOG_ERROR,
                         "(xml_create_mitm_hellos) -- input hello_info did not have valid mitm[%d] "
                         "name (length = %d)",
                         i, length);
            return VEXA_XML_ERR_INVALID_FIELD;
        }
        if (hop.spi != 0 && (hop.spi < VEXA_XML_SPI_MIN || hop.spi > VEXA_XML_SPI_MAX)) {
            xml_util_log(VEXA_XML_LOG_ERROR,
                         "(xml_create_mitm_hellos) -- input hello_info did not have valid non-zero "
                         "mitm[%d] SPI preference = %" PRIu64 " (valid range is [%d..%d])",
                         i, hop.spi, 256, 2147483647);
            return VEXA_XML_ERR_INVALID_FIELD;
        }
    }
    xml_util_text_add(text, "<MITM>");
    for (int i = 0; i < hops->count; ++i) {
        const sVEXA_XML_MITM_HELLO& hop = hops->mitm[i];
        xml_util_text_add(text, "<HELLO version=\"");
        xml_util_text_add_escaped(text, hop.version, sizeof hop.version - 1);
        xml_util_text_add(text, "\" name=\"");
        xml_util_text_add_escaped(text, hop.name, sizeof hop.name - 1);
        if (hop.spi != 0)
            xml_util_text_addf(text, "\" spi=\"%" PRIu64 "\" />", hop.spi);
        else
            xml_util_text_add(text, "\" />");
    }
    xml_util_text_add(text, "</MITM>");
    return VEXA_XML_SUCCESS;
}

void xml_intern_log_hops(const char* caller, const sVEXA_XML_MITM_HELLOS* hops)
{
    if (hops->count < 2)
        return;
    const int count = hops->count < VEXA_XML_MAX_MITM ? hops->count : VEXA_XML_MAX_MITM;
    for (int i = 0; i < count; ++i) {
        char name[VEXA_XML_NAME_SIZE];
        xml_util_sanitized_copy(hops->mitm[i].name, VEXA_XML_NAME_SIZE - 1, name, sizeof name);
        xml_util_log(VEXA_XML_LOG_INFO, "(%s): MITM#%d %s", caller, i + 1, name);
    }
}
