// VERSION writer, signatures, parser and validation.
#include "vexa_xml_version.h"

#include "vexa_xml_frame.h"
#include "vexa_xml_mitm.h"
#include "vexa_xml_parse.h"
#include "vexa_xml_util.h"

#include <cinttypes>
#include <cstring>

namespace {

void add_hops(xml_util_sha256* h, const sVEXA_XML_MITM_HELLOS* hops)
{
    for (int i = 0; i < hops->count; ++i) {
        xml_util_sha256_add_text(h, hops->mitm[i].name, VEXA_XML_NAME_SIZE);
        xml_util_sha256_add_text(h, hops->mitm[i].version, VEXA_XML_VERSION_SIZE);
    }
}

}  // namespace

bool xml_intern_version_signatures(const sVEXA_XML_VERSION* rec, const char* key, uint8_t* request,
                                   uint8_t* negotiated)
{
    if (rec->mitm_hellos.count > VEXA_XML_MAX_MITM) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_version_signatures) -- mitm count %d is over %d, nothing signed",
                     rec->mitm_hellos.count, VEXA_XML_MAX_MITM);
        return false;
    }
    const size_t key_len = std::strlen(key);
    xml_util_sha256 h;
    if (!xml_util_sha256_begin(&h, "vexa_xml_version_signatures"))
        return false;
    xml_util_sha256_add(&h, key, key_len);
    xml_util_sha256_add_text(&h, rec->requested_version, VEXA_XML_VERSION_SIZE);
    add_hops(&h, &rec->mitm_hellos);
    if (!xml_util_sha256_end(&h, request) ||
        !xml_util_sha256_begin(&h, "vexa_xml_version_signatures"))
        return false;
    xml_util_sha256_add(&h, key, key_len);
    xml_util_sha256_add_text(&h, rec->requested_version, VEXA_XML_VERSION_SIZE);
    xml_util_sha256_add_text(&h, rec->version, VEXA_XML_VERSION_SIZE);
    add_hops(&h, &rec->mitm_hellos);
    return xml_util_sha256_end(&h, negotiated);
}

int xml_intern_create_version_at(sVEXA_XML_VERSION* rec, const char* key, time_t now, char* full,
                                 char* body)
{
    if (rec == nullptr) {
        xml_util_log(VEXA_XML_LOG_ERROR, "(vexa_xml_create_version) -- no version_info given");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (rec->version[0] == '\0')
        std::memcpy(rec->version, vexa_xml_get_api_version(), 4);
    if (key != nullptr) {
        uint8_t request[VEXA_XML_HASH_SIZE], negotiated[VEXA_XML_HASH_SIZE];
        if (!xml_intern_version_signatures(rec, key, request, negotiated))
            return VEXA_XML_ERR_INVALID_FIELD;
        std::memcpy(rec->request_signature, request, sizeof request);
        std::memcpy(rec->negotiated_signature, negotiated, sizeof negotiated);
    }
    int length = 0;
    if (!xml_util_text_field_ok(rec->requested_version, sizeof rec->requested_version, 7, &length)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_version) -- input version_info did not have valid "
                     "requested_version (length = %d)",
                     length);
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (!xml_util_text_field_ok(rec->version, sizeof rec->version, 7, &length)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_version) -- input version_info did not have valid version "
                     "(length = %d)",
                     length);
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (xml_util_hash_is_0(rec->request_signature)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_version) -- input version_info did not have valid "
                     "requeste_signature");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (xml_util_hash_is_0(rec->negotiated_signature)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_version) -- input version_info did not have valid "
                     "negotiated_signature");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    if (full == nullptr && body == nullptr)
        return VEXA_XML_SUCCESS;
    if (rec->spi != 0 && (rec->spi < VEXA_XML_SPI_MIN || rec->spi > VEXA_XML_SPI_MAX)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_create_version) -- input version_info did not have valid non-zero "
                     "SPI preference = %" PRIu64 " (valid range is [%d..%d])",
                     rec->spi, 256, 2147483647);
        return VEXA_XML_ERR_INVALID_FIELD;
    }

    char request_hex[65], negotiated_hex[65];
    xml_util_sha256_hash_to_hex(rec->request_signature, request_hex);
    xml_util_sha256_hash_to_hex(rec->negotiated_signature, negotiated_hex);
    xml_util_text text;
    xml_util_text_init(&text);
    if (rec->spi != 0)
        xml_util_text_addf(&text, "<KAVRI><VERSION spi=\"%" PRIu64 "\">", rec->spi);
    else
        xml_util_text_add(&text, "<KAVRI><VERSION>");
    xml_util_text_add(&text, "<NEGOTIATION requested=\"");
    xml_util_text_add_escaped(&text, rec->requested_version, sizeof rec->requested_version - 1);
    xml_util_text_add(&text, "\" version=\"");
    xml_util_text_add_escaped(&text, rec->version, sizeof rec->version - 1);
    xml_util_text_add(&text, "\">");
    const int rc = xml_create_mitm_hellos(&rec->mitm_hellos, &text);
    if (rc != 0)
        return rc;
    xml_util_text_addf(&text,
                       "</NEGOTIATION><SIGNATURES><REQUESTED>%s</REQUESTED><NEGOTIATED>%s"
                       "</NEGOTIATED></SIGNATURES></VERSION></KAVRI>",
                       request_hex, negotiated_hex);
    if (text.overflow) {
        xml_util_log(VEXA_XML_LOG_ERROR, "(vexa_xml_create_version) -- stanza body does not fit");
        return VEXA_XML_ERR_INVALID_FIELD;
    }
    return xml_intern_frame_stanza("vexa_xml_create_version", 1, now, text.buf, text.len, full,
                                   body);
}

int vexa_xml_create_version(sVEXA_XML_VERSION* rec, const char* key, char* full, char* body)
{
    return xml_intern_create_version_at(rec, key, time(nullptr), full, body);
}

// Parser rules.
namespace {

constexpr char kStanza[] = "KAVRI_VERSION";

void version_start(xml_parse_ctx* ctx, const char* name, const char** attrs)
{
    auto* rec = static_cast<sVEXA_XML_VERSION*>(ctx->rec);
    const int parent = ctx->path[ctx->depth - 2];
    char quoted[600];
    switch (parent) {
    case XML_NODE_KAVRI:
        if (std::strcmp(name, "VERSION") == 0) {
            ctx->type = VEXA_XML_TYPE_VERSION;
            if (!xml_parse_enter(ctx, XML_NODE_VERSION, name))
                return;
            static const char* const kNames[] = {"spi"};
            const char* v[1];
            if (!xml_parse_attrs(attrs, kNames, v, 1) ||
                (v[0] != nullptr && !xml_parse_spi(v[0], &rec->spi))) {
                xml_parse_quote_attrs(attrs, quoted, sizeof quoted);
                xml_parse_failf(ctx,
                                "Parsing for KAVRI_VERSION, expected (optional) spi, received "
                                "\"%s\"",
                                quoted);
            }
        } else if (!xml_parse_other_stanza(
                       ctx, name, "Parsing for KAVRI_VERSION or KAVRI_REJECTED. Received: %s")) {
            xml_parse_skip(ctx, "KAVRI", name);
        }
        return;
    case XML_NODE_VERSION:
        if (std::strcmp(name, "NEGOTIATION") == 0) {
            if (!xml_parse_enter(ctx, XML_NODE_NEGOTIATION, name))
                return;
            static const char* const kNames[] = {"requested", "version"};
            const char* v[2];
            if (!xml_parse_attrs(attrs, kNames, v, 2) ||
                !xml_parse_copy(v[0], VEXA_XML_VERSION_SIZE - 1, rec->requested_version) ||
                !xml_parse_copy(v[1], VEXA_XML_VERSION_SIZE - 1, rec->version)) {
                xml_parse_quote_attrs(attrs, quoted, sizeof quoted);
                xml_parse_failf(ctx,
                                "Parsing for KAVRI_VERSION, expected attribs for requested and "
                                "version, received \"%s\"",
                                quoted);
            }
        } else if (std::strcmp(name, "SIGNATURES") == 0) {
            xml_parse_enter(ctx, XML_NODE_SIGNATURES, name);
        } else {
            xml_parse_skip(ctx, "<KAVRI><VERSION>", name);
        }
        return;
    case XML_NODE_NEGOTIATION:
        if (std::strcmp(name, "MITM") == 0)
            xml_parse_enter(ctx, XML_NODE_MITM, name);
        else
            xml_parse_skip(ctx, "<KAVRI><VERSION><NEGOTIATION>", name);
        return;
    case XML_NODE_MITM:
        if (std::strcmp(name, "HELLO") == 0) {
            ctx->path[ctx->depth - 1] = XML_NODE_HOP;
            xml_parse_hop(ctx, attrs, &rec->mitm_hellos);
        } else {
            xml_parse_skip(ctx, "<KAVRI><VERSION><NEGOTIATION><MITM>", name);
        }
        return;
    case XML_NODE_SIGNATURES:
        if (std::strcmp(name, "REQUESTED") == 0) {
            if (xml_parse_enter(ctx, XML_NODE_REQUESTED, name))
                xml_parse_collect(ctx);
        } else if (std::strcmp(name, "NEGOTIATED") == 0) {
            if (xml_parse_enter(ctx, XML_NODE_NEGOTIATED, name))
                xml_parse_collect(ctx);
        } else {
            xml_parse_skip(ctx, "<KAVRI><VERSION><SIGNATURES>", name);
        }
        return;
    case XML_NODE_HOP:
        xml_parse_skip(ctx, "<KAVRI><VERSION><NEGOTIATION><MITM><HELLO>", name);
        return;
    default:
        xml_parse_skip(ctx, "<KAVRI><VERSION><SIGNATURES><SIGNATURE>", name);
        return;
    }
}

void version_end(xml_parse_ctx* ctx, int node)
{
    auto* rec = static_cast<sVEXA_XML_VERSION*>(ctx->rec);
    const bool have_request = !xml_util_hash_is_0(rec->request_signature);
    const bool have_negotiated = !xml_util_hash_is_0(rec->negotiated_signature);
    switch (node) {
    case XML_NODE_REQUESTED:
    case XML_NODE_NEGOTIATED: {
        uint8_t* hash =
            node == XML_NODE_REQUESTED ? rec->request_signature : rec->negotiated_signature;
        const int rc = xml_parse_hash_content(ctx, hash);
        if (rc < 0)
            xml_parse_fail(ctx, "Parsing KAVRI_VERSION for version-request signature failed.");
        else if (rc == 0)
            xml_parse_fail(ctx, node == XML_NODE_REQUESTED
                                    ? "Parsing for KAVRI_VERSION, reached the end of "
                                      "<SIGNATURES><REQUESTED> without seeing a signature."
                                    : "Parsing for KAVRI_VERSION, reached the end of "
                                      "<SIGNATURES><NEGOTIATED> without seeing a signature.");
        return;
    }
    case XML_NODE_SIGNATURES:
        if (!have_request || !have_negotiated)
            xml_parse_fail(ctx, "Parsing for KAVRI_VERSION, reached the end of <SIGNATURES> "
                                "without seeing both signatures.");
        return;
    case XML_NODE_VERSION:
        if (!have_request || !have_negotiated)
            xml_parse_fail(ctx, "Parsing for KAVRI_VERSION, reached the end of <VERSION> without "
                                "seeing both signatures.");
        return;
    case XML_NODE_KAVRI:
        if (!have_request || !have_negotiated)
            xml_parse_failf(ctx, "Parsing for KAVRI_VERSION, reached the end of stanza incomplete. %s %s",
                            have_request ? "" : "missing request signature",
                            have_negotiated ? "" : "missing negotiated signature");
        return;
    default:
        return;
    }
}

}  // namespace

int vexa_xml_parse_version(const char* buf, size_t len, eVEXA_XML_TYPE* type,
                           sVEXA_XML_VERSION* rec)
{
    eVEXA_XML_TYPE local = VEXA_XML_TYPE_UNKNOWN;
    eVEXA_XML_TYPE* out = type != nullptr ? type : &local;
    const int rc = xml_parse_run(buf, len, kStanza, true, out, rec, sizeof *rec, version_start,
                                 version_end);
    if (rc != 0)
        return rc;
    if (!xml_get_known_version(rec->version, nullptr)) {
        *out = VEXA_XML_TYPE_UNKNOWN_KAVRI;
        return VEXA_XML_ERR_NO_STANZA;
    }
    return VEXA_XML_SUCCESS;
}

int vexa_xml_validate_version(const sVEXA_XML_VERSION* rec, const char* tag)
{
    if (rec == nullptr || tag == nullptr)
        return VEXA_XML_ERR_SIGNATURE;
    if (std::strcmp(rec->version, "1.0") != 0 && std::strncmp(rec->version, "1.1", 8) > 0) {
        char shown[VEXA_XML_VERSION_SIZE];
        xml_util_sanitized_copy(rec->version, 7, shown, sizeof shown);
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_validate_version): version is invalid, expected version \"1.0\" "
                     "or \"1.1\", got \"%s\"",
                     shown);
        return VEXA_XML_ERR_VERSION;
    }
    uint8_t request[VEXA_XML_HASH_SIZE], negotiated[VEXA_XML_HASH_SIZE];
    if (!xml_intern_version_signatures(rec, tag, request, negotiated)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_validate_version): negotiated signature from xml does not match "
                     "calculated signature");
        return VEXA_XML_ERR_SIGNATURE;
    }
    if (!xml_util_equal_ct(request, rec->request_signature, sizeof request)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_validate_version): request signature from xml does not match "
                     "calculated signature");
        return VEXA_XML_ERR_REQUEST_SIGNATURE;
    }
    if (!xml_util_equal_ct(negotiated, rec->negotiated_signature, sizeof negotiated)) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "(vexa_xml_validate_version): negotiated signature from xml does not match "
                     "calculated signature");
        return VEXA_XML_ERR_SIGNATURE;
    }
    xml_intern_log_hops("vexa_xml_validate_version", &rec->mitm_hellos);
    return VEXA_XML_SUCCESS;
}

int vexa_xml_validate_negotiated_version(const sVEXA_XML_VERSION* rec, char* out)
{
    unsigned code = 0;
    if (rec == nullptr || !xml_get_known_version(rec->version, &code))
        return VEXA_XML_ERR_NEGOTIATION;
    if (code == VEXA_XML_VERSION_ABOVE)
        return VEXA_XML_ERR_VERSION_ABOVE;
    if (out != nullptr) {
        const size_t n = strnlen(rec->version, VEXA_XML_VERSION_SIZE - 1);
        std::memcpy(out, rec->version, n);
        out[n] = '\0';
    }
    return VEXA_XML_SUCCESS;
}
