// Program entry: configuration, defaults, log, open-file limit, banners and
// cipher list, then the service, which runs until the process is killed.
// Exit status 1 when the service failed to start or the hard open-file limit
// is too low to run at all.
#include "CipherList.h"
#include "Config.h"
#include "Log.h"
#include "Startup.h"
#include "VevareviDiravadService.h"
#include "safe_lib.h"

#include <boost/log/utility/setup/common_attributes.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::string config_error;
    vexa::Config& config = *vexa::Config::get_instance();
    const std::string config_path = argc > 1 ? argv[1] : vexa::Config::DEFAULT_CONFIG_FILE;
    try {
        config.open(config_path);
    } catch (const std::exception& e) {
        config_error = e.what();
    }
    // Read before the log exists; written once it does.
    const std::vector<std::string> config_warnings = vexa::config_file_warnings(config, config_path);

    vexa::register_defaults(config);

    config.cache_backend_sink(config.init_log_file(config.get_as_path("LogPath") +
                                                   vexa::Config::DEFAULT_LOG_FILE_NAME_FORMAT));
    boost::log::add_common_attributes();

    vexa::set_log_filter(config.get("LogLevel"));

    vexa::logger_t lg;
    BOOST_LOG_SEV(lg, boost::log::trivial::info) << "VevareviDiravad starting...";
    if (!config_error.empty())
        BOOST_LOG_SEV(lg, boost::log::trivial::error)
            << "*** VevareviDiravad::Configuration error: " << config_error;
    for (const std::string& warning : config_warnings)
        BOOST_LOG_SEV(lg, boost::log::trivial::warning) << warning;

    set_str_constraint_handler_s(vexa::safe_api_error_handler);
    set_mem_constraint_handler_s(vexa::safe_api_error_handler);

    if (!vexa::fit_file_descriptor_limit(config, lg))
        std::exit(1);

    vexa::log_build_banners(config, lg);
    SSL_load_error_strings();

    vexa::settle_cipher_list(config, lg);

    bool start_failed = false;
    {
        CVevareviDiravadService service("RERUVIV", "Kavri Security Gateway");
        service.RunStandAlone(argc, argv);
        start_failed = service.start_failed();
        BOOST_LOG_SEV(lg, boost::log::trivial::info) << "VevareviDiravad exiting...";
    }
    // A supervisor restarts a failed start only when it is told of it.
    return start_failed ? 1 : 0;
}
