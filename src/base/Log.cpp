#include "Log.h"

#include "Config.h"

#include <boost/log/core.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/log/utility/exception_handler.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include <sys/time.h>

#include <limits>
#include <cstdio>
#include <ctime>

namespace vexa {

namespace logging = boost::log;

// No filter until one is set: everything passes.
std::atomic<long> detail::lowest_logged_severity{std::numeric_limits<long>::min()};

void set_lowest_logged_severity(long level)
{
    detail::lowest_logged_severity.store(level, std::memory_order_relaxed);
}

std::string endpoint_text(const tcp_endpoint_t& ep)
{
    return ep.address().to_string() + ":" + std::to_string(ep.port());
}

std::string endpoint_text(const udp_endpoint_t& ep)
{
    return ep.address().to_string() + ":" + std::to_string(ep.port());
}

namespace {

template <class Endpoint>
void write_endpoint(const logging::record_view& rec, const char* name, const char* prefix,
                    logging::formatting_ostream& strm)
{
    if (auto ep = logging::extract<Endpoint>(name, rec))
        strm << prefix << endpoint_text(ep.get()) << "] ";
}

void write_time(const boost::posix_time::ptime& t, logging::formatting_ostream& strm)
{
    if (t.is_special()) {
        strm << boost::posix_time::to_simple_string(t);
        return;
    }
    const auto d = t.date();
    const auto tod = t.time_of_day();
    char buf[96];  // room for any int values, so the compiler sees no truncation
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ",
                  static_cast<int>(d.year()), static_cast<int>(d.month()),
                  static_cast<int>(d.day()), static_cast<int>(tod.hours()),
                  static_cast<int>(tod.minutes()), static_cast<int>(tod.seconds()),
                  static_cast<int>(tod.fractional_seconds() * 1000000 /
                                   boost::posix_time::time_duration::ticks_per_second()));
    strm << buf;
}

}  // namespace

void format_log_record(const logging::record_view& rec, logging::formatting_ostream& strm)
{
    if (auto ts = logging::extract<boost::posix_time::ptime>(log_attr::TimeStamp, rec))
        write_time(ts.get(), strm);

    if (auto id = logging::extract<session_log_id_t>(log_attr::SessionLogID, rec))
        strm << " " << id.get();
    else
        strm << " 00000000-0000-0000-0000-000000000000";
    strm << "> ";

    std::string level;
    if (auto sev = logging::extract<severity_level>(log_attr::Severity, rec)) {
        const char* name = logging::trivial::to_string(sev.get());
        level = name ? name : std::to_string(static_cast<int>(sev.get()));
    }
    if (level.size() < 7)
        level.resize(7, ' ');
    strm << level << " " << ": ";

    write_endpoint<tcp_endpoint_t>(rec, log_attr::ServerEndPoint, "[S: ", strm);
    write_endpoint<tcp_endpoint_t>(rec, log_attr::ClientEndPoint, "[C: ", strm);
    write_endpoint<udp_endpoint_t>(rec, log_attr::UdpServerEndPoint, "[S: ", strm);
    write_endpoint<udp_endpoint_t>(rec, log_attr::UdpClientEndPoint, "[C: ", strm);
    if (auto sess = logging::extract<session_id_t>(log_attr::SessionID, rec))
        strm << "[Sess: " << sess.get() << "] ";

    strm << rec[logging::expressions::smessage];
}

void rename_log_file(std::ostream&, const std::string& dir)
{
    timeval now {};
    ::gettimeofday(&now, nullptr);
    std::tm utc {};
    ::gmtime_r(&now.tv_sec, &utc);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y_%m_%dT%H_%M_%SZ", &utc);
    char millis[8];
    std::snprintf(millis, sizeof millis, "%3.3d", static_cast<int>(now.tv_usec / 1000));
    const std::string active = dir + Config::DEFAULT_LOG_FILE_NAME_FORMAT;
    const std::string named = dir + "VevareviDiravad_" + stamp + millis + ".log";
    // An unrenamed file keeps its active name; nothing to report.
    (void)std::rename(active.c_str(), named.c_str());
}

void rename_log_file(std::ostream& stream)
{
    rename_log_file(stream, Config::get_instance()->get_as_path("LogPath"));
}

boost::shared_ptr<Config::sink_t> Config::init_log_file(const std::string& file_name)
{
    namespace keywords = logging::keywords;
    namespace sinks = logging::sinks;

    boost::shared_ptr<sinks::text_file_backend> backend;
    if (get("EnableLogRotation") == "1") {
        backend = boost::make_shared<sinks::text_file_backend>(
            keywords::file_name = file_name, keywords::open_mode = std::ios::out | std::ios::app,
            keywords::auto_flush = true, keywords::rotation_size = 2097152,
            keywords::time_based_rotation = sinks::file::rotation_at_time_point(0, 0, 0));
    } else {
        backend = boost::make_shared<sinks::text_file_backend>(
            keywords::file_name = file_name, keywords::open_mode = std::ios::out | std::ios::app,
            keywords::auto_flush = true);
    }
    // The handler renames the file it was opened under; the file lives in
    // the directory of file_name.
    const std::string::size_type slash = file_name.rfind('/');
    const std::string dir = slash == std::string::npos ? "./" : file_name.substr(0, slash + 1);
    backend->set_open_handler([dir](std::ostream& s) { rename_log_file(s, dir); });

    auto new_sink = boost::make_shared<sink_t>(backend);
    new_sink->set_formatter(&format_log_record);
    // An unwritable directory must not throw out of a logging call.
    new_sink->set_exception_handler(logging::make_exception_suppressor());
    logging::core::get()->add_sink(new_sink);
    return new_sink;
}

}  // namespace vexa
