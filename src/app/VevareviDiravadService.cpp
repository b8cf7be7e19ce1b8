#include "VevareviDiravadService.h"

#include "Config.h"
#include "EventLoop.h"
#include "SSIGServer.h"
#include "UDPServer.h"
#include "XMLTCPControlServer.h"

#include <boost/asio/post.hpp>
#include <boost/thread/thread.hpp>

#include <exception>
#include <iostream>
#include <string>

using boost::log::trivial::debug;
using boost::log::trivial::fatal;

CVevareviDiravadService::CVevareviDiravadService(const std::string& name,
                                                 const std::string& display_name)
    : vexa::LinuxDaemon(name, display_name)
{
}

CVevareviDiravadService::~CVevareviDiravadService()
{
    stop_and_release();
}

void CVevareviDiravadService::stop_and_release()
{
    if (control_server)
        control_server->stop();
    main_loop.stop();
    aux_loop.stop();
    if (udp_server)
        udp_server->stop();
    // Its sweep timer lives on the auxiliary loop, which goes before the
    // main loop, where handlers may still hold the server.
    if (ssig_server)
        ssig_server->stop();
    control_server.reset();
    ssig_server.reset();
    udp_server.reset();
}

void CVevareviDiravadService::report_start_failure(const std::string& text)
{
    failed = true;
    BOOST_LOG_SEV(lg, fatal) << text;
    // The terminal or the service manager's journal shows it too.
    std::cerr << text << std::endl;
    stop_and_release();
}

void CVevareviDiravadService::ServiceMain(int, char**)
{
    BOOST_LOG_SEV(lg, debug) << "Entering ServiceMain";
    ReportStatus(1, 0, 0);
    try {
        vexa::Config* config = vexa::Config::get_instance();
        udp_server.reset(new vexa::UDPServer(aux_loop, config->get("ExternalBindIP"),
                                             config->get("ExternalUDPPort"),
                                             config->get("InternalBindIP"),
                                             config->get("InternalUDPPort")));
        ssig_server = std::make_shared<vexa::SSIGServer>(main_loop, aux_loop,
                                                         config->get("ExternalBindIP"),
                                                         config->get("ExternalTCPPort"), udp_server);
        control_server = std::make_shared<vexa::XMLTCPControlServer>(
            config->get("TCPControlCertKsgSni"), config->get("TCPControlBindIP"),
            config->get("TCPControlPort"), *ssig_server);

        control_server->prepare();
        udp_server->start();
        ssig_server->start();
        control_server->start();

        boost::thread_group threads;
        threads.create_thread([this] { vexa::run_event_loop(aux_loop, "auxiliary", lg); });
        for (int i = 0; i < MAIN_LOOP_THREADS; ++i)
            threads.create_thread([this] { vexa::run_event_loop(main_loop, "main", lg); });
        threads.join_all();
        control_server->stop();
    } catch (const std::exception& e) {
        report_start_failure(std::string("Failed to start the Security Gateway: ") + e.what());
    } catch (...) {
        report_start_failure("Failed to start the Security Gateway!");
    }
    BOOST_LOG_SEV(lg, debug) << "Exiting ServiceMain";
    ReportStatus(0, 0, 0);
}

void CVevareviDiravadService::StopHandler()
{
    BOOST_LOG_SEV(lg, debug) << "Service stop handler";
    if (control_server) {
        // On the control thread: it closes the control connections and
        // shuts the signalling server down.
        auto control = control_server;
        boost::asio::post(control->get_io_service(), [control] { control->shutdown(); });
    }
    main_loop.stop();
    aux_loop.stop();
}
