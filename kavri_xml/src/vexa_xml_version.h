// VERSION stanzas: writer and signatures, parser, validation against the
// session tag, negotiated-version check. Reentrant; no locks.
#pragma once

#include "vexa_xml.h"

#include <cstddef>
#include <ctime>

// Writes the VERSION of rec in the reply form into full and the body into
// body (each optional, 4096 bytes). An empty negotiated version becomes
// "1.0"; with a key both signatures are computed into rec first. 0 or -601.
int vexa_xml_create_version(sVEXA_XML_VERSION* rec, const char* key, char* full, char* body);
// The same with the reply header dated now.
int xml_intern_create_version_at(sVEXA_XML_VERSION* rec, const char* key, time_t now, char* full,
                                 char* body);

// The request and negotiated signatures through the callouts; false
// (logged) when uninitialised or with more than 10 hops.
bool xml_intern_version_signatures(const sVEXA_XML_VERSION* rec, const char* key,
                                   uint8_t* request, uint8_t* negotiated);

// Parses a framed or bare VERSION into rec. 0 or -600; *type tells what was
// found (4 for a REJECTED).
int vexa_xml_parse_version(const char* buf, size_t len, eVEXA_XML_TYPE* type,
                           sVEXA_XML_VERSION* rec);

// Checks the negotiated version and both signatures: 0, -603, -606 or -605.
int vexa_xml_validate_version(const sVEXA_XML_VERSION* rec, const char* tag);
// Copies the negotiated version (8 bytes) into out: 0, -612 or -604.
int vexa_xml_validate_negotiated_version(const sVEXA_XML_VERSION* rec, char* out);
