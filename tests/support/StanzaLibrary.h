// Brings up the stanza library in a test process (OpenSSL's SHA-256 as its
// callouts, its messages dropped), once, before anything signs or checks.
// Safe to call from any thread, any number of times.
#pragma once

namespace kavri_test {

void ensure_stanza_library();

}  // namespace kavri_test
