// TLS peers write through OpenSSL's socket BIO, which sends without
// MSG_NOSIGNAL: a write to a connection the gateway has already closed
// raises SIGPIPE and ends the whole test binary. Ignored once per process,
// the write fails with EPIPE and the peer reports it like any other close.
#pragma once

#include <csignal>
#include <mutex>

namespace kavri_test {

inline void ignore_sigpipe()
{
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

}  // namespace kavri_test
