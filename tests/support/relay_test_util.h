// Test helpers for the AES-GCM engines and the media relay: the EVP
// datagram helpers (media_crypto.h) and hex conversion.
#pragma once

#include "media_crypto.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace relay_test {

bool cpu_has_aes_ni();

}  // namespace relay_test
