// Builds the gateway's servers from the configuration, starts them and runs
// the event loops: one thread on the auxiliary loop, four on the main loop.
//
// Threads: ServiceMain runs on the start-up thread, which only waits once the
// loop threads run. The loops are internally synchronised; the server handles
// are written only on the start-up thread.
#pragma once

#include "LinuxDaemon.h"
#include "Log.h"

#include <boost/asio/io_service.hpp>
#include <boost/shared_ptr.hpp>

#include <string>

namespace vexa {
class UDPServer;
}

class CVevareviDiravadService : public vexa::LinuxDaemon {
public:
    static constexpr int MAIN_LOOP_THREADS = 4;

    CVevareviDiravadService(const std::string& name, const std::string& display_name);
    ~CVevareviDiravadService() override;

    void ServiceMain(int argc, char** argv) override;
    void StopHandler() override;

private:
    // Stops both loops and releases the servers, main loop's first.
    void stop_and_release();

    boost::asio::io_service main_loop;
    boost::asio::io_service aux_loop;
    // The signalling and control servers' handles go here, before the relay's.
    boost::shared_ptr<vexa::UDPServer> udp_server;
    vexa::logger_t lg;
};
