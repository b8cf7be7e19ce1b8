// HELLO stanzas: writer and signature, parser, validation against the
// session tag, version negotiation. Reentrant; no locks.
#pragma once

#include "vexa_xml.h"

#include <cstddef>

// Writes the HELLO of rec in the POST form into full and the body alone into
// body (each optional, 4096 bytes). An empty version becomes "1.0"; with a
// key the signature is computed into rec first; with both outputs null the
// record is only signed. 0 or -601.
int vexa_xml_create_hello(sVEXA_XML_HELLO* rec, const char* key, char* full, char* body);

// The HELLO signature: SHA-256 of key, the thumbprint hash and the server
// name, through the callouts. False (logged) when uninitialised.
bool xml_intern_hello_signature(const sVEXA_XML_HELLO* rec, const char* key, uint8_t* out);

// Parses a framed or bare HELLO into rec. 0 or -600; *type tells what was found.
int vexa_xml_parse_hello(const char* buf, size_t len, eVEXA_XML_TYPE* type, sVEXA_XML_HELLO* rec);

// Checks version, session id, signature and thumbprint against the tag:
// 0, -603, -600, -607, -605 or -608.
int vexa_xml_validate_hello(const sVEXA_XML_HELLO* rec, const char* tag);
// Checks version and the thumbprint of certificate DER bytes: 0, -603, -608.
int vexa_xml_validate_hello_by_cert_data(const sVEXA_XML_HELLO* rec, const unsigned char* der,
                                         int len);

// The version the HELLO and its hops can agree on ("1.0" in 4 bytes): 0 or -612.
int vexa_xml_negotiate_hello_version(const sVEXA_XML_HELLO* rec, char* out);
