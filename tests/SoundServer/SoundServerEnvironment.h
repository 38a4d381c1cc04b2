#pragma once

#include "PrivateSoundServer.h"

#include <gtest/gtest.h>

// One private sound server for the whole test binary (Qt Multimedia connects once per
// process). Register it with
//     static auto* const soundServer = SoundServerEnvironment::install();
// A server that cannot start fails the run: these tests never skip.
class SoundServerEnvironment : public ::testing::Environment
{
public:
    static SoundServerEnvironment* install()
    {
        static SoundServerEnvironment* environment = [] {
            auto* e = new SoundServerEnvironment;
            ::testing::AddGlobalTestEnvironment(e);
            return e;
        }();
        return environment;
    }
    static PrivateSoundServer& server() { return *install()->m_server; }

    void SetUp() override
    {
        m_server = std::make_unique<PrivateSoundServer>();
        QString error;
        ASSERT_TRUE(m_server->start(&error))
            << "cannot start a private sound server: " << error.toStdString();
    }
    void TearDown() override { m_server.reset(); }

private:
    std::unique_ptr<PrivateSoundServer> m_server;
};
