// FAIL writer and parser, and the bare stanza classifier.
#include "vexa_xml_fail.h"

#include "vexa_xml_frame.h"
#include "vexa_xml_mitm.h"
#include "vexa_xml_parse.h"
#include "vexa_xml_util.h"

#include <expat.h>

#include <climits>
#include <cstdint>
#include <cstring>

int xml_intern_create_fail_at(const sVEXA_XML_FAIL* rec, int reply_form, time_t now, char* full,
                              char* body)
{
    if (rec == nullptr) {
        xml_util_log(VEXA_XML_LOG_ERROR, "(vexa_xml_create_fail) -- no fail_info given");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (rec->failure_code == 0) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_fail) -- input fail_info did not have a non-zero "
                     "failure_code");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    int length = 0;
    if (!xml_util_text_field_ok(rec->failure_reason, sizeof rec->failure_reason, 79, &length)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_fail) -- input fail_info did not have valid failure_reason "
                     "(length = %d)",
                     length);
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    xml_util_text text;
    xml_util_text_init(&text);
    xml_util_text_addf(&text, "<KAVRI><FAIL code=\"%d\" reason=\"",
                       static_cast<int32_t>(rec->failure_code));
    xml_util_text_add_escaped(&text, rec->failure_reason, sizeof rec->failure_reason - 1);
    xml_util_text_add(&text, "\">");
    const int rc = xml_create_mitm_hellos(&rec->mitm_hellos, &text);
    if (rc != 0)
        return rc;
    xml_util_text_add(&text, "</FAIL></KAVRI>");
    if (text.overflow) {
        xml_util_log(VEXA_XML_LOG_ERROR, "(vexa_xml_create_fail) -- stanza body does not fit");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    return xml_intern_frame_stanza("vexa_xml_create_fail", reply_form, now, text.buf, text.len,
                                   full, body);
}

int vexa_xml_create_fail(const sVEXA_XML_FAIL* rec, int reply_form, char* full, char* body)
{
    return xml_intern_create_fail_at(rec, reply_form, time(nullptr), full, body);
}

namespace {

constexpr char kStanza[] = "KAVRI_FAIL";

void fail_attributes(xml_parse_ctx* ctx, sVEXA_XML_FAIL* rec, const char** attrs)
{
    static const char* const kNames[] = {"code", "reason"};
    const char* v[2];
    bool ok = xml_parse_attrs(attrs, kNames, v, 2) && v[0] != nullptr &&
              xml_util_parse_fail_code(v[0], &rec->failure_code) &&
              (v[1] == nullptr || xml_parse_copy(v[1], VEXA_XML_NAME_SIZE - 1, rec->failure_reason));
    if (ok && rec->failure_code == 0) {
        xml_parse_fail(ctx, "Trying to parse KAVRI_FAIL, given failure code was 0");
        return;
    }
    if (!ok) {
        char quoted[600];
        xml_parse_quote_attrs(attrs, quoted, sizeof quoted);
        xml_parse_failf(ctx,
                        "Parsing for KAVRI_FAIL, expected attribs for code and (optionally) "
                        "reason, received \"%s\"",
                        quoted);
    }
}

void fail_start(xml_parse_ctx* ctx, const char* name, const char** attrs)
{
    auto* rec = static_cast<sVEXA_XML_FAIL*>(ctx->rec);
    const int parent = ctx->path[ctx->depth - 2];
    switch (parent) {
    case XML_NODE_KAVRI:
        if (std::strcmp(name, "FAIL") == 0) {
            ctx->type = VEXA_XML_TYPE_FAIL;
            if (xml_parse_enter(ctx, XML_NODE_FAIL, name))
                fail_attributes(ctx, rec, attrs);
        } else if (!xml_parse_other_stanza(ctx, name,
                                           "Parsing for KAVRI_FAIL, received \"%s\" instead")) {
            xml_parse_skip(ctx, "KAVRI", name);
        }
        return;
    case XML_NODE_FAIL:
        if (std::strcmp(name, "MITM") == 0)
            xml_parse_enter(ctx, XML_NODE_MITM, name);
        else
            xml_parse_skip(ctx, "<KAVRI><FAIL>", name);
        return;
    case XML_NODE_MITM:
        if (std::strcmp(name, "HELLO") == 0) {
            ctx->path[ctx->depth - 1] = XML_NODE_HOP;
            xml_parse_hop(ctx, attrs, &rec->mitm_hellos);
        } else {
            xml_parse_skip(ctx, "<KAVRI><FAIL><MITM>", name);
        }
        return;
    default:
        xml_parse_skip(ctx, "<KAVRI><FAIL><MITM><HELLO>", name);
        return;
    }
}

void fail_end(xml_parse_ctx* ctx, int node)
{
    if (node == XML_NODE_KAVRI && (ctx->seen & (1u << XML_NODE_FAIL)) == 0)
        xml_parse_fail(ctx, "Parsing for KAVRI_FAIL, reached the end of <KAVRI> without seeing "
                            "<FAIL> tag.");
}

}  // namespace

int vexa_xml_parse_fail(const char* buf, size_t len, eVEXA_XML_TYPE* type, sVEXA_XML_FAIL* rec)
{
    return xml_parse_run(buf, len, kStanza, true, type, rec, sizeof *rec, fail_start, fail_end);
}

// The bare classifier: its own small expat pass that stops at the first
// child of the root.
namespace {

struct classify_ctx {
    XML_Parser parser;
    int depth;
    bool root_ok;
    bool refused;
    eVEXA_XML_TYPE type;
};

void XMLCALL classify_start(void* data, const XML_Char* name, const XML_Char** /*attrs*/)
{
    auto* ctx = static_cast<classify_ctx*>(data);
    ++ctx->depth;
    if (ctx->depth == 1) {
        ctx->root_ok = std::strcmp(name, "KAVRI") == 0;
        if (!ctx->root_ok) {
            ctx->type = VEXA_XML_TYPE_UNKNOWN;
            XML_StopParser(ctx->parser, XML_FALSE);
        }
        return;
    }
    // The names compare as prefixes, as the framing classifier does.
    static const struct {
        const char* name;
        eVEXA_XML_TYPE type;
    } kNames[] = {{"REJECTED", VEXA_XML_TYPE_REJECTED}, {"VERSION", VEXA_XML_TYPE_VERSION},
                  {"REJECT", VEXA_XML_TYPE_REJECT},     {"HELLO", VEXA_XML_TYPE_HELLO},
                  {"FAIL", VEXA_XML_TYPE_FAIL}};
    ctx->type = VEXA_XML_TYPE_UNKNOWN_KAVRI;
    for (const auto& n : kNames) {
        if (std::strncmp(name, n.name, std::strlen(n.name)) == 0) {
            ctx->type = n.type;
            break;
        }
    }
    XML_StopParser(ctx->parser, XML_FALSE);
}

void XMLCALL classify_end(void* data, const XML_Char* /*name*/)
{
    --static_cast<classify_ctx*>(data)->depth;
}

void XMLCALL classify_doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int)
{
    auto* ctx = static_cast<classify_ctx*>(data);
    ctx->refused = true;
    XML_StopParser(ctx->parser, XML_FALSE);
}

}  // namespace

int vexa_xml_parse_stanza_type(const char* xml, size_t len, eVEXA_XML_TYPE* type)
{
    eVEXA_XML_TYPE local = VEXA_XML_TYPE_UNKNOWN;
    eVEXA_XML_TYPE& out = type != nullptr ? *type : local;
    out = VEXA_XML_TYPE_UNKNOWN;
    if (xml == nullptr)
        return VEXA_XML_ERR_NO_STANZA;
    size_t n = strnlen(xml, len);
    if (n > INT_MAX)
        n = INT_MAX;
    XML_Parser parser = XML_ParserCreate("UTF-8");
    if (parser == nullptr)
        return VEXA_XML_ERR_NO_STANZA;
    classify_ctx ctx{parser, 0, false, false, VEXA_XML_TYPE_UNKNOWN_KAVRI};
    XML_SetUserData(parser, &ctx);
    XML_SetElementHandler(parser, classify_start, classify_end);
    XML_SetStartDoctypeDeclHandler(parser, classify_doctype);
    const XML_Status status = XML_Parse(parser, xml, static_cast<int>(n), XML_TRUE);
    const XML_Error error = XML_GetErrorCode(parser);
    int rc = VEXA_XML_SUCCESS;
    if (ctx.refused) {
        out = VEXA_XML_TYPE_UNPARSEABLE;
        xml_util_log(VEXA_XML_LOG_ERROR, "Parsing for a KAVRI stanza, refused a DOCTYPE declaration");
        rc = VEXA_XML_ERR_NO_STANZA;
    } else if (status == XML_STATUS_ERROR && error != XML_ERROR_ABORTED) {
        char shown[21];
        xml_util_sanitized_copy(xml, 20, shown, sizeof shown);
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "Error %s. Expected KAVRI XML stanza, input buffer was not XML: \"%s\" ...",
                     XML_ErrorString(error), shown);
        out = VEXA_XML_TYPE_UNPARSEABLE;
        rc = VEXA_XML_ERR_NO_STANZA;
    } else if (!ctx.root_ok) {
        out = VEXA_XML_TYPE_UNKNOWN;
        rc = VEXA_XML_ERR_NO_STANZA;
    } else {
        out = ctx.type;
    }
    XML_ParserFree(parser);
    return rc;
}
