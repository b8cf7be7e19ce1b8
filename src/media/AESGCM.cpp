#include "AESGCM.h"

#include "AESGCM128_NI.h"
#include "AESGCM128_PLAIN.h"
#include "AESGCM256_NI.h"
#include "AESGCM256_PLAIN.h"
#include "AESGCMUtil.h"
#include "CommonUtil.h"
#include "Log.h"

#include <cstdlib>
#include <new>
#include <stdexcept>

namespace vexa {

AESGCM::AESGCM(unsigned int salt_value)
    : spi(0),
      sequence(0),
      iv_high(salt_value & 0x0FFFFFFFu),
      iv_low(salt_value)
{
    unsigned char bytes[4];
    gcm::store_be32(bytes, salt_value);
    std::memcpy(&salt, bytes, 4);
}

AESGCM::~AESGCM()
{
    gcm::wipe(&salt, sizeof salt);
}

void* AESGCM::operator new(std::size_t size)
{
    void* p = nullptr;
    if (posix_memalign(&p, 16, size) != 0 || p == nullptr)
        throw std::bad_alloc();
    return p;
}

// Kept out of line: inlined next to the class operator new, GCC takes the
// free() of posix_memalign'd memory for a mismatched pair.
__attribute__((noinline)) void AESGCM::operator delete(void* p) noexcept
{
    std::free(p);
}

boost::shared_ptr<AESGCM> AESGCM::create(const std::vector<char>& key, unsigned int salt)
{
    const unsigned char* k = reinterpret_cast<const unsigned char*>(key.data());
    if (key.size() == 16) {
        logger_t lg;
        if (aes_ni_supported()) {
            BOOST_LOG_SEV(lg, boost::log::trivial::debug) << "loading up AES128-NI";
            return boost::shared_ptr<AESGCM>(new AESGCM128_NI(k, salt));
        }
        BOOST_LOG_SEV(lg, boost::log::trivial::debug) << "loading up AES128-Plain";
        return boost::shared_ptr<AESGCM>(new AESGCM128_PLAIN(k, salt));
    }
    if (key.size() == 32) {
        logger_t lg;
        if (aes_ni_supported()) {
            BOOST_LOG_SEV(lg, boost::log::trivial::debug) << "loading up AES256-NI";
            return boost::shared_ptr<AESGCM>(new AESGCM256_NI(k, salt));
        }
        BOOST_LOG_SEV(lg, boost::log::trivial::debug) << "loading up AES256-Plain";
        return boost::shared_ptr<AESGCM>(new AESGCM256_PLAIN(k, salt));
    }
    throw std::runtime_error("Bad key size: does not match neither of AES128 or AES256 key size!");
}

void AESGCM::increment_iv(unsigned int* high, unsigned int* low)
{
    const unsigned int f = ((*high >> 27) ^ *low) & 1u;
    *high = (*high << 1) | (*low >> 31);
    *low = (*low << 1) | f;
    *high &= 0x0FFFFFFFu;
}

void AESGCM::make_nonce(const unsigned char* packet, unsigned char* nonce) const
{
    std::memcpy(nonce, &salt, 4);
    std::memcpy(nonce + 4, packet + 8, 8);
}

void AESGCM::write_header(unsigned char* buffer)
{
    gcm::store_be32(buffer, spi);
    gcm::store_be32(buffer + 4, sequence);
    gcm::store_be32(buffer + 8, iv_high);
    gcm::store_be32(buffer + 12, iv_low);
    ++sequence;
    increment_iv(&iv_high, &iv_low);
}

}  // namespace vexa
