// The stanzas a test server answers with, written by the stanza library in
// the reply form: FAIL, REJECTED and VERSION (signed with the session's
// ctag). Empty text when the writer refuses the input.
#pragma once

#include "HelloHop.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kavri_test {
namespace server_replies {

std::string fail(uint32_t code, const std::string& reason, const std::vector<HelloHop>& hops = {});
std::string rejected();
std::string version(const std::string& key, const std::string& requested, const std::string& negotiated,
                    const std::vector<HelloHop>& hops, uint64_t spi = 0);

}  // namespace server_replies
}  // namespace kavri_test
