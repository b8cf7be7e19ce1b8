// CPU time, futex system calls and context switches of some threads of this
// process, chosen by name, for the relay benchmarks. CPU time is the
// scheduler's run time of each thread (user + system,
// /proc/self/task/<tid>/schedstat, in ns); context switches are the
// voluntary and involuntary counts of /proc/self/task/<tid>/status. Futex
// calls are counted by the kernel's syscall tracepoint through
// perf_event_open, one counter per thread; that needs root (or
// perf_event_paranoid <= -1) and tracefs. Machines that have tracefs but do
// not mount it are common (perf mounts it on first use), so it is mounted
// here the same way; without it the count reads -1.
//
// Threads: made and read by the benchmark's main thread.
#pragma once

#include <dirent.h>
#include <linux/perf_event.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace relay_load {

class ThreadUsage {
public:
    struct Totals {
        double cpu_seconds = 0;
        int64_t futex_calls = -1;  // -1: not countable here
        int64_t context_switches = 0;
    };

    // The threads whose name starts with prefix, waiting up to a second
    // until count of them exist (they name themselves once running).
    ThreadUsage(const std::string& prefix, size_t count)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while ((tids = find(prefix)).size() < count && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int id = futex_tracepoint();
        for (pid_t tid : tids) {
            int fd = -1;
            if (id >= 0) {
                perf_event_attr a{};
                a.size = sizeof a;
                a.type = PERF_TYPE_TRACEPOINT;
                a.config = static_cast<uint64_t>(id);
                fd = static_cast<int>(syscall(SYS_perf_event_open, &a, tid, -1, -1, 0));
            }
            fds.push_back(fd);
        }
    }
    ~ThreadUsage()
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    ThreadUsage(const ThreadUsage&) = delete;
    ThreadUsage& operator=(const ThreadUsage&) = delete;

    size_t threads() const { return tids.size(); }

    // Since the threads started (take the difference of two readings).
    Totals read() const
    {
        Totals t;
        bool countable = !fds.empty();
        int64_t calls = 0;
        for (size_t i = 0; i < tids.size(); ++i) {
            std::ifstream in("/proc/self/task/" + std::to_string(tids[i]) + "/schedstat");
            uint64_t ns = 0;
            in >> ns;
            t.cpu_seconds += ns / 1e9;
            t.context_switches += switches(tids[i]);
            uint64_t value = 0;
            if (fds[i] >= 0 && ::read(fds[i], &value, sizeof value) == sizeof value)
                calls += static_cast<int64_t>(value);
            else
                countable = false;
        }
        if (countable)
            t.futex_calls = calls;
        return t;
    }

private:
    static std::vector<pid_t> find(const std::string& prefix)
    {
        std::vector<pid_t> out;
        DIR* d = opendir("/proc/self/task");
        if (d == nullptr)
            return out;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(in, name);
            if (name.compare(0, prefix.size(), prefix) == 0)
                out.push_back(static_cast<pid_t>(std::stol(e->d_name)));
        }
        closedir(d);
        return out;
    }
    static int64_t switches(pid_t tid)
    {
        std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
        int64_t total = 0;
        std::string line;
        while (std::getline(in, line))
            if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0 ||
                line.compare(0, 27, "nonvoluntary_ctxt_switches:") == 0)
                total += std::stoll(line.substr(line.find(':') + 1));
        return total;
    }
    static int read_tracepoint_id()
    {
        for (const char* dir : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
            std::ifstream in(std::string(dir) + "/events/syscalls/sys_enter_futex/id");
            int id = -1;
            if (in >> id)
                return id;
        }
        return -1;
    }
    static int futex_tracepoint()
    {
        const int id = read_tracepoint_id();
        if (id >= 0)
            return id;
        // An empty mount point means tracefs is there but not mounted.
        if (mount("nodev", "/sys/kernel/tracing", "tracefs", 0, nullptr) != 0)
            return -1;
        return read_tracepoint_id();
    }

    std::vector<pid_t> tids;
    std::vector<int> fds;
};

}  // namespace relay_load
