#include "LinuxDaemon.h"

namespace vexa {

LinuxDaemon::LinuxDaemon(const std::string&, const std::string&) {}

LinuxDaemon::~LinuxDaemon() = default;

void LinuxDaemon::StopHandler() {}

void LinuxDaemon::ReportStatus(int, int, int) {}

int LinuxDaemon::RunStandAlone(int argc, char** argv)
{
    ServiceMain(argc, argv);
    return 0;
}

}  // namespace vexa
