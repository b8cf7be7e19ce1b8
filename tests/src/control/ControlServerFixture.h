// A control server on 127.0.0.1, port 0, over the test double, with the log
// captured and every setting the channel reads put back to its default.
#pragma once

#include "ControlBroker.h"
#include "FakeConnectionManager.h"
#include "LogCapture.h"

#include "CipherList.h"
#include "Config.h"
#include "Startup.h"
#include "XMLTCPControlServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// A peer that connects and never becomes a broker.
struct SilentPeer {
    const char* what;
    bool tls;                    // completes a TLS handshake
    std::string sends;           // bytes sent after connecting
    std::string closing_record;  // the deadline's record
    std::chrono::milliseconds deadline;
};

class ControlServerTest : public ::testing::Test {
protected:

    static void SetUpTestSuite()
    {
        static bool registered = false;
        if (!registered) {
            // As the program's entry does: defaults, then the cipher list in
            // OpenSSL's names.
            vexa::register_defaults(*vexa::Config::get_instance());
            vexa::logger_t lg;
            vexa::settle_cipher_list(*vexa::Config::get_instance(), lg);
            registered = true;
        }
    }

    void SetUp() override
    {
        for (const char* key : {"TCPControlLinuxExtCert", "TCPControlLinuxExtPriv", "TCPControlLinuxExtCA",
                                "TCPControlLinuxExtCertPhrase", "TCPControlCertPath"})
            set(key, "");
        set("TCPControlMaxConnections", "10");
        set("TCPControlSendStateChangedNotifications", "0");
        set("DefaultServerSni", "kavri-default-sni");
        set("DefaultSgSni", "kavri-default-sg-sni");
    }

    void TearDown() override
    {
        stop_server();
        if (HasFailure())
            for (const auto& line : log.lines())
                std::fprintf(stderr, "log: %s\n", line.c_str());
    }

    static void set(const std::string& key, const std::string& value)
    {
        vexa::Config::get_instance()->set(key, value);
    }

    void start_server()
    {
        server = std::make_shared<vexa::XMLTCPControlServer>("sni", "127.0.0.1", "0", cm, deadlines);
        server->prepare();
        server->start();
    }

    void stop_server()
    {
        if (!server)
            return;
        server->stop();
        cm.drop_sessions();
        server.reset();
    }

    // Over TLS the broker presents broker_cert when one is set.
    std::unique_ptr<ControlBroker> connect(bool tls = false)
    {
        auto b = std::make_unique<ControlBroker>();
        b->set_client_certificate(broker_cert, broker_key);
        EXPECT_TRUE(b->connect(server->local_port(), tls));
        return b;
    }

    // Sends one command and returns the reply; fails the test on timeout.
    static BrokerMessage exchange(ControlBroker& b, const std::string& command,
                                  const ControlBroker::params_t& params = {}, const std::string& id = "1")
    {
        EXPECT_TRUE(b.send_command(command, params, id));
        auto reply = b.read_message();
        EXPECT_TRUE(reply) << "no reply to " << command;
        return reply ? *reply : BrokerMessage{};
    }

    // Silent peers, one after another against a limit of one connection
    // (set here, as are deadlines of 400 and 1200 ms): each is closed after
    // its deadline; then the broker gets in and may idle past the deadlines.
    void expect_silent_peers_closed_then_broker_gets_in(const std::vector<SilentPeer>& peers, bool broker_tls)
    {
        deadlines = {std::chrono::milliseconds(400), std::chrono::milliseconds(1200)};
        set("TCPControlMaxConnections", "0");
        start_server();
        std::size_t closed = 0;
        for (const auto& p : peers) {
            SCOPED_TRACE(p.what);
            const std::size_t records = log.count(p.closing_record);
            ControlBroker peer;
            peer.set_client_certificate(broker_cert, broker_key);
            const auto t0 = std::chrono::steady_clock::now();
            ASSERT_TRUE(peer.connect(server->local_port(), p.tls));
            if (!p.sends.empty()) {
                ASSERT_TRUE(peer.send(p.sends));
            }
            // It holds the only slot until its deadline passes.
            ASSERT_TRUE(log.wait_for("Accepted a new control connection from", closed + 1));
            EXPECT_TRUE(peer.wait_closed(std::chrono::seconds(20)));
            EXPECT_GE(std::chrono::steady_clock::now() - t0, p.deadline);
            EXPECT_TRUE(log.wait_for(p.closing_record, records + 1));
            ++closed;
            EXPECT_TRUE(log.wait_for("Closing XMLTCP control connection to 127.0.0.1:", closed));
        }
        EXPECT_EQ(log.count("no TLS handshake from") + log.count("no complete message from"), peers.size());
        EXPECT_TRUE(cm.call_log().empty());

        ControlBroker broker;
        broker.set_client_certificate(broker_cert, broker_key);
        ASSERT_TRUE(broker.connect(server->local_port(), broker_tls));
        EXPECT_EQ(exchange(broker, "get-info").id, "0");
        // Established: it may stay idle well past both deadlines.
        std::this_thread::sleep_for(deadlines.first_message * 2);
        EXPECT_EQ(exchange(broker, "get-counters").id, "1");
        EXPECT_EQ(server->connection_count(), 1u);
        EXPECT_EQ(log.count("no TLS handshake from") + log.count("no complete message from"), peers.size());
    }

    static std::string framed(int id, const std::string& reply_id, const std::string& body)
    {
        return "KAVRI-SG/1.0 TYPE=XML ID=" + std::to_string(id) + " REPLYID=" + reply_id +
               " LENGTH=" + std::to_string(body.size()) + "\r\n" + body;
    }

    std::string broker_cert, broker_key;
    vexa::ControlDeadlines deadlines;  // for start_server
    LogCapture log;
    FakeConnectionManager cm;
    std::shared_ptr<vexa::XMLTCPControlServer> server;
};
