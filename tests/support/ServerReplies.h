// The stanzas a test server answers with, written by the stanza library in
// the reply form: FAIL, REJECTED and VERSION (signed with the session's
// ctag). Empty text when the writer refuses the input.
#pragma once

#include "HelloHop.h"
#include "ReceivedHello.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kavri_test {
namespace server_replies {

std::string fail(uint32_t code, const std::string& reason, const std::vector<HelloHop>& hops = {});
std::string rejected();
std::string version(const std::string& key, const std::string& requested, const std::string& negotiated,
                    const std::vector<HelloHop>& hops, uint64_t spi = 0);
// The VERSION a server answers hello with: the requested version, every hop
// of the HELLO (the gateway's last) echoed, signed with key (the ctag).
std::string version_for(const ReceivedHello& hello, const std::string& key,
                        const std::string& negotiated = "1.0");

}  // namespace server_replies
}  // namespace kavri_test
