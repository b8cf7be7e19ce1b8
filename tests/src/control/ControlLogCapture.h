// Collects the log's lines (in its own layout) while alive; safe to read
// while other threads log.
#pragma once

#include "Log.h"

#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ControlLogCapture {
public:
    ControlLogCapture() : m_backend(boost::make_shared<Backend>())
    {
        m_sink = boost::make_shared<sink_t>(m_backend);
        m_sink->set_formatter(&vexa::format_log_record);
        boost::log::core::get()->add_sink(m_sink);
    }
    ~ControlLogCapture() { boost::log::core::get()->remove_sink(m_sink); }
    ControlLogCapture(const ControlLogCapture&) = delete;
    ControlLogCapture& operator=(const ControlLogCapture&) = delete;

    std::vector<std::string> lines() const
    {
        std::lock_guard<std::mutex> lock(m_backend->mutex);
        return m_backend->lines;
    }
    std::size_t count(const std::string& text) const
    {
        std::size_t n = 0;
        for (const auto& l : lines())
            n += l.find(text) != std::string::npos;
        return n;
    }
    bool contains(const std::string& text) const { return count(text) > 0; }
    // The first line holding text, or "".
    std::string find(const std::string& text) const
    {
        for (const auto& l : lines())
            if (l.find(text) != std::string::npos)
                return l;
        return "";
    }
    // Waits until text appears in at least n lines.
    bool wait_for(const std::string& text, std::size_t n = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5)) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (count(text) < n) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

private:
    struct Backend : boost::log::sinks::basic_formatted_sink_backend<char> {
        void consume(const boost::log::record_view&, const std::string& line)
        {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        }
        mutable std::mutex mutex;
        std::vector<std::string> lines;
    };
    using sink_t = boost::log::sinks::synchronous_sink<Backend>;

    boost::shared_ptr<Backend> m_backend;
    boost::shared_ptr<sink_t> m_sink;
};
