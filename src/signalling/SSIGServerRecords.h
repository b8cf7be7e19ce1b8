// What the signalling server's implementation files share: the ids every
// record of a session carries, and the broker callbacks made safe to hand on.
//
// Threads: a macro and stateless helpers; no locks.
#pragma once

#include "ConnectionManager.h"
#include "Log.h"

#include <string>

namespace vexa {

// Every record of one session carries its ids.
#define SESSION_ATTRS(id, log_id) VEXA_LOG_SESSION_ID(id) << VEXA_LOG_SESSION_LOG_ID(log_id)

// A function to hand on: an empty one becomes a no-op, so whoever calls it
// later (the relay among them) never meets an empty function.
inline StateCallback never_empty(StateCallback f)
{
    return f ? f : [](eSESSION_STATE) {};
}
inline ClosedCallback never_empty(ClosedCallback f)
{
    return f ? f : [](const std::string&) {};
}

}  // namespace vexa
