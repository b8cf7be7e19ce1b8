// Test double of the signalling gateway: records every call, answers with
// scripted values and keeps the session callbacks so tests can fire them from
// their own threads, with the double's mutex held as the real gateway holds
// its own.
//
// Threads: the control thread calls the operations; test threads script,
// read and fire. `mutex` guards every record and scripted answer; hooks and
// callbacks run outside it unless a fire_* call is asked to hold it.
#pragma once

#include "ConnectionManager.h"

#include <chrono>
#include <functional>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeConnectionManager : public vexa::ConnectionManager {
public:
    struct AddCall {
        std::string ip_address, tcp_port, sg_sni, server_sni, ctag, connection_id, session_log_id;
        vexa::StateCallback state;
        vexa::ClosedCallback closed;
    };

    std::string add_connection(const std::string& ip_address, const std::string& tcp_port,
                               const std::string& sg_sni, const std::string& server_sni,
                               const std::string& ctag, const std::string& connection_id,
                               const std::string& session_log_id, vexa::StateCallback state,
                               vexa::ClosedCallback closed) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        adds.push_back({ip_address, tcp_port, sg_sni, server_sni, ctag, connection_id,
                        session_log_id, std::move(state), std::move(closed)});
        calls.push_back("add_connection");
        return rtag;
    }
    void remove_ssig_connection(const std::string& r) override { record("remove_ssig_connection " + r); }
    void teardown_connection(const std::string& r) override
    {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(mutex);
            hook = on_teardown;
        }
        if (hook)
            hook();
        record("teardown_connection " + r);
    }
    std::map<std::string, std::string> get_statistics() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back("get_statistics");
        return statistics;
    }
    void populate_json_session_statistics(std::string& out) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back("populate_json_session_statistics");
        out = json;
    }
    void shutdown() override { record("shutdown"); }
    void set_external_ip(const std::string& v) override { record("set_external_ip " + v); }
    void set_external_port(const std::string& v) override { record("set_external_port " + v); }

    // Calls session i's callbacks as the gateway does, its mutex held; or,
    // as the relay's separate direction locks allow, from many threads at once.
    void fire_state(std::size_t i, eSESSION_STATE state, bool hold_mutex = true)
    {
        std::unique_lock<std::mutex> lock(mutex);
        vexa::StateCallback callback = adds.at(i).state;
        if (!hold_mutex)
            lock.unlock();
        callback(state);
    }
    void fire_closed(std::size_t i, const std::string& reason, bool hold_mutex = true)
    {
        std::unique_lock<std::mutex> lock(mutex);
        vexa::ClosedCallback callback = adds.at(i).closed;
        if (!hold_mutex)
            lock.unlock();
        callback(reason);
    }
    // Forgets the sessions, and with their callbacks the connections.
    void drop_sessions()
    {
        std::vector<AddCall> gone;
        std::lock_guard<std::mutex> lock(mutex);
        gone.swap(adds);
    }

    std::size_t add_count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return adds.size();
    }
    AddCall add(std::size_t i)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return adds.at(i);
    }
    std::vector<std::string> call_log()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    std::size_t call_count(const std::string& call)
    {
        std::size_t n = 0;
        for (const auto& c : call_log())
            n += c == call;
        return n;
    }
    bool wait_for_call(const std::string& call, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (call_count(call) == 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // Scripted answers (under the mutex: the control thread reads them).
    void set_rtag(const std::string& v)
    {
        std::lock_guard<std::mutex> lock(mutex);
        rtag = v;
    }
    void set_statistics(const std::map<std::string, std::string>& v)
    {
        std::lock_guard<std::mutex> lock(mutex);
        statistics = v;
    }
    // Runs inside teardown_connection, on the control thread.
    void set_on_teardown(std::function<void()> hook)
    {
        std::lock_guard<std::mutex> lock(mutex);
        on_teardown = std::move(hook);
    }
    void set_json(const std::string& v)
    {
        std::lock_guard<std::mutex> lock(mutex);
        json = v;
    }

private:
    std::string rtag = "R";
    std::map<std::string, std::string> statistics{{"sessions", "0"}, {"sessions_hwm", "0"}};
    std::string json = "{}";
    std::function<void()> on_teardown;

    void record(const std::string& call)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
    }

    std::mutex mutex;
    std::vector<AddCall> adds;
    std::vector<std::string> calls;
};
