// What the session benchmarks read about a process and the machine: the
// resident set, open descriptors and CPU time of a pid (from /proc), the
// benchmark's own CPU time, the CPU model and count, and the open-file limit
// raised for the driver's own sockets. Plain functions.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
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

// utime + stime of pid in seconds (clock-tick resolution); 0 when unreadable.
inline double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold blanks: fields are counted after its ')'.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        else if (i == 15)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// User + system CPU time of this process (every thread) in seconds.
inline double own_cpu_seconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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
