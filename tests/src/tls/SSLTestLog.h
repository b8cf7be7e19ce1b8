// Test helper: collects every Boost.Log record (severity and message) while
// an instance lives. Records come from the test's own thread and from
// event-loop threads; m_mutex guards the collected lines.
#pragma once

#include "Log.h"

#include <boost/log/core.hpp>
#include <boost/log/expressions/message.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kavri_test {

class SSLTestLog {
public:
    using line_t = std::pair<vexa::severity_level, std::string>;

    SSLTestLog()
    {
        m_backend = boost::make_shared<Backend>();
        m_sink = boost::make_shared<sink_t>(m_backend);
        boost::log::core::get()->add_sink(m_sink);
    }
    ~SSLTestLog() { boost::log::core::get()->remove_sink(m_sink); }
    SSLTestLog(const SSLTestLog&) = delete;
    SSLTestLog& operator=(const SSLTestLog&) = delete;

    std::vector<line_t> lines() const { return m_backend->lines(); }
    void clear() { m_backend->clear(); }

    // Number of records of the given text (any severity).
    std::size_t count(const std::string& text) const
    {
        const auto all = lines();
        return std::count_if(all.begin(), all.end(),
                             [&](const line_t& l) { return l.second == text; });
    }
    bool has(vexa::severity_level sev, const std::string& text) const
    {
        for (const auto& l : lines())
            if (l.first == sev && l.second == text)
                return true;
        return false;
    }
    // Records containing the given piece.
    std::size_t count_containing(const std::string& piece) const
    {
        const auto all = lines();
        return std::count_if(all.begin(), all.end(), [&](const line_t& l) {
            return l.second.find(piece) != std::string::npos;
        });
    }
    std::string text() const
    {
        std::string s;
        for (const auto& l : lines())
            s += std::to_string(static_cast<int>(l.first)) + " " + l.second + "\n";
        return s;
    }

private:
    class Backend : public boost::log::sinks::basic_sink_backend<
                        boost::log::sinks::synchronized_feeding> {
    public:
        void consume(const boost::log::record_view& rec)
        {
            line_t line;
            if (auto sev = boost::log::extract<vexa::severity_level>(vexa::log_attr::Severity, rec))
                line.first = sev.get();
            if (auto msg = boost::log::extract<std::string>("Message", rec))
                line.second = msg.get();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(std::move(line));
        }
        std::vector<line_t> lines() const
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            return m_lines;
        }
        void clear()
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.clear();
        }

    private:
        mutable std::mutex m_mutex;
        std::vector<line_t> m_lines;
    };
    using sink_t = boost::log::sinks::synchronous_sink<Backend>;

    boost::shared_ptr<Backend> m_backend;
    boost::shared_ptr<sink_t> m_sink;
};

}  // namespace kavri_test
