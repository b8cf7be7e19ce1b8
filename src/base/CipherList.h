// Settles the one TLS cipher list every TLS context uses: chooses the full
// or the forward-secrecy list, drops blacklisted suites and translates the
// configured "TLS_" names into OpenSSL names, storing the result as the
// run-time value of SSLCipherList. Runs once on the start-up thread.
#pragma once

#include "Config.h"
#include "Log.h"

#include <string>

namespace vexa {

// The default SSLCipherList and SSLPFSCipherList values ("TLS_" names).
std::string default_cipher_list();
std::string default_pfs_cipher_list();

// The OpenSSL name of a configured suite name, or "" when it is not known.
std::string openssl_cipher_name(const std::string& configured);

void settle_cipher_list(Config& config, logger_t& lg);

}  // namespace vexa
