// What the session benchmarks read about a process and the machine: the
// resident set and open descriptors of a pid (from /proc), the CPU model
// and count, and the open-file limit raised for the driver's own sockets.
// Plain functions.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace session_bench {

// VmRSS of pid in KiB; 0 when unreadable.
inline uint64_t rss_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

// Entries of /proc/<pid>/fd.
inline std::size_t open_fds(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(path.c_str());
    if (!d)
        return 0;
    std::size_t n = 0;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    return n;
}

inline std::string machine()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line, model = "unknown CPU";
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " hardware threads";
}

// Soft open-file limit raised to the hard one; the new soft limit.
inline uint64_t raise_fd_limit()
{
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
    ::getrlimit(RLIMIT_NOFILE, &lim);
    return lim.rlim_cur;
}

}  // namespace session_bench
