// One established session: the server leg and the client leg paired by the
// client's INVITE. The pair's own idle monitor is not used (limit 0); its
// activity is that of both legs.
//
// Threads: lives in the signalling server's tables and is touched only with
// that server's mutex held; no lock of its own. The legs' calls are safe from
// any thread.
#pragma once

#include "IdleMonitored.h"
#include "Log.h"

#include <memory>
#include <string>

namespace vexa {

class SSIGClientConnection;
class SSIGServerConnection;

class SSIGConnection : public IdleMonitored {
public:
    SSIGConnection(std::shared_ptr<SSIGServerConnection> server,
                   std::shared_ptr<SSIGClientConnection> client);
    ~SSIGConnection();
    SSIGConnection(const SSIGConnection&) = delete;
    SSIGConnection& operator=(const SSIGConnection&) = delete;

    // Stops the server leg, then the client leg (either may have been extracted).
    void stop();
    // One tick of both legs' idle monitors: true while both are active.
    bool is_active();

    // Moves a leg out of the pair, leaving its place empty.
    std::shared_ptr<SSIGServerConnection> extract_server_connection();
    std::shared_ptr<SSIGClientConnection> extract_client_connection();
    const std::shared_ptr<SSIGServerConnection>& get_server_connection() const { return server; }
    const std::shared_ptr<SSIGClientConnection>& get_client_connection() const { return client; }

    const std::string& get_connection_id() const { return connection_id; }
    // The server leg's table key.
    const std::string& get_session_id() const { return session_id; }
    const std::string& get_session_log_id() const { return session_log_id; }

private:
    std::shared_ptr<SSIGServerConnection> server;
    std::shared_ptr<SSIGClientConnection> client;
    std::string connection_id;
    std::string session_id;
    std::string session_log_id;
    logger_t lg;
};

}  // namespace vexa
