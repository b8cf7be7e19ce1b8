// The common frame of the expat stanza parsers: one parser per call over
// one in-memory buffer, an element stack with known-node ids, skipping of
// unknown subtrees, per-element character data, and the rules shared by all
// stanzas (root, hops, hashes, attributes). Reentrant; no locks.
#pragma once

#include "vexa_xml.h"

#include <cstddef>
#include <cstdint>

// Known nodes of the stanza trees.
enum xml_node : int {
    XML_NODE_KAVRI = 1,
    XML_NODE_HELLO,
    XML_NODE_SESSION,
    XML_NODE_SIGNATURE,
    XML_NODE_MITM,
    XML_NODE_HOP,
    XML_NODE_VERSION,
    XML_NODE_NEGOTIATION,
    XML_NODE_SIGNATURES,
    XML_NODE_REQUESTED,
    XML_NODE_NEGOTIATED,
    XML_NODE_FAIL,
};

constexpr int XML_PARSE_MAX_DEPTH = 8;       // known nodes are at most 5 deep
constexpr size_t XML_PARSE_TEXT_MAX = 512;   // character data of one hash element

struct xml_parse_ctx;
// Stanza rules: a known child of the current node (the parent is
// ctx->path[ctx->depth - 2]) or the end of a known node.
using xml_start_fn = void (*)(xml_parse_ctx* ctx, const char* name, const char** attrs);
using xml_end_fn = void (*)(xml_parse_ctx* ctx, int node);

struct xml_parse_ctx {
    void* parser;           // XML_Parser
    const char* stanza;     // "KAVRI_HELLO", as messages name it
    eVEXA_XML_TYPE type;
    bool error;
    bool doctype;
    int depth;              // open elements
    int skip_depth;         // depth of the element being skipped, 0 when none
    int path[XML_PARSE_MAX_DEPTH];  // node id of each open element, by depth - 1
    unsigned seen;          // bit per node id met so far
    char text[XML_PARSE_TEXT_MAX + 1];
    size_t text_len;
    bool text_overflow;
    void* rec;
    xml_start_fn on_start;
    xml_end_fn on_end;
};

// Runs a parse of the stanza found in buf: 0, or -600 with *type telling
// what was seen. rec (rec_size bytes) is zeroed first. When quote_input is
// set an input that is not XML is quoted in the message.
int xml_parse_run(const char* buf, size_t len, const char* stanza, bool quote_input,
                  eVEXA_XML_TYPE* type, void* rec, size_t rec_size, xml_start_fn on_start,
                  xml_end_fn on_end);

// Helpers for the stanza rules.
// Marks the parse failed (logs text when given) and stops expat.
void xml_parse_fail(xml_parse_ctx* ctx, const char* text);
void xml_parse_failf(xml_parse_ctx* ctx, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Enters a known node, refusing a second one of the same id (a duplicated
// element would make the stanza ambiguous); false when the parse failed.
bool xml_parse_enter(xml_parse_ctx* ctx, int node, const char* name);
// Skips the current element and its subtree, logged under level.
void xml_parse_skip(xml_parse_ctx* ctx, const char* level, const char* name);
// A child of KAVRI that names another stanza: sets the type, fails. True
// when name was such a stanza.
bool xml_parse_other_stanza(xml_parse_ctx* ctx, const char* name, const char* format);
// The element name as messages show it: cut to 79 characters, sanitised.
void xml_parse_shown_name(const char* name, char* out /* 80 */);
// The attributes as name="value" pairs, sanitised and bounded.
void xml_parse_quote_attrs(const char** attrs, char* out, size_t size);

// Finds each of the names (count of them) among attrs: values[i] is the
// value or null. False when a known name appears twice.
bool xml_parse_attrs(const char** attrs, const char* const* names, const char** values,
                     int count);
// Copies a value of at most max characters into out; false when longer.
bool xml_parse_copy(const char* value, size_t max, char* out);
// An SPI preference in C notation within 256..0x7FFFFFFF.
bool xml_parse_spi(const char* value, uint64_t* spi);

// Appends one MITM hop from attrs; logs "Parsing for <stanza> MITM-HELLO, ..."
// and fails on bad attributes or an 11th hop.
void xml_parse_hop(xml_parse_ctx* ctx, const char** attrs, sVEXA_XML_MITM_HELLOS* hops);

// Starts collecting the character data of the current element.
void xml_parse_collect(xml_parse_ctx* ctx);
// Applies the hash rule to the collected text: 1 stored into hash, 0 only
// whitespace (ignored), -1 refused (logged).
int xml_parse_hash_content(xml_parse_ctx* ctx, uint8_t* hash);
