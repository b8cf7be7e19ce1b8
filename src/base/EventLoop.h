// Runs one event-loop thread. An exception escaping a handler is logged with
// the loop's name and the loop is re-entered, so no handler ends the process.
#pragma once

#include "Log.h"

#include <boost/asio/io_service.hpp>

namespace vexa {

void run_event_loop(boost::asio::io_service& loop, const char* name, logger_t& lg);

}  // namespace vexa
