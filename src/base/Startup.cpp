#include "Startup.h"

#include "CipherList.h"
#include "CommonUtil.h"

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>

#include <openssl/crypto.h>

#include <sys/resource.h>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace vexa {

void register_defaults(Config& c)
{
    c.set_default("TCPControlPort", "50060");
    c.set_default("TCPControlBindIP", "127.0.0.1");
    c.set_default("TCPControlMaxConnections", "10");
    c.set_default("TCPControlSendStateChangedNotifications", "0");
    c.set_default("TCPControlCertKsgSni", "xmltcp-control-default-sni");
    c.set_default("SSLCertType", "0");
    c.set_default("SSLCipherList", default_cipher_list());
    c.set_default("SSLPFSCipherList", default_pfs_cipher_list());
    c.set_default("SSLCipherListType", "MaximumCompatibility");
    c.set_default("SSLCipherBlackList", "");
    c.set_default("SSLCertPath", "./certs/");
    c.set_default("SSLLinuxExtCertPhrase", "");
    c.set_default("SSLLinuxExtCert", "BRCertificate.pem");
    c.set_default("SSLLinuxExtPriv", "BRCertificateKey.pem");
    c.set_default("SSLLinuxExtCA", "BRCertificateCA.pem");
    c.set_default("TCPControlCertPath", c.get("SSLCertPath"));
    c.set_default("SSLCertMinKeyLength", "1024");
    c.set_default("SSLCertSubstring", "");
    c.set_default("SSLCertKsgSni", "kavri-default-sni");
    c.set_default("SSLDHParamFile", "dh3072.pem");
    c.set_default("SSLRefuseClientOnSniMismatch", "0");
    c.set_default("SSLRefuseServerOnSniMismatch", "0");
    c.set_default("DefaultServerSni", "kavri-default-sni");
    c.set_default("DefaultSgSni", "kavri-default-sg-sni");
    c.set_default("LogLevel", "2");
    c.set_default("ExternalBindIP", "0.0.0.0");
    c.set_default("ExternalRoutableIP", "127.0.0.1");
    c.set_default("ExternalUDPPort", "4172");
    c.set_default("ExternalRoutableUDPPort", "0");
    c.set_default("InternalUDPPort", "55000");
    c.set_default("ExternalTCPPort", "4172");
    c.set_default("InternalBindIP", "0.0.0.0");
    c.set_default("DisableAES128GCM", "0");
    c.set_default("UdpSocketRxBufSize", "384");
    c.set_default("UdpSocketTxBufSize", "192");
    c.set_default("EnableRoamingIP", "1");
    c.set_default("EnableLogRotation", "1");
    c.set_default("MaxConnections", "5000");
    c.set_default("SsigMaxNoActivitySeconds", "180");
    c.set_default("UdpMaxNoActivitySeconds", "180");
    c.set_default("MinOpenSSLVersion", "1.0.2a");
    c.set_default("EnableResumeWithoutStag", "0");
    const char* tmpdir = std::getenv("TMPDIR");
    c.set_default("LogPath", tmpdir ? tmpdir : "/tmp");
}

const std::set<std::string>& known_settings()
{
    static const std::set<std::string> keys = [] {
        Config defaults;
        register_defaults(defaults);
        std::set<std::string> k = defaults.keys();
        // Read where they are used, with no default.
        for (const char* key :
             {"TCPControlLinuxExtCert", "TCPControlLinuxExtPriv", "TCPControlLinuxExtCA",
              "TCPControlLinuxExtCertPhrase", "FilterSessionOptions",
              "ConnectionServerExternalRoutableIP", "ConnectionServerExternalRoutablePort"})
            k.insert(key);
        return k;
    }();
    return keys;
}

std::vector<std::string> config_file_warnings(Config& config, const std::string& path)
{
    std::vector<std::string> warnings;
    std::set<std::string> reported;
    for (const Config::FileKey& entry : config.file_keys()) {
        const std::string where =
            "Configuration file " + path + ", line " + std::to_string(entry.line) + ": ";
        if (entry.indented) {
            warnings.push_back(where + entry.key +
                               " does not start in the first column; the line is ignored");
        } else if (!known_settings().count(entry.key)) {
            if (reported.insert(entry.key).second)
                warnings.push_back(where + "unknown key " + entry.key + "; the line is ignored");
        } else if (entry.key == "SSLCipherList" || entry.key == "SSLPFSCipherList") {
            if (reported.insert(entry.key).second)
                warnings.push_back(where + entry.key +
                                   " is never read from the file; the line is ignored");
        }
    }
    return warnings;
}

uint64_t get_num_required_file_descriptors(Config& config)
{
    const double wanted =
        static_cast<double>(std::strtoll(config.get("MaxConnections").c_str(), nullptr, 10)) *
            2.1 +
        100.0;
    // Clamp before converting: out-of-range conversions are undefined.
    if (!(wanted > 0.0))
        return 0;
    if (wanted >= 18446744073709551615.0)
        return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(wanted);
}

void get_file_descriptor_limits(uint64_t& hard, uint64_t& soft)
{
    rlimit lim {};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    hard = lim.rlim_max;
    soft = lim.rlim_cur;
}

void set_file_descriptor_limits(uint64_t hard, uint64_t soft)
{
    rlimit lim {};
    lim.rlim_max = hard;
    lim.rlim_cur = soft;
    (void)::setrlimit(RLIMIT_NOFILE, &lim);
}

void adjust_for_inadequate_file_descriptors(Config& config, logger_t& lg, uint64_t limit,
                                            const std::string& kind)
{
    const double allowed = static_cast<double>(static_cast<uint64_t>(limit - 100)) / 2.1;
    // A limit below 100 wraps to a huge value, out of range, hence 0.
    int32_t reduced = 0;
    if (allowed >= 0.0 && allowed <= static_cast<double>(std::numeric_limits<int32_t>::max()))
        reduced = static_cast<int32_t>(allowed);
    BOOST_LOG_SEV(lg, boost::log::trivial::warning)
        << "The current file descriptor " << kind << " limit of " << limit
        << " is inadequate. Reducing the maximum number of allowed connections from "
        << config.get("MaxConnections") << " to " << reduced;
    config.set("MaxConnections", std::to_string(reduced));
}

bool fit_file_descriptor_limit(Config& config, logger_t& lg)
{
    using boost::log::trivial::debug;
    using boost::log::trivial::trace;
    uint64_t hard = 0, soft = 0;
    get_file_descriptor_limits(hard, soft);
    BOOST_LOG_SEV(lg, trace) << "File descriptor hard limit: " << hard << ", soft limit: " << soft;
    const uint64_t required = get_num_required_file_descriptors(config);
    if (hard <= 299) {
        BOOST_LOG_SEV(lg, boost::log::trivial::error)
            << "File descriptor hard limit (" << hard << ") is too low; exiting.";
        return false;
    }
    if (required <= soft)
        return true;
    if (hard == soft) {
        BOOST_LOG_SEV(lg, debug) << "File descriptor hard limit " << hard
                                 << " does not meet the minimum requirement of " << required;
        adjust_for_inadequate_file_descriptors(config, lg, hard, "hard");
        return true;
    }
    BOOST_LOG_SEV(lg, debug) << "File descriptor soft limit " << soft
                             << " does not meet the minimum requirement of " << required;
    const uint64_t wanted = std::min(required, hard);
    BOOST_LOG_SEV(lg, trace) << "Setting file descriptor soft limit to " << wanted;
    set_file_descriptor_limits(hard, wanted);
    get_file_descriptor_limits(hard, soft);
    BOOST_LOG_SEV(lg, debug) << "File descriptor soft limit has been set to " << soft;
    if (required > soft)
        adjust_for_inadequate_file_descriptors(config, lg, soft, "soft");
    return true;
}

void safe_api_error_handler(const char* message, void*, int)
{
    static logger_t lg;
    BOOST_LOG_SEV(lg, boost::log::trivial::error) << (message ? message : "");
}

void log_build_banners(Config& config, logger_t& lg)
{
    using boost::log::trivial::info;
    BOOST_LOG_SEV(lg, info) << "Built from revision: " << 984 << " Built: " << __DATE__ " " __TIME__;
    BOOST_LOG_SEV(lg, info) << "64 bit build";
    BOOST_LOG_SEV(lg, info) << "Security Gateway build-id: " << get_build_id();
    BOOST_LOG_SEV(lg, info) << "Minimum required OpenSSL version: "
                            << config.get("MinOpenSSLVersion");
    BOOST_LOG_SEV(lg, info) << "Running with: " << OpenSSL_version(OPENSSL_VERSION);
}

void set_log_filter(const std::string& log_level)
{
    const long level = std::strtol(log_level.c_str(), nullptr, 10);
    // Compared as numbers: a level outside the enumeration must not be
    // converted to it (4294967296 would wrap to 0 and let everything pass).
    boost::log::core::get()->set_filter(
        [level](const boost::log::attribute_value_set& attrs) {
            const auto sev = boost::log::extract<severity_level>(log_attr::Severity, attrs);
            return sev && static_cast<long>(sev.get()) >= level;
        });
    set_lowest_logged_severity(level);
}

void reset_log_filter()
{
    boost::log::core::get()->reset_filter();
    set_lowest_logged_severity(std::numeric_limits<long>::min());
}

}  // namespace vexa
