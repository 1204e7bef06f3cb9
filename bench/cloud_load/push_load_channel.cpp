#include "bench/cloud_load/push_load_channel.h"

#include "bench/cloud_load/load_socket.h"

#include <array>
#include <cerrno>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sonavert::bench {

namespace {

constexpr int kText = 0x1;
constexpr int kClose = 0x8;
constexpr int kPing = 0x9;
constexpr int kPong = 0xA;

} // namespace

std::string pushUpgradeRequest() {
    return "GET /push HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
           "Connection: Upgrade\r\nSec-WebSocket-Key: c29uYXZlcnQtYmVuY2gtMQ==\r\n"
           "Sec-WebSocket-Version: 13\r\n\r\n";
}

std::string clientFrame(int opcode, const std::string& payload) {
    std::string frame;
    frame += static_cast<char>(0x80 | opcode);
    if (payload.size() < 126) {
        frame += static_cast<char>(0x80 | payload.size());
    } else {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>((payload.size() >> 8) & 0xFF);
        frame += static_cast<char>(payload.size() & 0xFF);
    }
    frame.append(4, '\0');
    frame += payload;
    return frame;
}

PushLoadChannel::PushLoadChannel(LoadReactor& reactor, std::uint16_t port, int source,
                                 std::string token)
    : m_reactor(reactor)
    , m_port(port)
    , m_source(source)
    , m_token(std::move(token)) {}

PushLoadChannel::~PushLoadChannel() {
    if (m_fd >= 0) {
        m_reactor.unwatch(m_fd);
        ::close(m_fd);
    }
}

void PushLoadChannel::open() {
    m_fd = connectLoopback(m_port, m_source);
    if (m_fd < 0) {
        m_hasFailed = true;
        return;
    }
    m_out = pushUpgradeRequest();
    m_reactor.watch(m_fd, EPOLLIN | EPOLLOUT, [this](std::uint32_t events) { onEvents(events); });
}

void PushLoadChannel::fail() {
    m_hasFailed = true;
    m_isReady = false;
    m_reactor.unwatch(m_fd);
    ::close(m_fd);
    m_fd = -1;
}

void PushLoadChannel::onEvents(std::uint32_t events) {
    if ((events & EPOLLOUT) && m_written < m_out.size()) {
        if (!writeSome(m_fd, m_out, m_written))
            return fail();
        if (m_written == m_out.size())
            m_reactor.rewatch(m_fd, EPOLLIN);
    }
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        return;
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer.data(), buffer.size(), 0);
        if (got > 0) {
            m_in.append(buffer.data(), static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        return fail();
    }
    if (m_stage == Stage::Upgrading)
        readUpgrade();
    if (m_stage == Stage::Open)
        readFrames();
}

void PushLoadChannel::readUpgrade() {
    const std::size_t end = m_in.find("\r\n\r\n");
    if (end == std::string::npos)
        return;
    if (m_in.compare(0, 12, "HTTP/1.1 101") != 0)
        return fail();
    m_in.erase(0, end + 4);
    m_stage = Stage::Open;
    sendFrame(kText, "{\"token\":\"" + m_token +
                         "\",\"container\":\"iCloud.io.sonavert.sonavert\","
                         "\"environment\":\"production\"}");
}

void PushLoadChannel::readFrames() {
    while (m_fd >= 0 && m_in.size() >= 2) {
        const int opcode = m_in[0] & 0x0F;
        std::size_t length = static_cast<unsigned char>(m_in[1]) & 0x7F;
        std::size_t header = 2;
        if (length == 126) {
            if (m_in.size() < 4)
                return;
            length =
                (static_cast<unsigned char>(m_in[2]) << 8) | static_cast<unsigned char>(m_in[3]);
            header = 4;
        } else if (length == 127) {
            if (m_in.size() < 10)
                return;
            length = 0;
            for (int i = 2; i < 10; ++i)
                length = (length << 8) | static_cast<unsigned char>(m_in[i]);
            header = 10;
        }
        if (m_in.size() < header + length)
            return;
        const std::string payload = m_in.substr(header, length);
        m_in.erase(0, header + length);
        if (opcode == kPing)
            sendFrame(kPong, payload);
        else if (opcode == kClose)
            return fail();
        else if (opcode == kText && !m_isReady)
            m_isReady = payload.find("\"ready\"") != std::string::npos;
        else if (opcode == kText)
            ++m_messages;
    }
}

void PushLoadChannel::sendFrame(int opcode, const std::string& payload) {
    m_out.erase(0, m_written);
    m_written = 0;
    m_out += clientFrame(opcode, payload);
    if (!writeSome(m_fd, m_out, m_written))
        return fail();
    m_reactor.rewatch(m_fd, m_written < m_out.size() ? EPOLLIN | EPOLLOUT : EPOLLIN);
}

} // namespace sonavert::bench
