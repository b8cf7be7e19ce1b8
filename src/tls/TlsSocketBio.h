// A BIO over a connected socket descriptor, for OpenSSL to read and write
// the socket itself: sends never raise SIGPIPE (the gateway installs no
// signal disposition), and the peer's end of stream is remembered for the
// stream to report, but never shown to OpenSSL, which would otherwise answer
// it with a fatal alert the peer has not asked for.
//
// Threads: the method table is built once (thread-safe static); a BIO is
// used by one thread at a time, as its SSL object is.
#pragma once

#include <openssl/bio.h>

namespace vexa {

class TlsSocketBio {
public:
    // A BIO on fd that never closes it; null when OpenSSL has no memory.
    static BIO* make(int fd);
    // True once a read on bio met the peer's end of stream.
    static bool saw_end_of_stream(BIO* bio);
};

}  // namespace vexa
