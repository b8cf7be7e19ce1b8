// Stanza framing: the POST and reply headers in front of every written
// stanza, the classifier of received buffers, and the REJECT / REJECTED
// writers. Reentrant; no locks (gmtime_r for the date).
#pragma once

#include "vexa_xml.h"

#include <cstddef>
#include <ctime>

// Framing codes of vexa_xml_header_get_type.
constexpr int VEXA_XML_FRAMING_NONE = 0;
constexpr int VEXA_XML_FRAMING_TLV = 1;
constexpr int VEXA_XML_FRAMING_HTTP = 2;
constexpr int VEXA_XML_FRAMING_XML = 3;

constexpr size_t VEXA_XML_POST_HEADER_SIZE = 139;
constexpr size_t VEXA_XML_REPLY_HEADER_SIZE = 102;
// Largest body a header's four-character length field is used for.
constexpr size_t VEXA_XML_MAX_BODY = 3955;

// Classifies a received buffer of len bytes (searches stop at its first
// NUL). Each output may be null: framing (0 none, 1 TLV, 2 HTTP-like, 3 bare
// XML), the stanza type, and the "<KAVRI" that starts the stanza. Returns 0.
int vexa_xml_header_get_type(const char* buf, size_t len, int* framing, eVEXA_XML_TYPE* type,
                             const char** xml);

// "<KAVRI><REJECT /></KAVRI>" in the POST form and "<KAVRI><REJECTED
// /></KAVRI>" in the reply form; full and body are optional 4096-byte
// outputs. Always 0.
int vexa_xml_create_reject(char* full, char* body);
int vexa_xml_create_rejected(char* full, char* body);

// Internal to the writers.
// The 29-character date of the reply header ("Sun,  6 Nov 1994 08:49:37 GMT").
void xml_intern_format_date(time_t now, char* out /* 30 */);
// Writes the header (POST when reply_form is 0, else the reply form dated
// now) with the body's length, then the outputs. -601 (logged under caller)
// when the body is longer than VEXA_XML_MAX_BODY.
int xml_intern_frame_stanza(const char* caller, int reply_form, time_t now, const char* body,
                            size_t body_len, char* full, char* body_out);
