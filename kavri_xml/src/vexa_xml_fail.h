// FAIL stanzas: writer and parser. Reentrant; no locks.
#pragma once

#include "vexa_xml.h"

#include <cstddef>
#include <ctime>

// Writes the FAIL of rec into full and the body into body (each optional,
// 4096 bytes): the POST form, or the reply form when reply_form is non-zero.
// 0 or -601.
int vexa_xml_create_fail(const sVEXA_XML_FAIL* rec, int reply_form, char* full, char* body);
// The same with a reply header dated now.
int xml_intern_create_fail_at(const sVEXA_XML_FAIL* rec, int reply_form, time_t now, char* full,
                              char* body);

// Parses a framed or bare FAIL into rec. 0 or -600; *type tells what was found.
int vexa_xml_parse_fail(const char* buf, size_t len, eVEXA_XML_TYPE* type, sVEXA_XML_FAIL* rec);

// Classifies a bare stanza by the first child of its KAVRI root: 0, or
// -600 for input that is not XML or has another root.
int vexa_xml_parse_stanza_type(const char* xml, size_t len, eVEXA_XML_TYPE* type);
