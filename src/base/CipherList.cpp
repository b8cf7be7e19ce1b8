#include "CipherList.h"

#include <boost/algorithm/string/join.hpp>

#include <list>
#include <set>

namespace vexa {

namespace {

struct CipherName {
    const char* configured;
    const char* openssl;
};

// Rows 0-9 form the default list, rows 0-3 the forward-secrecy list.
const CipherName CIPHERS[] = {
    {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "ECDHE-RSA-AES256-GCM-SHA384"},
    {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "ECDHE-RSA-AES128-GCM-SHA256"},
    {"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384", "ECDHE-RSA-AES256-SHA384"},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256", "ECDHE-RSA-AES128-SHA256"},
    {"TLS_RSA_WITH_AES_256_GCM_SHA384", "AES256-GCM-SHA384"},
    {"TLS_RSA_WITH_AES_128_GCM_SHA256", "AES128-GCM-SHA256"},
    {"TLS_RSA_WITH_AES_256_CBC_SHA256", "AES256-SHA256"},
    {"TLS_RSA_WITH_AES_128_CBC_SHA256", "AES128-SHA256"},
    {"TLS_RSA_WITH_AES_256_CBC_SHA", "AES256-SHA"},
    {"TLS_RSA_WITH_AES_128_CBC_SHA", "AES128-SHA"},
    {"TLS_DHE_RSA_WITH_AES_128_GCM_SHA256", "DHE-RSA-AES128-GCM-SHA256"},
    {"TLS_DHE_RSA_WITH_AES_256_CBC_SHA256", "DHE-RSA-AES256-SHA256"},
    {"TLS_DHE_RSA_WITH_AES_128_CBC_SHA256", "DHE-RSA-AES128-SHA256"},
};

std::string join_configured(size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (i)
            out += ':';
        out += CIPHERS[i].configured;
    }
    return out;
}

}  // namespace

std::string default_cipher_list()
{
    return join_configured(10);
}

std::string default_pfs_cipher_list()
{
    return join_configured(4);
}

std::string openssl_cipher_name(const std::string& configured)
{
    for (const auto& c : CIPHERS)
        if (configured == c.configured)
            return c.openssl;
    return std::string();
}

void settle_cipher_list(Config& config, logger_t& lg)
{
    const std::string type = config.get("SSLCipherListType");
    if (type == "PFS") {
        config.set("SSLCipherList", config.get("SSLPFSCipherList"));
        BOOST_LOG_SEV(lg, boost::log::trivial::info)
            << "Using ciphers supporting " << "PFS" << " only.";
    } else if (type == "MaximumCompatibility") {
        BOOST_LOG_SEV(lg, boost::log::trivial::info)
            << "Using ciphers providing maximum compatibility.";
    } else {
        BOOST_LOG_SEV(lg, boost::log::trivial::warning)
            << "Unknown cipher list type: " << type << "; using " << "MaximumCompatibility" << ".";
    }

    std::set<std::string> blacklist;
    config.get_as_list("SSLCipherBlackList", blacklist, ":");
    std::list<std::string> ciphers;
    config.get_as_list("SSLCipherList", ciphers, ":");

    std::string available;
    for (auto it = ciphers.begin(); it != ciphers.end();) {
        if (blacklist.count(*it)) {
            it = ciphers.erase(it);
            continue;
        }
        available += ":" + *it;
        const std::string translated = openssl_cipher_name(*it);
        if (!translated.empty())
            *it = translated;
        ++it;
    }
    config.set("SSLCipherList", boost::algorithm::join(ciphers, ":"));

    if (available.empty())
        BOOST_LOG_SEV(lg, boost::log::trivial::error)
            << "No TLS ciphers are enabled; all connections will be rejected.";
    else
        BOOST_LOG_SEV(lg, boost::log::trivial::info)
            << "Ciphers available for TLS connections: " << available.substr(1);
}

}  // namespace vexa
