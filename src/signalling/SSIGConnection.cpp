#include "SSIGConnection.h"

#include "SSIGClientConnection.h"
#include "SSIGServerConnection.h"

namespace vexa {

using boost::log::trivial::info;
using boost::log::trivial::trace;

SSIGConnection::SSIGConnection(std::shared_ptr<SSIGServerConnection> server_leg,
                               std::shared_ptr<SSIGClientConnection> client_leg)
    : IdleMonitored(0),
      server(std::move(server_leg)),
      client(std::move(client_leg)),
      connection_id(server->get_connection_id()),
      session_id(server->get_table_key()),
      session_log_id(server->get_session_log_id())
{
    BOOST_LOG_SEV(lg, trace) << VEXA_LOG_SESSION_ID(session_id) << VEXA_LOG_SESSION_LOG_ID(session_log_id)
                             << "Constructing SSIGConnection instance: session: " << session_id;
}

SSIGConnection::~SSIGConnection()
{
    BOOST_LOG_SEV(lg, info) << VEXA_LOG_SESSION_ID(session_id) << VEXA_LOG_SESSION_LOG_ID(session_log_id)
                            << "Destroying SSIGConnection instance: session " << session_id;
}

void SSIGConnection::stop()
{
    if (server)
        server->stop();
    if (client)
        client->stop();
}

bool SSIGConnection::is_active()
{
    // Both legs tick, whatever the first answers.
    const bool server_active = !server || server->is_active();
    const bool client_active = !client || client->is_active();
    return server_active && client_active;
}

std::shared_ptr<SSIGServerConnection> SSIGConnection::extract_server_connection()
{
    return std::move(server);
}

std::shared_ptr<SSIGClientConnection> SSIGConnection::extract_client_connection()
{
    return std::move(client);
}

}  // namespace vexa
