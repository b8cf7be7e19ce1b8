// A FAIL stanza as a test client receives it: code, reason and hops, parsed
// by the stanza library, and whether it came in the reply form
// ("HTTP/1.0 200 OK", a Content-Length matching the body). Plain value.
#pragma once

#include "HelloHop.h"
#include "SsigFrame.h"

#include <optional>
#include <string>
#include <vector>

namespace kavri_test {

struct FailReply {
    uint32_t code = 0;
    std::string reason;
    std::vector<HelloHop> hops;
    bool reply_form = false;

    // Nothing when the frame is not an HTTP-like FAIL.
    static std::optional<FailReply> parse(const SsigFrame& frame);
};

}  // namespace kavri_test
