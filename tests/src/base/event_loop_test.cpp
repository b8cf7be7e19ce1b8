#include "EventLoop.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

TEST(EventLoop, HandlerExceptionIsLoggedAndTheLoopGoesOn)
{
    boost::asio::io_service loop;
    vexa::logger_t lg;
    LogCapture cap;
    std::atomic<int> after{0};
    loop.post([] { throw std::runtime_error("remote_endpoint: Transport endpoint is not connected"); });
    loop.post([] { throw 42; });
    loop.post([&] { ++after; });
    std::thread t([&] { vexa::run_event_loop(loop, "main", lg); });
    t.join();  // returns once the loop runs out of work
    EXPECT_EQ(1, after.load());
    EXPECT_TRUE(cap.contains("error   : main event loop: unhandled exception: remote_endpoint: "
                             "Transport endpoint is not connected\n"))
        << cap.text();
    EXPECT_TRUE(cap.contains("error   : main event loop: unhandled exception\n")) << cap.text();
}

TEST(EventLoop, StopEndsTheThread)
{
    boost::asio::io_service loop;
    boost::asio::io_service::work keep(loop);
    vexa::logger_t lg;
    std::thread t([&] { vexa::run_event_loop(loop, "auxiliary", lg); });
    loop.stop();
    t.join();
    SUCCEED();
}

}  // namespace
