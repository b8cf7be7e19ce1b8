// Test fixture helper: collects every log record while it is alive, both as
// the line the log would write (its own layout) and as the bare message with
// its severity and attributes.
//
// Threads: records arrive on any thread (event loops, relay threads) while
// the test reads; Backend::mutex guards the collected records.
#pragma once

#include "Log.h"

#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class LogCapture {
public:
    struct Record {
        int severity = -1;  // -1 for a record without one
        std::string message;
        std::string line;  // the whole line in the log's layout
        std::string session_log_id;
        std::string udp_client_endpoint;
        std::string udp_server_endpoint;
    };

    LogCapture() : m_backend(boost::make_shared<Backend>())
    {
        m_sink = boost::make_shared<sink_t>(m_backend);
        m_sink->set_formatter(&vexa::format_log_record);
        boost::log::core::get()->add_sink(m_sink);
    }
    ~LogCapture() { boost::log::core::get()->remove_sink(m_sink); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Record> records() const
    {
        std::lock_guard<std::mutex> lock(m_backend->mutex);
        return m_backend->records;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_backend->mutex);
        m_backend->records.clear();
    }

    // The lines as the log writes them, one per record.
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        for (auto& r : records())
            out.push_back(std::move(r.line));
        return out;
    }
    // All lines, each ended by a line break.
    std::string text() const
    {
        std::string s;
        for (const auto& r : records())
            s += r.line + "\n";
        return s;
    }
    bool contains(const std::string& piece) const
    {
        return text().find(piece) != std::string::npos;
    }
    // Lines holding piece.
    std::size_t count(const std::string& piece) const
    {
        std::size_t n = 0;
        for (const auto& r : records())
            n += r.line.find(piece) != std::string::npos;
        return n;
    }
    // The first line holding piece, or "".
    std::string first_line_with(const std::string& piece) const
    {
        for (const auto& r : records())
            if (r.line.find(piece) != std::string::npos)
                return r.line;
        return "";
    }
    // Waits until piece appears in at least n lines.
    bool wait_for(const std::string& piece, std::size_t n = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5)) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (count(piece) < n) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // Records whose message holds piece.
    std::vector<Record> find(const std::string& piece) const
    {
        std::vector<Record> out;
        for (auto& r : records())
            if (r.message.find(piece) != std::string::npos)
                out.push_back(std::move(r));
        return out;
    }
    std::size_t count_messages(const std::string& piece) const { return find(piece).size(); }
    // A record of this severity whose message is exactly message.
    bool has(vexa::severity_level severity, const std::string& message) const
    {
        for (const auto& r : records())
            if (r.severity == static_cast<int>(severity) && r.message == message)
                return true;
        return false;
    }

private:
    struct Backend : boost::log::sinks::basic_formatted_sink_backend<char> {
        void consume(const boost::log::record_view& rec, const std::string& line)
        {
            namespace attr = vexa::log_attr;
            using boost::log::extract;
            Record r;
            r.line = line;
            if (auto sev = extract<vexa::severity_level>(attr::Severity, rec))
                r.severity = static_cast<int>(*sev);
            if (auto m = extract<std::string>("Message", rec))
                r.message = *m;
            if (auto id = extract<vexa::session_log_id_t>(attr::SessionLogID, rec))
                r.session_log_id = *id;
            if (auto ep = extract<vexa::udp_endpoint_t>(attr::UdpClientEndPoint, rec))
                r.udp_client_endpoint = vexa::endpoint_text(*ep);
            if (auto ep = extract<vexa::udp_endpoint_t>(attr::UdpServerEndPoint, rec))
                r.udp_server_endpoint = vexa::endpoint_text(*ep);
            std::lock_guard<std::mutex> lock(mutex);
            records.push_back(std::move(r));
        }
        mutable std::mutex mutex;
        std::vector<Record> records;
    };
    using sink_t = boost::log::sinks::synchronous_sink<Backend>;

    boost::shared_ptr<Backend> m_backend;
    boost::shared_ptr<sink_t> m_sink;
};
