// The operations through which the control channel drives the signalling
// gateway; the signalling server implements them.
//
// Threads: every operation is called on the control channel's thread; the
// callbacks handed to add_connection are later called on whichever thread
// sees the change (relay threads, the auxiliary or a main-loop thread).
// Locks: an implementation guards its own tables; shutdown is called with
// the control server's table mutex held, so that mutex comes first.
#pragma once

#include "SessionState.h"

#include <functional>
#include <map>
#include <string>

namespace vexa {

// A session's state change (only ACTIVE, INTERRUPTED and PENDING_RESUME
// reach the broker).
using StateCallback = std::function<void(eSESSION_STATE)>;
// A session's end, with its reason ("ConnectionTimeout", "ResumeTimeout",
// "Unknown").
using ClosedCallback = std::function<void(const std::string&)>;

class ConnectionManager {
public:
    // The rtag, or the empty text when the connection is refused.
    virtual std::string add_connection(const std::string& ip_address, const std::string& tcp_port,
                                       const std::string& sg_sni, const std::string& server_sni,
                                       const std::string& ctag, const std::string& connection_id,
                                       const std::string& session_log_id,
                                       StateCallback state_callback,
                                       ClosedCallback closed_callback) = 0;
    virtual void remove_ssig_connection(const std::string& rtag) = 0;
    virtual void teardown_connection(const std::string& rtag) = 0;
    // Counters by name ("sessions", "sessions_hwm").
    virtual std::map<std::string, std::string> get_statistics() = 0;
    virtual void populate_json_session_statistics(std::string& out) = 0;
    virtual void shutdown() = 0;
    virtual void set_external_ip(const std::string& ip) = 0;
    virtual void set_external_port(const std::string& port) = 0;

protected:
    // Never deleted through this interface, so no virtual destructor.
    ~ConnectionManager() = default;
};

}  // namespace vexa
