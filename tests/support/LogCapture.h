// Test fixture helper: collects the lines the log would write, in the log's
// own layout, while it is alive.
#pragma once

#include "Log.h"

#include <boost/core/null_deleter.hpp>
#include <boost/log/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/make_shared.hpp>

#include <sstream>
#include <string>
#include <vector>

class LogCapture {
public:
    LogCapture()
    {
        auto backend = boost::make_shared<boost::log::sinks::text_ostream_backend>();
        backend->add_stream(boost::shared_ptr<std::ostream>(&stream, boost::null_deleter()));
        backend->auto_flush(true);
        sink = boost::make_shared<sink_t>(backend);
        sink->set_formatter(&vexa::format_log_record);
        boost::log::core::get()->add_sink(sink);
    }
    ~LogCapture() { boost::log::core::get()->remove_sink(sink); }

    std::string text() const { return stream.str(); }
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::istringstream in(stream.str());
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    }
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
    size_t count(const std::string& s) const
    {
        size_t n = 0;
        const std::string t = text();
        for (size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + 1))
            ++n;
        return n;
    }

private:
    using sink_t = boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>;
    std::ostringstream stream;
    boost::shared_ptr<sink_t> sink;
};
