// HELLO writer, signature, parser, validation and negotiation.
#include "vexa_xml_hello.h"

#include "vexa_xml_frame.h"
#include "vexa_xml_mitm.h"
#include "vexa_xml_parse.h"
#include "vexa_xml_util.h"

#include <cinttypes>
#include <cstring>

namespace {

constexpr size_t kTagLength = 104;
constexpr size_t kF1 = 4, kF2 = 48, kT = 92;

}  // namespace

bool xml_intern_hello_signature(const sVEXA_XML_HELLO* rec, const char* key, uint8_t* out)
{
    xml_util_sha256 h;
    if (!xml_util_sha256_begin(&h, "vexa_xml_hello_signature"))
        return false;
    xml_util_sha256_add(&h, key, std::strlen(key));
    xml_util_sha256_add(&h, rec->thumbprint_hash, sizeof rec->thumbprint_hash);
    xml_util_sha256_add_text(&h, rec->server_name, sizeof rec->server_name);
    return xml_util_sha256_end(&h, out);
}

int vexa_xml_create_hello(sVEXA_XML_HELLO* rec, const char* key, char* full, char* body)
{
    if (rec == nullptr) {
        xml_util_log(VEXA_XML_LOG_ERROR, "(vexa_xml_create_hello) -- no hello_info given");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (rec->version[0] == '\0')
        std::memcpy(rec->version, vexa_xml_get_api_version(), 4);
    if (key != nullptr && !xml_intern_hello_signature(rec, key, rec->signature))
        return VEXA_XML_ERR_INVALID_FIELD;
    if (full == nullptr && body == nullptr)
        return VEXA_XML_SUCCESS;

    int length = 0;
    if (!xml_util_text_field_ok(rec->version, sizeof rec->version, 7, &length)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_hello) -- input hello_info did not have valid version "
                     "(length = %d)",
                     length);
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (xml_util_session_id_is_0(rec->session_id)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_hello) -- input hello_info did not have valid session_id");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (xml_util_hash_is_0(rec->thumbprint_hash)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_hello) -- input hello_info did not have valid "
                     "thumbprint_hash");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (!xml_util_text_field_ok(rec->server_name, sizeof rec->server_name, 79, &length)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_hello) -- input hello_info did not have valid server_name "
                     "(length = %d)",
                     length);
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (xml_util_hash_is_0(rec->signature)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_hello) -- input hello_info did not have valid signature");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (rec->spi != 0 && (rec->spi < VEXA_XML_SPI_MIN || rec->spi > VEXA_XML_SPI_MAX)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_hello) -- input hello_info did not have valid non-zero SPI "
                     "preference = %" PRIu64 " (valid range is [%d..%d])",
                     rec->spi, 256, 2147483647);
        return VEXA_XML_ERR_INVALID_FIELD;
    }

    char id_hex[17], thumb_hex[65], sig_hex[65];
    xml_util_session_id_to_hex(rec->session_id, id_hex);
    xml_util_sha256_hash_to_hex(rec->thumbprint_hash, thumb_hex);
    xml_util_sha256_hash_to_hex(rec->signature, sig_hex);

    xml_util_text text;
    xml_util_text_init(&text);
    xml_util_text_add(&text, "<KAVRI><HELLO version=\"");
    xml_util_text_add_escaped(&text, rec->version, sizeof rec->version - 1);
    xml_util_text_addf(&text, "\" sessionID=\"%s\" spi=\"%" PRIu64 "\"><SESSION thumbprint=\"%s\" serverName=\"",
                       id_hex, rec->spi, thumb_hex);
    xml_util_text_add_escaped(&text, rec->server_name, sizeof rec->server_name - 1);
    xml_util_text_addf(&text, "\" /><SIGNATURE>%s</SIGNATURE></HELLO>", sig_hex);
    const int rc = xml_create_mitm_hellos(&rec->mitm_hellos, &text);
    if (rc != 0)
        return rc;
    xml_util_text_add(&text, "</KAVRI>");
    if (text.overflow) {
        xml_util_log(VEXA_XML_LOG_ERROR, "(vexa_xml_create_hello) -- stanza body does not fit");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    return xml_intern_frame_stanza("vexa_xml_create_hello", 0, 0, text.buf, text.len, full, body);
}

// Parser rules.
namespace {

constexpr char kStanza[] = "KAVRI_HELLO";

void hello_attributes(xml_parse_ctx* ctx, sVEXA_XML_HELLO* rec, const char** attrs)
{
    if (attrs == nullptr || attrs[0] == nullptr) {
        xml_parse_fail(ctx,
                       "Parsing for KAVRI_HELLO, expected attribs for version and session_id and "
                       "(optionally) spi, received nothing");
        return;
    }
    static const char* const kNames[] = {"version", "sessionID", "spi"};
    const char* v[3];
    bool ok = xml_parse_attrs(attrs, kNames, v, 3) &&
              xml_parse_copy(v[0], VEXA_XML_VERSION_SIZE - 1, rec->version) && v[1] != nullptr &&
              strnlen(v[1], 17) == 16;
    if (ok) {
        // Checked digit by digit here so that a bad id logs the attribute message.
        for (int i = 0; i < 16 && ok; ++i) {
            const char c = v[1][i];
            ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        }
        ok = ok && xml_util_session_id_from_hex(v[1], rec->session_id) == 0 &&
             !xml_util_session_id_is_0(rec->session_id);
    }
    if (ok && v[2] != nullptr && std::strcmp(v[2], "0") != 0)
        ok = xml_parse_spi(v[2], &rec->spi);
    if (!ok) {
        char quoted[600];
        xml_parse_quote_attrs(attrs, quoted, sizeof quoted);
        xml_parse_failf(ctx,
                        "Parsing for KAVRI_HELLO, expected attribs for version, session_id and "
                        "(optionally) spi, received \"%s\"",
                        quoted);
    }
}

void session_attributes(xml_parse_ctx* ctx, sVEXA_XML_HELLO* rec, const char** attrs)
{
    if (attrs == nullptr || attrs[0] == nullptr) {
        xml_parse_fail(ctx,
                       "Parsing for KAVRI_HELLO, expected attribs for thumbprint and serverName, "
                       "received nothing");
        return;
    }
    static const char* const kNames[] = {"thumbprint", "serverName"};
    const char* v[2];
    bool ok = xml_parse_attrs(attrs, kNames, v, 2) && v[0] != nullptr && v[1] != nullptr &&
              strnlen(v[0], 65) == 64 &&
              xml_parse_copy(v[1], VEXA_XML_NAME_SIZE - 1, rec->server_name);
    for (int i = 0; i < 64 && ok; ++i) {
        const char c = v[0][i];
        ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }
    ok = ok && xml_util_sha256_hash_from_hex(v[0], rec->thumbprint_hash) == 0;
    if (!ok) {
        char quoted[600];
        xml_parse_quote_attrs(attrs, quoted, sizeof quoted);
        xml_parse_failf(ctx,
                        "Parsing for KAVRI_HELLO, expected attribs for thumbprint and serverName, "
                        "received \"%s\"",
                        quoted);
    }
}

void hello_start(xml_parse_ctx* ctx, const char* name, const char** attrs)
{
    auto* rec = static_cast<sVEXA_XML_HELLO*>(ctx->rec);
    const int parent = ctx->path[ctx->depth - 2];
    switch (parent) {
    case XML_NODE_KAVRI:
        if (std::strcmp(name, "HELLO") == 0) {
            ctx->type = VEXA_XML_TYPE_HELLO;
            if (xml_parse_enter(ctx, XML_NODE_HELLO, name))
                hello_attributes(ctx, rec, attrs);
        } else if (std::strcmp(name, "MITM") == 0) {
            xml_parse_enter(ctx, XML_NODE_MITM, name);
        } else if (!xml_parse_other_stanza(ctx, name,
                                           "Parsing for KAVRI_HELLO, received \"%s\" instead")) {
            xml_parse_skip(ctx, "KAVRI", name);
        }
        return;
    case XML_NODE_HELLO:
        if (std::strcmp(name, "SESSION") == 0) {
            if (xml_parse_enter(ctx, XML_NODE_SESSION, name))
                session_attributes(ctx, rec, attrs);
        } else if (std::strcmp(name, "SIGNATURE") == 0) {
            if (xml_parse_enter(ctx, XML_NODE_SIGNATURE, name))
                xml_parse_collect(ctx);
        } else {
            xml_parse_skip(ctx, "<KAVRI><HELLO>", name);
        }
        return;
    case XML_NODE_MITM:
        if (std::strcmp(name, "HELLO") == 0) {
            ctx->path[ctx->depth - 1] = XML_NODE_HOP;
            xml_parse_hop(ctx, attrs, &rec->mitm_hellos);
        } else {
            xml_parse_skip(ctx, "<KAVRI><MITM>", name);
        }
        return;
    case XML_NODE_HOP:
        xml_parse_skip(ctx, "<KAVRI><MITM><HELLO>", name);
        return;
    case XML_NODE_SESSION:
        xml_parse_skip(ctx, "<KAVRI><HELLO><SESSION>", name);
        return;
    default:
        xml_parse_skip(ctx, "<KAVRI><HELLO><SIGNATURE>", name);
        return;
    }
}

void hello_end(xml_parse_ctx* ctx, int node)
{
    auto* rec = static_cast<sVEXA_XML_HELLO*>(ctx->rec);
    switch (node) {
    case XML_NODE_SIGNATURE:
        if (xml_parse_hash_content(ctx, rec->signature) < 0)
            xml_parse_fail(ctx, "Parsing KAVRI_HELLO for signature hash failed.");
        return;
    case XML_NODE_HELLO:
        if (rec->server_name[0] == '\0')
            xml_parse_fail(ctx, "Parsing for KAVRI_HELLO, reached the end of <HELLO> without "
                                "seeing <SESSION> tag.");
        else if (xml_util_hash_is_0(rec->signature))
            xml_parse_fail(ctx, "Parsing for KAVRI_HELLO, reached the end of <HELLO> without "
                                "seeing <SIGNATURE> tag.");
        return;
    case XML_NODE_KAVRI:
        if ((ctx->seen & (1u << XML_NODE_HELLO)) == 0)
            xml_parse_fail(ctx, "Parsing for KAVRI_HELLO, reached the end of <KAVRI> without "
                                "seeing <HELLO> tag.");
        return;
    default:
        return;
    }
}

}  // namespace

int vexa_xml_parse_hello(const char* buf, size_t len, eVEXA_XML_TYPE* type, sVEXA_XML_HELLO* rec)
{
    eVEXA_XML_TYPE local = VEXA_XML_TYPE_UNKNOWN;
    eVEXA_XML_TYPE* out = type != nullptr ? type : &local;
    const int rc = xml_parse_run(buf, len, kStanza, false, out, rec, sizeof *rec, hello_start,
                                 hello_end);
    if (rc != 0)
        return rc;
    if (xml_util_check_version(rec->version) != 0) {
        char shown[VEXA_XML_VERSION_SIZE];
        xml_util_sanitized_copy(rec->version, 7, shown, sizeof shown);
        *out = VEXA_XML_TYPE_UNKNOWN_KAVRI;
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "Error %s. Expected KAVRI_HELLO XML stanza, version was wrong: \"%s\"",
                     "invalid version", shown);
        return VEXA_XML_ERR_NO_STANZA;
    }
    return VEXA_XML_SUCCESS;
}

namespace {

// Step 1 of both HELLO checks.
bool hello_version_acceptable(const sVEXA_XML_HELLO* rec)
{
    if (std::strncmp(rec->version, "1.0", 3) >= 0)
        return true;
    char shown[VEXA_XML_VERSION_SIZE];
    xml_util_sanitized_copy(rec->version, 7, shown, sizeof shown);
    xml_util_log(VEXA_XML_LOG_ERROR,
                 "(vexa_xml_validate_hello): version is invalid, expected >= \"1.0\", got \"%s\"",
                 shown);
    return false;
}

}  // namespace

int vexa_xml_validate_hello(const sVEXA_XML_HELLO* rec, const char* tag)
{
    if (rec == nullptr)
        return VEXA_XML_ERR_NO_STANZA;
    if (!hello_version_acceptable(rec))
        return VEXA_XML_ERR_VERSION;

    unsigned char f1[33], f2[33], t[9];
    const bool tag_ok =
        tag != nullptr && std::strncmp(tag, "SCS", 3) == 0 && strnlen(tag, kTagLength) == kTagLength &&
        xml_util_convert_from_base64(tag + kF1, 44, f1, sizeof f1) == 0 &&
        xml_util_convert_from_base64(tag + kF2, 44, f2, sizeof f2) == 0 &&
        xml_util_convert_from_base64(tag + kT, 12, t, sizeof t) == 0;
    if (!tag_ok) {
        xml_util_log(VEXA_XML_LOG_ERROR, "(vexa_xml_validate_hello): failed to parse the context tag");
        return VEXA_XML_ERR_NO_STANZA;
    }
    if (!xml_util_equal_ct(rec->session_id, t, 8)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_validate_hello): session_id does not match expected value");
        return VEXA_XML_ERR_SESSION_ID;
    }
    uint8_t signature[VEXA_XML_HASH_SIZE];
    if (!xml_intern_hello_signature(rec, tag, signature) ||
        !xml_util_equal_ct(signature, rec->signature, sizeof signature)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_validate_hello): signature from xml does not match calculated "
                     "signature");
        return VEXA_XML_ERR_SIGNATURE;
    }
    uint8_t thumbprint[VEXA_XML_HASH_SIZE];
    std::memcpy(thumbprint, f2 + 16, 16);
    std::memcpy(thumbprint + 16, f1 + 16, 16);
    if (!xml_util_equal_ct(thumbprint, rec->thumbprint_hash, sizeof thumbprint)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_validate_hello): thumbprint hash from xml does not match "
                     "calculated thumbprint hash");
        return VEXA_XML_ERR_THUMBPRINT;
    }
    xml_intern_log_hops("vexa_xml_validate_hello", &rec->mitm_hellos);
    return VEXA_XML_SUCCESS;
}

int vexa_xml_validate_hello_by_cert_data(const sVEXA_XML_HELLO* rec, const unsigned char* der,
                                         int len)
{
    if (rec == nullptr)
        return VEXA_XML_ERR_NO_STANZA;
    if (!hello_version_acceptable(rec))
        return VEXA_XML_ERR_VERSION;
    uint8_t id_hash[VEXA_XML_HASH_SIZE];
    uint8_t thumbprint[VEXA_XML_HASH_SIZE];
    xml_util_sha256 h;
    bool ok = der != nullptr && len > 0 &&
              xml_util_sha256_begin(&h, "vexa_xml_validate_hello_by_cert_data");
    if (ok) {
        xml_util_sha256_add(&h, rec->session_id, sizeof rec->session_id);
        ok = xml_util_sha256_end(&h, id_hash) &&
             xml_util_sha256_begin(&h, "vexa_xml_validate_hello_by_cert_data");
    }
    if (ok) {
        xml_util_sha256_add(&h, der, static_cast<size_t>(len));
        xml_util_sha256_add(&h, id_hash, sizeof id_hash);
        ok = xml_util_sha256_end(&h, thumbprint) &&
             xml_util_equal_ct(thumbprint, rec->thumbprint_hash, sizeof thumbprint);
    }
    if (!ok) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_validate_hello): thumbprint hash from xml does not match "
                     "calculated thumbprint hash");
        return VEXA_XML_ERR_THUMBPRINT;
    }
    return VEXA_XML_SUCCESS;
}

int vexa_xml_negotiate_hello_version(const sVEXA_XML_HELLO* rec, char* out)
{
    unsigned own = 0;
    if (rec == nullptr || !xml_get_known_version(rec->version, &own) ||
        rec->mitm_hellos.count > VEXA_XML_MAX_MITM)
        return VEXA_XML_ERR_NEGOTIATION;
    unsigned result = own == VEXA_XML_VERSION_ABOVE ? VEXA_XML_VERSION_1_1 : own;
    for (int i = 0; i < rec->mitm_hellos.count; ++i) {
        unsigned hop = 0;
        if (!xml_get_known_version(rec->mitm_hellos.mitm[i].version, &hop))
            return VEXA_XML_ERR_NEGOTIATION;
        if (hop < result)
            result = hop;
    }
    if (result == VEXA_XML_VERSION_1_1)
        result = VEXA_XML_VERSION_1_0;
    if (out != nullptr)
        std::memcpy(out, result == VEXA_XML_VERSION_1_0 ? "1.0" : "", result == VEXA_XML_VERSION_1_0 ? 4 : 1);
    return VEXA_XML_SUCCESS;
}
