// TLS contexts for the stream tests, built once per test program: the
// stream's own as the legs configure theirs (the gateway's option calls and
// cipher list, a test certificate on the server side), and plain OpenSSL
// contexts for RawTlsPeer, capped at TLS 1.2 as the gateway is.
//
// Threads: built on first use (thread-safe static); read-only afterwards.
#pragma once

#include "CipherList.h"
#include "Config.h"
#include "SSLContext.h"
#include "Startup.h"
#include "TestIdentity.h"

#include <boost/asio/ssl/context.hpp>
#include <openssl/ssl.h>

namespace kavri_test {

struct TlsTestContexts {
    TestIdentity::ptr identity = TestIdentity::self_signed("stream.kavri.test");
    boost::asio::ssl::context server{boost::asio::ssl::context::sslv23};
    boost::asio::ssl::context client{boost::asio::ssl::context::sslv23};
    SSL_CTX* raw_server = SSL_CTX_new(TLS_server_method());
    SSL_CTX* raw_client = SSL_CTX_new(TLS_client_method());

    TlsTestContexts()
    {
        vexa::Config& config = *vexa::Config::get_instance();
        vexa::register_defaults(config);
        vexa::logger_t lg;
        vexa::settle_cipher_list(config, lg);
        vexa::set_server_ssl_context_options("test", lg, server);
        vexa::set_client_ssl_context_options("test", lg, client);
        SSL_CTX_use_certificate(server.native_handle(), identity->certificate());
        SSL_CTX_use_PrivateKey(server.native_handle(), identity->key());

        SSL_CTX_use_certificate(raw_server, identity->certificate());
        SSL_CTX_use_PrivateKey(raw_server, identity->key());
        for (SSL_CTX* raw : {raw_server, raw_client})
            SSL_CTX_set_max_proto_version(raw, TLS1_2_VERSION);
    }
    ~TlsTestContexts()
    {
        SSL_CTX_free(raw_server);
        SSL_CTX_free(raw_client);
    }
};

inline TlsTestContexts& tls_contexts()
{
    static TlsTestContexts contexts;
    return contexts;
}

}  // namespace kavri_test
