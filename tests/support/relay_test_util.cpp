#include "relay_test_util.h"

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions/message.hpp>

namespace relay_test {

bool cpu_has_aes_ni()
{
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul") &&
           __builtin_cpu_supports("ssse3");
}

class LogCapture::Backend : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
public:
    void consume(const boost::log::record_view& rec)
    {
        Captured c;
        if (auto sev = boost::log::extract<vexa::severity_level>(vexa::log_attr::Severity, rec))
            c.severity = static_cast<int>(*sev);
        else
            c.severity = -1;
        if (auto m = boost::log::extract<std::string>("Message", rec))
            c.message = *m;
        if (auto id = boost::log::extract<vexa::session_log_id_t>(vexa::log_attr::SessionLogID, rec))
            c.session_log_id = *id;
        if (auto ep = boost::log::extract<vexa::udp_endpoint_t>(vexa::log_attr::UdpClientEndPoint, rec))
            c.udp_client_endpoint = vexa::endpoint_text(*ep);
        if (auto ep = boost::log::extract<vexa::udp_endpoint_t>(vexa::log_attr::UdpServerEndPoint, rec))
            c.udp_server_endpoint = vexa::endpoint_text(*ep);
        std::lock_guard<std::mutex> lock(mutex);
        captured.push_back(c);
    }

    mutable std::mutex mutex;
    std::vector<Captured> captured;
};

LogCapture::LogCapture()
    : backend(new Backend),
      sink(new boost::log::sinks::synchronous_sink<Backend>(backend))
{
    boost::log::core::get()->add_sink(sink);
}

LogCapture::~LogCapture()
{
    boost::log::core::get()->remove_sink(sink);
}

std::vector<Captured> LogCapture::records() const
{
    std::lock_guard<std::mutex> lock(backend->mutex);
    return backend->captured;
}

std::vector<Captured> LogCapture::find(const std::string& text) const
{
    std::vector<Captured> out;
    for (const auto& c : records())
        if (c.message.find(text) != std::string::npos)
            out.push_back(c);
    return out;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(backend->mutex);
    backend->captured.clear();
}

}  // namespace relay_test
