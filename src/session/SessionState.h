// Session state reported by the media relay and the server leg; only ACTIVE,
// INTERRUPTED and PENDING_RESUME are passed on to the broker.
#pragma once

enum eSESSION_STATE {
    PENDING_INIT = 0,
    NEGOTIATING = 1,
    ACTIVE = 2,
    INTERRUPTED = 3,
    PENDING_RESUME = 4,
};

namespace vexa {

// The state's name as logs print it; "UNKNOWN" for any other value.
inline const char* session_state_name(eSESSION_STATE state)
{
    switch (state) {
    case PENDING_INIT: return "PENDING_INIT";
    case NEGOTIATING: return "NEGOTIATING";
    case ACTIVE: return "ACTIVE";
    case INTERRUPTED: return "INTERRUPTED";
    case PENDING_RESUME: return "PENDING_RESUME";
    }
    return "UNKNOWN";
}

}  // namespace vexa
