#include "bench/cloud_load/http_load_connection.h"

#include "bench/cloud_load/load_socket.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sonavert::bench {

namespace {

constexpr char kContainerPath[] = "/database/1/iCloud.io.sonavert.sonavert/production/private/";

/// The Content-Length of a header block, or -1 when it has none.
long contentLengthOf(const std::string& head) {
    std::size_t at = 0;
    while ((at = head.find("\r\n", at)) != std::string::npos) {
        at += 2;
        if (head.size() - at > 15 && strncasecmp(head.c_str() + at, "content-length:", 15) == 0)
            return std::strtol(head.c_str() + at + 15, nullptr, 10);
    }
    return -1;
}

} // namespace

std::string databaseRequest(const std::string& operation, const std::string& token,
                            const std::string& body) {
    std::string request;
    request.reserve(256 + body.size());
    request += "POST ";
    request += kContainerPath;
    request += operation;
    request += " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer ";
    request += token;
    request += "\r\nContent-Type: application/json\r\nContent-Length: ";
    request += std::to_string(body.size());
    request += "\r\n\r\n";
    request += body;
    return request;
}

HttpLoadConnection::HttpLoadConnection(LoadReactor& reactor, std::uint16_t port, int source)
    : m_reactor(reactor)
    , m_port(port)
    , m_source(source) {}

HttpLoadConnection::~HttpLoadConnection() {
    closeSocket();
}

void HttpLoadConnection::open() {
    m_fd = connectLoopback(m_port, m_source);
    if (m_fd >= 0)
        m_reactor.watch(m_fd, EPOLLIN | EPOLLOUT,
                        [this](std::uint32_t events) { onEvents(events); });
}

void HttpLoadConnection::closeSocket() {
    if (m_fd < 0)
        return;
    m_reactor.unwatch(m_fd);
    ::close(m_fd);
    m_fd = -1;
}

void HttpLoadConnection::send(std::string request, Callback done) {
    m_out = std::move(request);
    m_written = 0;
    m_in.clear();
    m_callback = std::move(done);
    m_sentAt = std::chrono::steady_clock::now();
    if (m_fd < 0)
        open();
    if (m_fd < 0) {
        finish(HttpAnswer{});
        return;
    }
    if (!writeSome(m_fd, m_out, m_written)) {
        closeSocket();
        finish(HttpAnswer{});
        return;
    }
    m_reactor.rewatch(m_fd, m_written < m_out.size() ? EPOLLIN | EPOLLOUT : EPOLLIN);
}

void HttpLoadConnection::onEvents(std::uint32_t events) {
    if ((events & EPOLLOUT) && m_written < m_out.size()) {
        if (!writeSome(m_fd, m_out, m_written)) {
            closeSocket();
            finish(HttpAnswer{});
            return;
        }
        if (m_written == m_out.size())
            m_reactor.rewatch(m_fd, EPOLLIN);
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
        readAnswer();
}

void HttpLoadConnection::readAnswer() {
    std::array<char, 16384> buffer{};
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer.data(), buffer.size(), 0);
        if (got > 0) {
            m_in.append(buffer.data(), static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // Closed by the server: whatever was in flight is lost.
        closeSocket();
        if (m_callback)
            finish(HttpAnswer{});
        return;
    }
    HttpAnswer answer;
    if (m_callback && takeAnswer(answer))
        finish(std::move(answer));
}

bool HttpLoadConnection::takeAnswer(HttpAnswer& answer) {
    const std::size_t headEnd = m_in.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return false;
    const long length = contentLengthOf(m_in.substr(0, headEnd + 2));
    const std::size_t total = headEnd + 4 + static_cast<std::size_t>(std::max(0L, length));
    if (m_in.size() < total)
        return false;
    answer.status = m_in.size() > 12 ? std::atoi(m_in.c_str() + 9) : 0;
    answer.body = m_in.substr(headEnd + 4, total - headEnd - 4);
    m_in.erase(0, total);
    return true;
}

void HttpLoadConnection::finish(HttpAnswer answer) {
    answer.latency = std::chrono::steady_clock::now() - m_sentAt;
    Callback callback = std::move(m_callback);
    m_callback = nullptr;
    callback(answer);
}

} // namespace sonavert::bench
