// The tag module: tovik parse and overlay on a 105-byte copy, the version-1
// split, the Base64 decoder with a fuzzed output size, and the rtag.
#include "kavri_reuse.h"
#include "stanza_fuzz.h"
#include "vexa_tags.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    stanza_fuzz::init_once();
    if (size < 2)
        return 0;
    // Byte 0: flags for the overlay; byte 1: decoder output size.
    const unsigned short flags = data[0];
    const int dst_len = data[1] % 48;
    data += 2;
    size -= 2;

    char tag[129];
    std::memset(tag, 0, sizeof tag);
    std::memcpy(tag, data, size < 104 ? size : 104);

    unsigned char sid[8], thumb[32];
    unsigned short got = 0;
    const int parsed = vexa_util_parse_tovik_session_tag(tag, sid, thumb, &got);

    unsigned char f1[32], f2[32];
    char t[VEXA_TAG_T_BUFFER];
    vexa_util_parse_version_1_tag(tag, f1, f2, t);

    char overlay[105];
    std::memcpy(overlay, tag, 104);
    overlay[104] = '\0';
    unsigned char new_thumb[32];
    for (int i = 0; i < 32; ++i)
        new_thumb[i] = static_cast<unsigned char>(i * 7 + flags);
    const int rc = vexa_util_overlay_tovik_session_tag(overlay, new_thumb, flags);
    // A tag whose fields decode takes the thumbprint and flags back out.
    if (rc == 0 && (flags & 0xFFC0) == 0 && parsed == 0 && std::strncmp(tag, "SCS1", 4) == 0) {
        unsigned char back[32];
        unsigned short back_flags = 0;
        stanza_fuzz::check(vexa_util_parse_tovik_session_tag(overlay, nullptr, back, &back_flags) == 0);
        stanza_fuzz::check(back_flags == flags);
        stanza_fuzz::check(std::memcmp(back, new_thumb, 32) == 0);
    }

    // The decoder on an exact-size copy of the input.
    std::vector<char> text(reinterpret_cast<const char*>(data),
                           reinterpret_cast<const char*>(data) + size);
    std::vector<unsigned char> dst(static_cast<size_t>(dst_len) + 1, 0xA5);
    vexa_util_convert_from_base64(text.data(), static_cast<int>(size), dst.data(), dst_len);
    stanza_fuzz::check(dst[static_cast<size_t>(dst_len)] == 0xA5);

    if (size >= 33) {
        char enc[45];
        unsigned char dec[33];
        stanza_fuzz::check(vexa_util_convert_to_base64(data, enc, sizeof enc) == 0);
        stanza_fuzz::check(vexa_util_convert_from_base64(enc, 44, dec, 33) == 0);
        stanza_fuzz::check(std::memcmp(dec, data, 33) == 0);
    }

    char rtag[129];
    vexa_generate_rtag(tag, sid, data, static_cast<int>(size), rtag);
    stanza_fuzz::check(strnlen(rtag, sizeof rtag) <= 128);
    return 0;
}
