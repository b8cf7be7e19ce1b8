// Builds the gateway's servers from the configuration, starts them and runs
// the event loops: one thread on the auxiliary loop, four on the main loop.
//
// Threads: ServiceMain runs on the start-up thread, which only waits once the
// loop threads run. The loops are internally synchronised; the server handles
// and the failed flag are written only on the start-up thread (StopHandler
// only reads the handles).
#pragma once

#include "LinuxDaemon.h"
#include "Log.h"

#include <boost/asio/io_service.hpp>
#include <boost/shared_ptr.hpp>

#include <memory>
#include <string>

namespace vexa {
class SSIGServer;
class UDPServer;
class XMLTCPControlServer;
}  // namespace vexa

class CVevareviDiravadService : public vexa::LinuxDaemon {
public:
    static constexpr int MAIN_LOOP_THREADS = 4;

    CVevareviDiravadService(const std::string& name, const std::string& display_name);
    ~CVevareviDiravadService() override;

    void ServiceMain(int argc, char** argv) override;
    void StopHandler() override;

    // Whether ServiceMain ended on a failure to build or start the servers.
    bool start_failed() const { return failed; }

private:
    // Stops the control server (it holds a reference into the signalling
    // server), the loops and the relay, ends the signalling server's timers,
    // then releases control, signalling and relay, in that order.
    void stop_and_release();
    // Logs the fatal text, writes it to standard error too, and releases
    // what was built.
    void report_start_failure(const std::string& text);

    boost::asio::io_service main_loop;
    boost::asio::io_service aux_loop;
    std::shared_ptr<vexa::SSIGServer> ssig_server;
    std::shared_ptr<vexa::XMLTCPControlServer> control_server;
    boost::shared_ptr<vexa::UDPServer> udp_server;
    vexa::logger_t lg;
    bool failed = false;
};
