// Service base with a stand-alone run path: the process stays in the
// foreground and has no stop path of its own. Holds no state.
#pragma once

#include <string>

namespace vexa {

class LinuxDaemon {
public:
    LinuxDaemon(const std::string& name, const std::string& display_name);
    virtual ~LinuxDaemon();
    virtual void ServiceMain(int argc, char** argv) = 0;
    virtual void StopHandler();

    // Status hook; does nothing on this platform.
    void ReportStatus(int state, int exit_code, int wait_hint);
    // Runs ServiceMain on the calling thread and returns 0.
    int RunStandAlone(int argc, char** argv);
};

}  // namespace vexa
