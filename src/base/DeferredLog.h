// Records that are opened at once (time stamp, filter and attributes fixed
// then) and written later: a walk under a relay mutex collects them and they
// reach the log file after the mutex is released, so a burst of state
// changes does not stall the send threads behind file writes.
//
// Threads: one owner; not shared.
#pragma once

#include "Log.h"

#include <boost/log/attributes/attribute_value.hpp>
#include <boost/log/attributes/attribute_value_set.hpp>
#include <boost/log/core/record.hpp>
#include <boost/log/keywords/severity.hpp>
#include <boost/log/sources/record_ostream.hpp>

#include <string>
#include <utility>
#include <vector>

namespace vexa {

class DeferredLog {
public:
    explicit DeferredLog(logger_t& logger) : lg(logger) {}
    ~DeferredLog() { flush(); }

    DeferredLog(const DeferredLog&) = delete;
    DeferredLog& operator=(const DeferredLog&) = delete;

    // write(stream) runs only when the record passes the filter.
    template <class Write>
    void add(severity_level severity, const std::string& session_log_id, Write&& write)
    {
        boost::log::record rec = lg.open_record(boost::log::keywords::severity = severity);
        if (!rec)
            return;
        {
            boost::log::record_ostream strm(rec);
            strm << VEXA_LOG_SESSION_LOG_ID(session_log_id);
            write(strm);
            strm.flush();
        }
        // Values such as the severity read the thread's current state until
        // detached; pushed later, they would show whatever this thread
        // logged last (a callback run under the mutex, say).
        const boost::log::attribute_value_set& values = rec.attribute_values();
        for (auto it = values.begin(); it != values.end(); ++it)
            const_cast<boost::log::attribute_value&>(it->second).detach_from_thread();
        records.push_back(std::move(rec));
    }

    void flush()
    {
        for (auto& rec : records)
            lg.push_record(std::move(rec));
        records.clear();
    }

private:
    logger_t& lg;
    std::vector<boost::log::record> records;
};

}  // namespace vexa
