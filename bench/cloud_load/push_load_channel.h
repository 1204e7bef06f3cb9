#pragma once

#include "bench/cloud_load/load_reactor.h"

#include <cstdint>
#include <string>

namespace sonavert::bench {

/// One device's push channel: upgrades, greets with its token, then sits idle, answering the
/// server's pings and counting the messages it hears, as the device's channel does.
class PushLoadChannel {
public:
    PushLoadChannel(LoadReactor& reactor, std::uint16_t port, int source, std::string token);
    ~PushLoadChannel();
    PushLoadChannel(const PushLoadChannel&) = delete;
    PushLoadChannel& operator=(const PushLoadChannel&) = delete;

    void open();
    /// Ready: the server answered the greeting.
    bool isReady() const { return m_isReady; }
    bool hasFailed() const { return m_hasFailed; }
    int messagesHeard() const { return m_messages; }

private:
    enum class Stage { Upgrading, Open };
    void onEvents(std::uint32_t events);
    void readUpgrade();
    void readFrames();
    void sendFrame(int opcode, const std::string& payload);
    void fail();

    LoadReactor& m_reactor;
    std::uint16_t m_port;
    int m_source;
    std::string m_token;
    int m_fd = -1;
    Stage m_stage = Stage::Upgrading;
    std::string m_in;
    std::string m_out;
    std::size_t m_written = 0;
    bool m_isReady = false;
    bool m_hasFailed = false;
    int m_messages = 0;
};

/// The request that upgrades a connection to a push channel.
std::string pushUpgradeRequest();
/// A client frame: clients must mask, and a zero mask is a mask like any other.
std::string clientFrame(int opcode, const std::string& payload);

} // namespace sonavert::bench
