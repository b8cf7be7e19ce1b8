// Shared set-up of the stanza fuzz targets: the library initialised once
// with OpenSSL's SHA-256 and a silent log callout.
#pragma once

#include "vexa_xml.h"

#include <openssl/sha.h>

#include <cstdlib>

namespace stanza_fuzz {

inline void quiet(int, const char*) {}

inline void init_once()
{
    static const bool done = [] {
        const sVEXA_XML_CALLOUTS c{SHA256_Init, SHA256_Update, SHA256_Final, quiet};
        vexa_xml_init(&c);
        return true;
    }();
    (void)done;
}

// A property the target checks: abort so libFuzzer keeps the input.
inline void check(bool ok)
{
    if (!ok)
        std::abort();
}

}  // namespace stanza_fuzz
