#include "VevareviDiravadService.h"

#include "Config.h"
#include "EventLoop.h"
#include "UDPServer.h"

#include <boost/thread/thread.hpp>

#include <exception>

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
    main_loop.stop();
    aux_loop.stop();
    if (udp_server) {
        udp_server->stop();
        udp_server.reset();
    }
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
        udp_server->start();

        boost::thread_group threads;
        threads.create_thread([this] { vexa::run_event_loop(aux_loop, "auxiliary", lg); });
        for (int i = 0; i < MAIN_LOOP_THREADS; ++i)
            threads.create_thread([this] { vexa::run_event_loop(main_loop, "main", lg); });
        threads.join_all();
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(lg, fatal) << "Failed to start the Security Gateway: " << e.what();
        stop_and_release();
    } catch (...) {
        BOOST_LOG_SEV(lg, fatal) << "Failed to start the Security Gateway!";
        stop_and_release();
    }
    BOOST_LOG_SEV(lg, debug) << "Exiting ServiceMain";
    ReportStatus(0, 0, 0);
}

void CVevareviDiravadService::StopHandler()
{
    BOOST_LOG_SEV(lg, debug) << "Service stop handler";
    main_loop.stop();
    aux_loop.stop();
}
