// Expat frame shared by the HELLO, VERSION and FAIL parsers.
#include "vexa_xml_parse.h"

#include "vexa_xml_frame.h"
#include "vexa_xml_util.h"

#include <expat.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

XML_Parser as_parser(void* p)
{
    return static_cast<XML_Parser>(p);
}

constexpr size_t kQuoteMax = 512;

void XMLCALL on_element_start(void* data, const XML_Char* name, const XML_Char** attrs)
{
    auto* ctx = static_cast<xml_parse_ctx*>(data);
    if (ctx->error)
        return;
    ++ctx->depth;
    if (ctx->skip_depth != 0) {
        char shown[VEXA_XML_NAME_SIZE];
        xml_parse_shown_name(name, shown);
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "Parsing for %s, in Unknown territory, received unexpected tag, \"%s\"",
                     ctx->stanza, shown);
        return;
    }
    if (ctx->depth == 1) {
        if (std::strcmp(name, "KAVRI") != 0) {
            char shown[VEXA_XML_NAME_SIZE];
            xml_parse_shown_name(name, shown);
            ctx->type = VEXA_XML_TYPE_UNKNOWN;
            xml_parse_failf(ctx, "Parsing for %s, expected \"%s\" as root node, was \"%s\" ",
                            ctx->stanza, "KAVRI", shown);
            return;
        }
        ctx->path[0] = XML_NODE_KAVRI;
        return;
    }
    if (ctx->depth > XML_PARSE_MAX_DEPTH) {
        // Deeper than any known node: nothing there is read.
        xml_parse_skip(ctx, "deep", name);
        return;
    }
    ctx->path[ctx->depth - 1] = 0;
    ctx->on_start(ctx, name, attrs);
}

void XMLCALL on_element_end(void* data, const XML_Char* /*name*/)
{
    auto* ctx = static_cast<xml_parse_ctx*>(data);
    if (ctx->error)
        return;
    if (ctx->skip_depth != 0) {
        if (ctx->depth == ctx->skip_depth)
            ctx->skip_depth = 0;
        --ctx->depth;
        return;
    }
    ctx->on_end(ctx, ctx->path[ctx->depth - 1]);
    --ctx->depth;
}

void XMLCALL on_character_data(void* data, const XML_Char* s, int len)
{
    auto* ctx = static_cast<xml_parse_ctx*>(data);
    if (ctx->error || ctx->skip_depth != 0 || ctx->depth < 1 ||
        ctx->depth > XML_PARSE_MAX_DEPTH)
        return;
    const int node = ctx->path[ctx->depth - 1];
    if (node != XML_NODE_SIGNATURE && node != XML_NODE_REQUESTED && node != XML_NODE_NEGOTIATED)
        return;
    const size_t n = static_cast<size_t>(len);
    if (n > XML_PARSE_TEXT_MAX - ctx->text_len) {
        ctx->text_overflow = true;
        return;
    }
    std::memcpy(ctx->text + ctx->text_len, s, n);
    ctx->text_len += n;
    ctx->text[ctx->text_len] = '\0';
}

void XMLCALL on_doctype(void* data, const XML_Char* /*name*/, const XML_Char* /*sysid*/,
                        const XML_Char* /*pubid*/, int /*has_internal_subset*/)
{
    auto* ctx = static_cast<xml_parse_ctx*>(data);
    ctx->doctype = true;
    xml_parse_failf(ctx, "Parsing for %s, refused a DOCTYPE declaration", ctx->stanza);
}

// The first 79 characters of the input, the last three as "..." when it is
// that long, sanitised.
void quote_input(const char* xml, size_t len, char* out /* 80 */)
{
    const size_t n = len < 79 ? len : 79;
    std::memcpy(out, xml, n);
    out[n] = '\0';
    if (n == 79)
        std::memcpy(out + 76, "...", 3);
    for (size_t i = 0; i < n; ++i)
        if (out[i] == '\0')
            out[i] = ' ';
    vexa_xml_sanitize(out);
}

}  // namespace

int xml_parse_run(const char* buf, size_t len, const char* stanza, bool quote, eVEXA_XML_TYPE* type,
                  void* rec, size_t rec_size, xml_start_fn on_start, xml_end_fn on_end)
{
    eVEXA_XML_TYPE local_type = VEXA_XML_TYPE_UNKNOWN;
    eVEXA_XML_TYPE& out_type = type != nullptr ? *type : local_type;
    const char* xml = nullptr;
    vexa_xml_header_get_type(buf, len, nullptr, nullptr, &xml);
    if (xml == nullptr || rec == nullptr) {
        out_type = VEXA_XML_TYPE_UNPARSEABLE;
        return VEXA_XML_ERR_NO_STANZA;
    }
    const size_t offset = static_cast<size_t>(xml - buf);
    // A DOCTYPE ahead of the stanza is refused too, though expat never sees it.
    if (offset >= 9 && memmem(buf, offset, "<!DOCTYPE", 9) != nullptr) {
        xml_util_log(VEXA_XML_LOG_ERROR, "Parsing for %s, refused a DOCTYPE declaration", stanza);
        out_type = VEXA_XML_TYPE_UNPARSEABLE;
        return VEXA_XML_ERR_NO_STANZA;
    }
    size_t xml_len = strnlen(xml, len - offset);
    if (xml_len > INT_MAX)
        xml_len = INT_MAX;

    XML_Parser parser = XML_ParserCreate("UTF-8");
    if (parser == nullptr) {
        out_type = VEXA_XML_TYPE_UNPARSEABLE;
        return VEXA_XML_ERR_NO_STANZA;
    }
    std::memset(rec, 0, rec_size);
    xml_parse_ctx ctx;
    std::memset(&ctx, 0, sizeof ctx);
    ctx.parser = parser;
    ctx.stanza = stanza;
    ctx.type = VEXA_XML_TYPE_UNKNOWN_KAVRI;
    ctx.rec = rec;
    ctx.on_start = on_start;
    ctx.on_end = on_end;
    XML_SetUserData(parser, &ctx);
    XML_SetElementHandler(parser, on_element_start, on_element_end);
    XML_SetCharacterDataHandler(parser, on_character_data);
    XML_SetStartDoctypeDeclHandler(parser, on_doctype);

    int rc = VEXA_XML_SUCCESS;
    if (XML_Parse(parser, xml, static_cast<int>(xml_len), XML_TRUE) == XML_STATUS_ERROR) {
        rc = VEXA_XML_ERR_NO_STANZA;
        if (ctx.doctype) {
            ctx.type = VEXA_XML_TYPE_UNPARSEABLE;
        } else if (!ctx.error) {
            const char* what = XML_ErrorString(XML_GetErrorCode(parser));
            ctx.type = VEXA_XML_TYPE_UNPARSEABLE;
            if (quote) {
                char shown[80];
                quote_input(xml, xml_len, shown);
                xml_util_log(VEXA_XML_LOG_ERROR,
                             "Error %s. Expected %s XML stanza, input buffer was not XML: \"%s\" ...",
                             what, stanza, shown);
            } else {
                xml_util_log(VEXA_XML_LOG_ERROR, "%s", what);
            }
        }
    } else if (ctx.error) {
        rc = VEXA_XML_ERR_NO_STANZA;
    }
    XML_ParserFree(parser);
    out_type = ctx.type;
    return rc;
}

void xml_parse_fail(xml_parse_ctx* ctx, const char* text)
{
    if (text != nullptr)
        vexa_xml_intern_log_message(VEXA_XML_LOG_ERROR, text);
    ctx->error = true;
    XML_StopParser(as_parser(ctx->parser), XML_FALSE);
}

void xml_parse_failf(xml_parse_ctx* ctx, const char* format, ...)
{
    char text[VEXA_XML_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    xml_parse_fail(ctx, text);
}

bool xml_parse_enter(xml_parse_ctx* ctx, int node, const char* name)
{
    const unsigned bit = 1u << node;
    if ((ctx->seen & bit) != 0) {
        char shown[VEXA_XML_NAME_SIZE];
        xml_parse_shown_name(name, shown);
        ctx->type = VEXA_XML_TYPE_UNKNOWN_KAVRI;
        xml_parse_failf(ctx, "Parsing for %s, received a second \"%s\"", ctx->stanza, shown);
        return false;
    }
    ctx->seen |= bit;
    ctx->path[ctx->depth - 1] = node;
    return true;
}

void xml_parse_skip(xml_parse_ctx* ctx, const char* level, const char* name)
{
    char shown[VEXA_XML_NAME_SIZE];
    xml_parse_shown_name(name, shown);
    if (std::strcmp(level, "deep") == 0)
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "Parsing for %s, in Unknown territory, received unexpected tag, \"%s\"",
                     ctx->stanza, shown);
    else
        xml_util_log(VEXA_XML_LOG_ERROR, "Parsing for %s, received unexpected %s-level tag, \"%s\"",
                     ctx->stanza, level, shown);
    ctx->skip_depth = ctx->depth;
}

bool xml_parse_other_stanza(xml_parse_ctx* ctx, const char* name, const char* format)
{
    static const struct {
        const char* name;
        eVEXA_XML_TYPE type;
    } kStanzas[] = {
        {"HELLO", VEXA_XML_TYPE_HELLO},   {"VERSION", VEXA_XML_TYPE_VERSION},
        {"REJECT", VEXA_XML_TYPE_REJECT}, {"FAIL", VEXA_XML_TYPE_FAIL},
        {"REJECTED", VEXA_XML_TYPE_REJECTED},
    };
    for (const auto& s : kStanzas) {
        if (std::strcmp(name, s.name) == 0) {
            char shown[VEXA_XML_NAME_SIZE];
            xml_parse_shown_name(name, shown);
            ctx->type = s.type;
            xml_parse_failf(ctx, format, shown);
            return true;
        }
    }
    return false;
}

void xml_parse_shown_name(const char* name, char* out)
{
    xml_util_sanitized_copy(name, VEXA_XML_NAME_SIZE - 1, out, VEXA_XML_NAME_SIZE);
}

void xml_parse_quote_attrs(const char** attrs, char* out, size_t size)
{
    xml_util_text t;
    xml_util_text_init(&t);
    for (int i = 0; attrs != nullptr && attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2) {
        xml_util_text_addf(&t, "%s%.200s=\"%.200s\"", i == 0 ? "" : " ", attrs[i], attrs[i + 1]);
        if (t.overflow || t.len > kQuoteMax)
            break;
    }
    xml_util_sanitized_copy(t.buf, kQuoteMax, out, size);
}

bool xml_parse_attrs(const char** attrs, const char* const* names, const char** values, int count)
{
    for (int k = 0; k < count; ++k)
        values[k] = nullptr;
    for (int i = 0; attrs != nullptr && attrs[i] != nullptr; i += 2) {
        for (int k = 0; k < count; ++k) {
            if (std::strcmp(attrs[i], names[k]) == 0) {
                if (values[k] != nullptr)
                    return false;
                values[k] = attrs[i + 1];
            }
        }
    }
    return true;
}

bool xml_parse_copy(const char* value, size_t max, char* out)
{
    if (value == nullptr)
        return false;
    const size_t n = strnlen(value, max + 1);
    if (n > max)
        return false;
    std::memcpy(out, value, n);
    out[n] = '\0';
    return true;
}

bool xml_parse_spi(const char* value, uint64_t* spi)
{
    uint64_t v = 0;
    if (!xml_util_parse_c_unsigned(value, &v) || v < VEXA_XML_SPI_MIN || v > VEXA_XML_SPI_MAX)
        return false;
    *spi = v;
    return true;
}

void xml_parse_hop(xml_parse_ctx* ctx, const char** attrs, sVEXA_XML_MITM_HELLOS* hops)
{
    static const char* const kNames[] = {"version", "name", "spi"};
    const char* v[3];
    char quoted[kQuoteMax + 1];
    if (attrs == nullptr || attrs[0] == nullptr) {
        xml_parse_failf(ctx,
                        "Parsing for %s MITM-HELLO, expected attribs for version, name and "
                        "(optionally) spi, received nothing",
                        ctx->stanza);
        return;
    }
    if (hops->count >= VEXA_XML_MAX_MITM) {
        ctx->type = VEXA_XML_TYPE_UNKNOWN_KAVRI;
        xml_parse_failf(ctx, "Parsing for %s MITM-HELLO, more than %d MITM hops", ctx->stanza,
                        VEXA_XML_MAX_MITM);
        return;
    }
    sVEXA_XML_MITM_HELLO& hop = hops->mitm[hops->count];
    const bool ok = xml_parse_attrs(attrs, kNames, v, 3) &&
                    xml_parse_copy(v[0], VEXA_XML_VERSION_SIZE - 1, hop.version) &&
                    xml_parse_copy(v[1], VEXA_XML_NAME_SIZE - 1, hop.name) &&
                    (v[2] == nullptr || xml_parse_spi(v[2], &hop.spi));
    if (!ok) {
        xml_parse_quote_attrs(attrs, quoted, sizeof quoted);
        xml_parse_failf(ctx,
                        "Parsing for %s MITM-HELLO, expected attribs for version, name and "
                        "(optionally) spi, received \"%s\"",
                        ctx->stanza, quoted);
        return;
    }
    ++hops->count;
}

void xml_parse_collect(xml_parse_ctx* ctx)
{
    ctx->text_len = 0;
    ctx->text[0] = '\0';
    ctx->text_overflow = false;
}

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

int xml_parse_hash_content(xml_parse_ctx* ctx, uint8_t* hash)
{
    char quoted[XML_PARSE_TEXT_MAX + 1];
    if (ctx->text_overflow) {
        xml_util_sanitized_copy(ctx->text, 100, quoted, sizeof quoted);
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "Parsing for a SHA-256 hash value, expected exactly one value, received too "
                     "much data: \"%s\"",
                     quoted);
        return -1;
    }
    const char* p = ctx->text;
    while (is_blank(*p))
        ++p;
    if (*p == '\0')
        return 0;
    const char* token = p;
    while (*p != '\0' && !is_blank(*p))
        ++p;
    const size_t token_len = static_cast<size_t>(p - token);
    const char* rest = p;
    while (is_blank(*rest))
        ++rest;
    if (*rest != '\0' || !xml_util_hash_is_0(hash)) {
        xml_util_sanitized_copy(ctx->text, XML_PARSE_TEXT_MAX, quoted, sizeof quoted);
        xml_util_log(VEXA_XML_LOG_ERROR,
                     *rest != '\0'
                         ? "Parsing for a SHA-256 hash value, expected exactly one value, "
                           "received too much data: \"%s\""
                         : "Parsing for a SHA-256 hash value, expected exactly one value, "
                           "received a second one: \"%s\"",
                     quoted);
        return -1;
    }
    uint8_t value[VEXA_XML_HASH_SIZE];
    bool ok = token_len == 2 * VEXA_XML_HASH_SIZE;
    for (size_t i = 0; ok && i < VEXA_XML_HASH_SIZE; ++i) {
        unsigned byte = 0;
        for (int k = 0; k < 2; ++k) {
            const char c = token[2 * i + static_cast<size_t>(k)];
            unsigned d;
            if (c >= '0' && c <= '9')
                d = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                d = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                d = static_cast<unsigned>(c - 'A' + 10);
            else {
                ok = false;
                break;
            }
            byte = byte << 4 | d;
        }
        value[i] = static_cast<uint8_t>(byte);
    }
    if (!ok) {
        char tok[XML_PARSE_TEXT_MAX + 1];
        std::memcpy(tok, token, token_len);
        tok[token_len] = '\0';
        xml_util_sanitized_copy(tok, XML_PARSE_TEXT_MAX, quoted, sizeof quoted);
        xml_util_log(VEXA_XML_LOG_ERROR, "Parsing for a SHA-256 hash value,  unparseable input \"%s\"",
                     quoted);
        return -1;
    }
    std::memcpy(hash, value, sizeof value);
    return 1;
}
