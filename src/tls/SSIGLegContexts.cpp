#include "SSIGLegContexts.h"

#include "SSIGServerSSL.h"
#include "SSLContext.h"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace vexa {

namespace {

void check(int result, const char* what)
{
    if (result != 1)
        throw boost::system::system_error(
            boost::system::error_code(static_cast<int>(ERR_get_error()), boost::asio::error::get_ssl_category()),
            what);
}

}  // namespace

SSIGLegContexts::SSIGLegContexts(SSIGServerSSL& identity, servername_callback_t client_facing_servername,
                                 verify_callback_t server_facing_verify)
    : m_client_facing(boost::asio::ssl::context::sslv23), m_server_facing(boost::asio::ssl::context::sslv23)
{
    // The prefixes are those of the legs whose contexts these replace.
    set_server_ssl_context_options("SSIGClientConnection", m_log, m_client_facing);
    SSL_CTX* client_facing = m_client_facing.native_handle();
    // No certificate here: the server-name callback switches every
    // handshake to the gateway's context.
    SSL_CTX_set_tlsext_servername_callback(client_facing, client_facing_servername);
    SSL_CTX_set_tlsext_servername_arg(client_facing, nullptr);
    SSL_CTX_set_session_cache_mode(client_facing, SSL_SESS_CACHE_OFF);
    check(SSL_CTX_set_tlsext_ticket_key_evp_cb(client_facing, &refuse_ticket_keys), "ticket key callback");

    set_client_ssl_context_options("SSIGServerConnection", m_log, m_server_facing);
    SSL_CTX* server_facing = m_server_facing.native_handle();
    SSL_CTX_set_verify(server_facing, SSL_VERIFY_PEER, server_facing_verify);
    SSL_CTX_set_verify_depth(server_facing, 1);
    SSL_CTX_set_session_cache_mode(server_facing, SSL_SESS_CACHE_OFF);
    // The certificate is presented only together with its key.
    X509* cert = identity.get_default_certificate();
    EVP_PKEY* key = identity.get_default_private_key();
    if (cert && key) {
        check(SSL_CTX_use_certificate(server_facing, cert), "default certificate");
        check(SSL_CTX_use_PrivateKey(server_facing, key), "default key");
    }
}

int SSIGLegContexts::refuse_ticket_keys(SSL*, unsigned char* key_name, unsigned char* iv, EVP_CIPHER_CTX* cipher,
                                        EVP_MAC_CTX* mac, int encrypt)
{
    if (!encrypt)
        return 0;  // not ours: a full handshake follows
    unsigned char key[32];
    unsigned char mac_key[32];
    const EVP_CIPHER* aes = EVP_aes_256_cbc();
    if (RAND_bytes(key_name, 16) != 1 || RAND_bytes(iv, EVP_CIPHER_get_iv_length(aes)) != 1 ||
        RAND_bytes(key, sizeof key) != 1 || RAND_bytes(mac_key, sizeof mac_key) != 1)
        return -1;
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, mac_key, sizeof mac_key),
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_EncryptInit_ex(cipher, aes, nullptr, key, iv) != 1 || EVP_MAC_CTX_set_params(mac, params) != 1)
        return -1;
    return 1;
}

}  // namespace vexa
