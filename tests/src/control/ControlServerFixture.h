// A control server on 127.0.0.1, port 0, over the test double, with the log
// captured and every setting the channel reads put back to its default.
#pragma once

#include "ControlBroker.h"
#include "ControlLogCapture.h"
#include "FakeConnectionManager.h"

#include "CipherList.h"
#include "Config.h"
#include "Startup.h"
#include "XMLTCPControlServer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

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
        server = std::make_shared<vexa::XMLTCPControlServer>("sni", "127.0.0.1", "0", cm);
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
        b->use_certificate(broker_cert, broker_key);
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

    static std::string framed(int id, const std::string& reply_id, const std::string& body)
    {
        return "KAVRI-SG/1.0 TYPE=XML ID=" + std::to_string(id) + " REPLYID=" + reply_id +
               " LENGTH=" + std::to_string(body.size()) + "\r\n" + body;
    }

    std::string broker_cert, broker_key;
    ControlLogCapture log;
    FakeConnectionManager cm;
    std::shared_ptr<vexa::XMLTCPControlServer> server;
};
