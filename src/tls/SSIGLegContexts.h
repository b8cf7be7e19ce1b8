// The two TLS contexts every signalling leg shares, each fully configured
// once, before the first leg makes a connection from it, and never changed
// afterwards: the client-facing (server-side) context of every client leg,
// whose server-name callback moves each handshake to the gateway's
// certificate context, and the server-facing (client-side) context of every
// server leg, which verifies the server through the legs' callback and
// presents the gateway's default certificate and key.
//
// Neither lets a peer resume a TLS session, as contexts made afresh per leg
// never could: no session cache, and tickets are still issued (the
// handshake shows one) but under a random key, and none is ever accepted.
//
// Threads: built on the start-up thread; afterwards OpenSSL reads both from
// every main-loop thread without a lock (an SSL_CTX is safe to share once
// it is no longer changed).
#pragma once

#include "Log.h"

#include <boost/asio/ssl/context.hpp>
#include <openssl/ssl.h>

namespace vexa {

class SSIGServerSSL;

class SSIGLegContexts {
public:
    using servername_callback_t = int (*)(SSL* ssl, int* alert, void* arg);
    using verify_callback_t = int (*)(int preverify, X509_STORE_CTX* store);

    // Throws boost::system::system_error when OpenSSL refuses a step.
    SSIGLegContexts(SSIGServerSSL& identity, servername_callback_t client_facing_servername,
                    verify_callback_t server_facing_verify);
    SSIGLegContexts(const SSIGLegContexts&) = delete;
    SSIGLegContexts& operator=(const SSIGLegContexts&) = delete;

    // Where client legs make their connections.
    boost::asio::ssl::context& client_facing() { return m_client_facing; }
    // Where server legs make theirs.
    boost::asio::ssl::context& server_facing() { return m_server_facing; }

    // The ticket key callback of the client-facing context: a fresh random
    // key for every ticket issued, and every ticket offered is refused.
    static int refuse_ticket_keys(SSL* ssl, unsigned char* key_name, unsigned char* iv,
                                  EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac, int encrypt);

private:
    logger_t m_log;
    boost::asio::ssl::context m_client_facing;
    boost::asio::ssl::context m_server_facing;
};

}  // namespace vexa
