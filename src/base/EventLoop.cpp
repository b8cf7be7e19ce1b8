#include "EventLoop.h"

#include <exception>

namespace vexa {

void run_event_loop(boost::asio::io_service& loop, const char* name, logger_t& lg)
{
    for (;;) {
        try {
            loop.run();
            return;
        } catch (const std::exception& e) {
            BOOST_LOG_SEV(lg, boost::log::trivial::error)
                << name << " event loop: unhandled exception: " << e.what();
        } catch (...) {
            BOOST_LOG_SEV(lg, boost::log::trivial::error)
                << name << " event loop: unhandled exception";
        }
    }
}

}  // namespace vexa
