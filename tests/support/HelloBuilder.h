// The HELLO a client sends, written by the stanza library's own writer in
// the POST form and signed with a key (a client signs with the rtag it got
// from the broker). Plain value.
#pragma once

#include "HelloHop.h"
#include "TestSessionTag.h"

#include <string>
#include <vector>

namespace kavri_test {

class HelloBuilder {
public:
    // For tag (an rtag): its session id and its tovik thumbprint; version
    // "1.0", no SPI preference, no hops.
    static HelloBuilder for_tag(const std::string& tag, const std::string& server_name);

    HelloBuilder& version(const std::string& v) { m_version = v; return *this; }
    HelloBuilder& server_name(const std::string& n) { m_server_name = n; return *this; }
    HelloBuilder& spi(uint64_t s) { m_spi = s; return *this; }
    HelloBuilder& hops(const std::vector<HelloHop>& h) { m_hops = h; return *this; }
    HelloBuilder& thumbprint(const TestSessionTag::hash& t) { m_thumbprint = t; return *this; }
    HelloBuilder& session_id(const TestSessionTag::id8& id) { m_id = id; return *this; }

    // The whole POST frame, signed with key; empty when the writer refuses.
    std::string frame(const std::string& key) const;
    // The stanza alone.
    std::string body(const std::string& key) const;

private:
    std::string write(const std::string& key, bool whole) const;

    std::string m_version = "1.0";
    TestSessionTag::id8 m_id{};
    TestSessionTag::hash m_thumbprint{};
    std::string m_server_name;
    uint64_t m_spi = 0;
    std::vector<HelloHop> m_hops;
};

}  // namespace kavri_test
