// authenticate() and decrypt() of every engine on arbitrary input: the input
// picks the key size and salt, the rest is the datagram. Checks that the
// families agree, that authenticate never writes, and that a failed decrypt
// leaves the buffer as it was.
#include "AESGCM128_NI.h"
#include "AESGCM128_PLAIN.h"
#include "AESGCM256_NI.h"
#include "AESGCM256_PLAIN.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

bool has_ni()
{
    static const bool ni =
        __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    return ni;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 + 4 + 32)
        return 0;
    const bool big = data[0] & 1;
    const size_t key_size = big ? 32 : 16;
    if (size < 1 + 4 + key_size)
        return 0;
    uint32_t salt;
    std::memcpy(&salt, data + 1, 4);
    const unsigned char* key = data + 5;
    const std::vector<unsigned char> packet(data + 5 + key_size, data + size);

    std::unique_ptr<vexa::AESGCM> plain(big ? static_cast<vexa::AESGCM*>(new vexa::AESGCM256_PLAIN(key, salt))
                                            : new vexa::AESGCM128_PLAIN(key, salt));
    std::vector<unsigned char> copy = packet;
    const unsigned len = static_cast<unsigned>(copy.size());
    const int result = plain->authenticate(copy.data(), len);
    if (copy != packet)
        std::abort();
    if (has_ni()) {
        std::unique_ptr<vexa::AESGCM> ni(big ? static_cast<vexa::AESGCM*>(new vexa::AESGCM256_NI(key, salt))
                                             : new vexa::AESGCM128_NI(key, salt));
        if (ni->authenticate(copy.data(), len) != result)
            std::abort();
        unsigned l = len;
        std::vector<unsigned char> d = packet;
        const int r = ni->decrypt(d.data(), &l);
        if (r != result || (r != 0 && (d != packet || l != len)))
            std::abort();
    }
    unsigned l = len;
    std::vector<unsigned char> d = packet;
    const int r = plain->decrypt(d.data(), &l);
    if (r != result || (r != 0 && (d != packet || l != len)) || (r == 0 && l != len - 32))
        std::abort();
    return 0;
}
