// Formatting of the certificate utilities' messages: a 4096-byte buffer,
// cut to fit, handed to the stanza library's log function.
#pragma once

#include "safe_lib.h"
#include "vexa_xml.h"

#define VEXA_CERT_LOG(level, ...)                                                      \
    do {                                                                               \
        char vexa_cert_log_text[VEXA_XML_BUFFER_SIZE];                                 \
        kavri_sprintf_s(vexa_cert_log_text, sizeof vexa_cert_log_text, __VA_ARGS__);   \
        vexa_xml_intern_log_message((level), vexa_cert_log_text);                      \
    } while (0)
