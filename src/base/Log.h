// Severity logger type, the log attributes shown in every line, and the
// record formatter of the one text log. Loggers are the _mt kind: a
// connection's completions run on several threads. Attributes are added per
// record (add_value) or thread-scoped, never as scoped attributes of a shared
// logger.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core/record_view.hpp>
#include <boost/log/expressions/keyword.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_logger.hpp>
#include <boost/log/trivial.hpp>
#include <boost/log/utility/formatting_ostream.hpp>
#include <boost/log/utility/manipulators/add_value.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <atomic>
#include <ostream>
#include <string>

namespace vexa {

using severity_level = boost::log::trivial::severity_level;
using logger_t = boost::log::sources::severity_logger_mt<severity_level>;

// Attribute names as they appear on records.
namespace log_attr {
constexpr const char* TimeStamp = "TimeStamp";
constexpr const char* Severity = "Severity";
constexpr const char* SessionLogID = "SessionLogID";
constexpr const char* SessionID = "SessionID";
constexpr const char* ServerEndPoint = "ServerEndPoint";
constexpr const char* ClientEndPoint = "ClientEndPoint";
constexpr const char* UdpServerEndPoint = "UdpServerEndPoint";
constexpr const char* UdpClientEndPoint = "UdpClientEndPoint";
}  // namespace log_attr

// Value types of the attributes: a setter of another type makes the field
// vanish from the line, so every setter goes through these.
using session_log_id_t = std::string;
using session_id_t = std::string;
using tcp_endpoint_t = boost::asio::ip::tcp::endpoint;
using udp_endpoint_t = boost::asio::ip::udp::endpoint;

namespace detail {
extern std::atomic<long> lowest_logged_severity;
}  // namespace detail

// Whether the core filter lets records of this severity through, from a copy
// of its threshold that set_log_filter and reset_log_filter keep. A
// per-datagram path asks before it opens a record: opening one allocates even
// when the filter then drops it.
inline bool log_enabled(severity_level severity)
{
    return static_cast<long>(severity) >= detail::lowest_logged_severity.load(std::memory_order_relaxed);
}
// Stores the copy; the lowest long when every severity passes.
void set_lowest_logged_severity(long level);

// "address:port" for both protocols (IPv6 addresses are not bracketed).
std::string endpoint_text(const tcp_endpoint_t& ep);
std::string endpoint_text(const udp_endpoint_t& ep);

// Formats one record in the log's line layout.
void format_log_record(const boost::log::record_view& rec,
                       boost::log::formatting_ostream& strm);

// Open handler of the file sink: names each new file after its opening time.
void rename_log_file(std::ostream& stream);
// The same for the active file inside dir (which ends with "/").
void rename_log_file(std::ostream& stream, const std::string& dir);

}  // namespace vexa

// Per-record attribute helpers.
#define VEXA_LOG_SESSION_LOG_ID(v) \
    boost::log::add_value(::vexa::log_attr::SessionLogID, ::vexa::session_log_id_t(v))
#define VEXA_LOG_SESSION_ID(v) \
    boost::log::add_value(::vexa::log_attr::SessionID, ::vexa::session_id_t(v))
