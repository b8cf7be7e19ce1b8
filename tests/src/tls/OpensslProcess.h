// The openssl command as a TLS peer (s_server or s_client), run with a pipe
// to its standard input and one from its standard output and error; every
// wait is bounded and the destructor kills what is still running.
//
// Threads: one test thread uses a process; it holds no lock.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace kavri_test {

class OpensslProcess {
public:
    using clock = std::chrono::steady_clock;
    using ms = std::chrono::milliseconds;

    // Runs "openssl" with args.
    explicit OpensslProcess(const std::vector<std::string>& args)
    {
        // Built before the fork: the child of a threaded process only execs.
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("openssl"));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(out[1], 2);
            ::close(in[1]);
            ::close(out[0]);
            ::execvp("openssl", argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~OpensslProcess()
    {
        close_input();
        if (m_pid > 0 && !m_exited) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            ::close(m_out);
    }
    OpensslProcess(const OpensslProcess&) = delete;
    OpensslProcess& operator=(const OpensslProcess&) = delete;

    bool started() const { return m_pid > 0; }

    bool write(const std::string& text)
    {
        return m_in >= 0 && ::write(m_in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void close_input()
    {
        if (m_in >= 0)
            ::close(m_in);
        m_in = -1;
    }

    // Reads output until it holds text (true) or timeout passes.
    bool wait_for_output(const std::string& text, ms timeout = ms(5000))
    {
        const auto deadline = clock::now() + timeout;
        while (m_output.find(text) == std::string::npos) {
            if (!read_some(deadline))
                return m_output.find(text) != std::string::npos;
        }
        return true;
    }
    // Reads output until the process ends (true) or timeout passes.
    bool wait_exit(ms timeout = ms(5000))
    {
        const auto deadline = clock::now() + timeout;
        while (read_some(deadline)) {
        }
        while (clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_exited = true;
                return true;
            }
            ::usleep(10000);
        }
        return false;
    }
    const std::string& output() const { return m_output; }

private:
    // False at the end of output or on timeout.
    bool read_some(clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<ms>(deadline - clock::now()).count();
        pollfd p{m_out, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1)
            return false;
        char buffer[4096];
        const ssize_t n = ::read(m_out, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        m_output.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    bool m_exited = false;
    std::string m_output;
};

}  // namespace kavri_test
