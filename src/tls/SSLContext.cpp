#include "SSLContext.h"

#include "Config.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace vexa {

namespace {

using boost::log::trivial::error;
using boost::log::trivial::warning;

// SSL_OP_LEGACY_SERVER_CONNECT belonged to SSL_OP_ALL before OpenSSL 3.0;
// without it a server lacking secure renegotiation is refused.
constexpr uint64_t kClientOptions =
    SSL_OP_ALL | SSL_OP_LEGACY_SERVER_CONNECT | SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3;
constexpr uint64_t kServerOptions =
    kClientOptions | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_SINGLE_DH_USE;

// Level 1 accepts the 1024-bit keys the configuration allows; the cap at
// TLS 1.2 makes the configured cipher list govern every connection (TLS 1.3
// suites are outside it).
void set_common(const std::string& prefix, logger_t& lg, boost::asio::ssl::context& ctx,
                uint64_t options, const char* side)
{
    boost::system::error_code ec;
    ctx.set_options(static_cast<boost::asio::ssl::context::options>(options), ec);
    if (ec)
        BOOST_LOG_SEV(lg, error) << prefix << ": Failed to set " << side << " context TLS options";

    SSL_CTX* native = ctx.native_handle();
    SSL_CTX_set_security_level(native, 1);
    if (SSL_CTX_set_max_proto_version(native, TLS1_2_VERSION) != 1)
        BOOST_LOG_SEV(lg, error) << prefix << ": Failed to cap the " << side
                                 << " context at TLS 1.2";

    ERR_clear_error();
    const std::string ciphers = Config::get_instance()->get("SSLCipherList");
    SSL_CTX_set_cipher_list(native, ciphers.c_str());
    while (const unsigned long code = ERR_get_error())
        BOOST_LOG_SEV(lg, warning) << prefix << ": Failed to set " << side << " cipher list - "
                                   << ssl_error_reason(code);
}

}  // namespace

std::string ssl_error_reason(unsigned long code)
{
    const char* reason = ERR_reason_error_string(code);
    return reason ? std::string(reason) : std::to_string(code);
}

void set_server_ssl_context_options(const std::string& prefix, logger_t& lg,
                                    boost::asio::ssl::context& ctx)
{
    set_common(prefix, lg, ctx, kServerOptions, "client-facing");

    // Always on in OpenSSL 3.0, where the macro yields 1 without a call.
    if (SSL_CTX_set_ecdh_auto(ctx.native_handle(), 1) != 1)
        BOOST_LOG_SEV(lg, warning)
            << prefix
            << ": Failed to set automatic curve selection; ECDHE ciphers will not be available";
    while (const unsigned long code = ERR_get_error())
        BOOST_LOG_SEV(lg, warning) << prefix << ": " << ssl_error_reason(code);
}

void set_client_ssl_context_options(const std::string& prefix, logger_t& lg,
                                    boost::asio::ssl::context& ctx)
{
    set_common(prefix, lg, ctx, kClientOptions, "server-facing");
}

}  // namespace vexa
