#include "VevareviDiravadService.h"

#include "Config.h"
#include "UDPServer.h"

#include <boost/thread/thread.hpp>

#include <exception>

using boost::log::trivial::debug;
using boost::log::trivial::error;
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

void CVevareviDiravadService::run_loop(boost::asio::io_service& loop, const char* name)
{
    for (;;) {
        try {
            loop.run();
            return;
        } catch (const std::exception& e) {
            BOOST_LOG_SEV(lg, error) << name << " event loop: unhandled exception: " << e.what();
        } catch (...) {
            BOOST_LOG_SEV(lg, error) << name << " event loop: unhandled exception";
        }
    }
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
        threads.create_thread([this] { run_loop(aux_loop, "auxiliary"); });
        for (int i = 0; i < MAIN_LOOP_THREADS; ++i)
            threads.create_thread([this] { run_loop(main_loop, "main"); });
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
