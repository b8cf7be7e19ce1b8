// Protocol options and cipher list shared by every TLS context of the
// gateway. Called while a context is built, before it is shared; the only
// shared state read is the configuration store (its own lock) and OpenSSL's
// per-thread error queue.
#pragma once

#include "Log.h"

#include <boost/asio/ssl/context.hpp>

#include <string>

namespace vexa {

// Contexts in which the gateway is the TLS server: client-facing legs, the
// certificate contexts and the control channel.
void set_server_ssl_context_options(const std::string& prefix, logger_t& lg,
                                    boost::asio::ssl::context& ctx);

// Contexts in which the gateway is the TLS client: server-facing legs.
void set_client_ssl_context_options(const std::string& prefix, logger_t& lg,
                                    boost::asio::ssl::context& ctx);

// OpenSSL's reason text of a queued error code, or the code in decimal when
// OpenSSL has no text for it.
std::string ssl_error_reason(unsigned long code);

}  // namespace vexa
