// Tovik tags, thumbprints and rtags.
#include "vexa_tags.h"

#include "kavri_reuse.h"
#include "vexa_xml_util.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstring>

namespace {

constexpr unsigned short kMagic = 0x5A80;
constexpr unsigned short kMagicMask = 0xFFC0;
constexpr unsigned short kUnexpectedFlags = 0x3C;
constexpr size_t kRtagChars = 128;

}  // namespace

int vexa_util_overlay_tovik_session_tag(char* tag, unsigned char* thumbprint, unsigned short flags)
{
    if (tag == nullptr || thumbprint == nullptr)
        return -501;
    if ((flags & kMagicMask) != 0) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "vexa_util_overlay_tovik_session_tag: flags_value includes portions of magic "
                     "number: 0x%04x",
                     flags);
        return -501;
    }
    unsigned char f1[VEXA_TAG_FIELD_BYTES];
    unsigned char f2[VEXA_TAG_FIELD_BYTES];
    char t[VEXA_TAG_T_BUFFER];
    int rc = vexa_util_parse_version_1_tag(tag, f1, f2, t);
    if (rc == -501)
        return 0;  // not a tag: left as it is
    if (rc != 0)
        return rc;
    unsigned char id[VEXA_TAG_T_BYTES];
    rc = vexa_util_convert_from_base64(t, VEXA_TAG_T_CHARS, id, sizeof id);
    if (rc != 0)
        return rc;

    std::memcpy(f1 + 16, thumbprint + 16, 16);
    f1[32] = static_cast<unsigned char>((flags | kMagic) & 0xFF);
    std::memcpy(f2 + 16, thumbprint, 16);
    f2[32] = static_cast<unsigned char>(kMagic >> 8);

    char e1[VEXA_TAG_FIELD_CHARS + 1];
    char e2[VEXA_TAG_FIELD_CHARS + 1];
    rc = vexa_util_convert_to_base64(f1, e1, sizeof e1);
    if (rc == 0)
        rc = vexa_util_convert_to_base64(f2, e2, sizeof e2);
    if (rc != 0)
        return rc;
    std::memcpy(tag + VEXA_TAG_F1_OFFSET, e1, VEXA_TAG_FIELD_CHARS);
    std::memcpy(tag + VEXA_TAG_F2_OFFSET, e2, VEXA_TAG_FIELD_CHARS);
    std::memcpy(tag + VEXA_TAG_T_OFFSET, t, VEXA_TAG_T_CHARS);
    tag[VEXA_TAG_LENGTH] = '\0';
    return 0;
}

int vexa_util_parse_tovik_session_tag(const char* tag, unsigned char* session_id,
                                      unsigned char* thumbprint, unsigned short* flags)
{
    if (!vexa_util_is_scs_tag(tag))
        return -501;
    unsigned char f1[VEXA_TAG_FIELD_BYTES];
    unsigned char f2[VEXA_TAG_FIELD_BYTES];
    int rc = vexa_util_convert_from_base64(tag + VEXA_TAG_F1_OFFSET, VEXA_TAG_FIELD_CHARS, f1,
                                           sizeof f1);
    if (rc == 0)
        rc = vexa_util_convert_from_base64(tag + VEXA_TAG_F2_OFFSET, VEXA_TAG_FIELD_CHARS, f2,
                                           sizeof f2);
    if (rc != 0)
        return rc;
    if (thumbprint != nullptr) {
        std::memcpy(thumbprint, f2 + 16, 16);
        std::memcpy(thumbprint + 16, f1 + 16, 16);
    }
    if (session_id != nullptr) {
        unsigned char t[VEXA_TAG_T_BYTES];
        rc = vexa_util_convert_from_base64(tag + VEXA_TAG_T_OFFSET, VEXA_TAG_T_CHARS, t, sizeof t);
        if (rc != 0)
            return rc;
        std::memcpy(session_id, t, 8);
        if (t[8] != 0)
            return -500;
    }
    if (flags == nullptr)
        return 0;
    const unsigned short word = static_cast<unsigned short>(f2[32] << 8 | f1[32]);
    xml_util_log(VEXA_XML_LOG_INFO, "parse_tovik_session_tag: session tag flags = 0x%4.4X", word);
    if (tag[3] == '1' && (word & kMagicMask) != kMagic) {
        xml_util_log(VEXA_XML_LOG_INFO,
                     "parse_tovik_session_tag: Failed to detect magic number! Server is not Tovik "
                     "compatible!");
        return -500;
    }
    if ((word & kUnexpectedFlags) != 0)
        xml_util_log(VEXA_XML_LOG_INFO,
                     "parse_tovik_session_tag: Detected unexpected session tag flags! This might "
                     "not be an error!");
    *flags = static_cast<unsigned short>(word & static_cast<unsigned short>(~kMagic));
    return 0;
}

int vexa_calculate_thumbprint_hash(const unsigned char* session_id, const unsigned char* data,
                                   int len, unsigned char* out)
{
    if (session_id == nullptr || data == nullptr || out == nullptr || len <= 0)
        return -502;
    unsigned char id_hash[SHA256_DIGEST_LENGTH];
    if (SHA256(session_id, 8, id_hash) == nullptr)
        return -502;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr)
        return -502;
    unsigned int n = 0;
    const bool ok = EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
                    EVP_DigestUpdate(ctx, data, static_cast<size_t>(len)) == 1 &&
                    EVP_DigestUpdate(ctx, id_hash, sizeof id_hash) == 1 &&
                    EVP_DigestFinal_ex(ctx, out, &n) == 1;
    EVP_MD_CTX_free(ctx);
    return ok ? 0 : -502;
}

int vexa_generate_rtag(const char* tag, const unsigned char* session_id, const unsigned char* der,
                       int len, char* out)
{
    if (out == nullptr)
        return 0;
    std::memset(out, 0, kRtagChars + 1);
    if (tag == nullptr) {
        xml_util_log(VEXA_XML_LOG_ERROR,
                     "server mailbox: Failed to overlay the thumbprint into the session tag!");
        return 0;
    }
    std::memcpy(out, tag, strnlen(tag, kRtagChars));
    const char* failure = nullptr;
    unsigned char thumbprint[SHA256_DIGEST_LENGTH];
    if (vexa_calculate_thumbprint_hash(session_id, der, len, thumbprint) != 0)
        failure = "Failed to generate thumbprint hash!";
    else if (vexa_util_overlay_tovik_session_tag(out, thumbprint, 1) != 0)
        failure = "server mailbox: Failed to overlay the thumbprint into the session tag!";
    if (failure == nullptr)
        return 1;
    xml_util_log(VEXA_XML_LOG_ERROR, "%s", failure);
    std::memset(out, 0, kRtagChars + 1);
    return 0;
}
