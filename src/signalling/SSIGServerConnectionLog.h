// The record macros of the server leg's implementation files, and what
// they share: every record carries the server's endpoint and the
// session's log id.
//
// Threads: macros and a stateless helper; no locks.
#pragma once

#include "Log.h"
#include "SSIGHttp.h"

#include <string>

namespace vexa {

namespace trivial = boost::log::trivial;

// Records of the leg carry the server's endpoint and the session's log id.
#define LEG_LOG(leg, sev)                                                                   \
    BOOST_LOG_SEV((leg)->m_log, trivial::sev)                                               \
        << boost::log::add_value(log_attr::ServerEndPoint, (leg)->get_server_endpoint())    \
        << VEXA_LOG_SESSION_LOG_ID((leg)->m_session_log_id)
#define SERVER_LOG(sev) LEG_LOG(this, sev)

// The stanza text of a frame, for records.
inline std::string content_text(const ssig::SSIGHttp& packet)
{
    return std::string(packet.content());
}

}  // namespace vexa
