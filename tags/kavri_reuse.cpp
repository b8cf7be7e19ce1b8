// Base64 codec and version-1 split of the tag module.
#include "kavri_reuse.h"

#include "vexa_xml_util.h"

#include <cstring>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

int vexa_util_convert_from_base64(const char* src, int len, unsigned char* dst, int dst_len)
{
    return xml_util_convert_from_base64(src, len, dst, dst_len);
}

int vexa_util_convert_to_base64(const unsigned char* in, char* out, int out_len)
{
    constexpr int chars = static_cast<int>(VEXA_TAG_FIELD_CHARS);
    if (in == nullptr || out == nullptr || out_len < chars + 1)
        return -507;
    for (size_t g = 0; g < VEXA_TAG_FIELD_BYTES / 3; ++g) {
        const unsigned bits = static_cast<unsigned>(in[3 * g]) << 16 |
                              static_cast<unsigned>(in[3 * g + 1]) << 8 | in[3 * g + 2];
        out[4 * g] = kAlphabet[bits >> 18 & 0x3F];
        out[4 * g + 1] = kAlphabet[bits >> 12 & 0x3F];
        out[4 * g + 2] = kAlphabet[bits >> 6 & 0x3F];
        out[4 * g + 3] = kAlphabet[bits & 0x3F];
    }
    out[chars] = '\0';
    return 0;
}

bool vexa_util_is_scs_tag(const char* tag)
{
    return tag != nullptr && std::strncmp(tag, "SCS", 3) == 0 &&
           strnlen(tag, VEXA_TAG_LENGTH) == VEXA_TAG_LENGTH;
}

int vexa_util_parse_version_1_tag(const char* tag, unsigned char* f1, unsigned char* f2, char* t)
{
    if (!vexa_util_is_scs_tag(tag)) {
        if (f1 != nullptr)
            std::memset(f1, 0, 32);
        if (f2 != nullptr)
            std::memset(f2, 0, 32);
        if (t != nullptr)
            std::memset(t, 0, VEXA_TAG_T_BUFFER);
        return -501;
    }
    unsigned char d1[VEXA_TAG_FIELD_BYTES];
    unsigned char d2[VEXA_TAG_FIELD_BYTES];
    int rc = vexa_util_convert_from_base64(tag + VEXA_TAG_F1_OFFSET, VEXA_TAG_FIELD_CHARS, d1,
                                           sizeof d1);
    if (rc == 0)
        rc = vexa_util_convert_from_base64(tag + VEXA_TAG_F2_OFFSET, VEXA_TAG_FIELD_CHARS, d2,
                                           sizeof d2);
    if (rc != 0)
        return rc;
    if (f1 != nullptr)
        std::memcpy(f1, d1, 32);
    if (f2 != nullptr)
        std::memcpy(f2, d2, 32);
    if (t != nullptr) {
        std::memset(t, 0, VEXA_TAG_T_BUFFER);
        std::memcpy(t, tag + VEXA_TAG_T_OFFSET, VEXA_TAG_T_CHARS);
    }
    return 0;
}
