// An io_context run by n threads for the life of a test fixture; stop()
// joins them, so nothing runs after the fixture's objects are gone.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <thread>
#include <vector>

class IoThreads {
public:
    explicit IoThreads(int n = 4) : m_work(boost::asio::make_work_guard(io))
    {
        for (int i = 0; i < n; ++i)
            m_threads.emplace_back([this] { io.run(); });
    }
    ~IoThreads() { stop(); }
    void stop()
    {
        m_work.reset();
        io.stop();
        for (auto& t : m_threads)
            if (t.joinable())
                t.join();
    }
    boost::asio::io_context io;

private:
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_work;
    std::vector<std::thread> m_threads;
};
