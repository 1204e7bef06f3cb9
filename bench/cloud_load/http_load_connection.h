#pragma once

#include "bench/cloud_load/load_reactor.h"

#include <cstdint>
#include <functional>
#include <string>

namespace sonavert::bench {

/// What one request got: the HTTP status (0 when the connection failed), the body, and the
/// time from the first byte sent to the last byte of the answer.
struct HttpAnswer {
    int status = 0;
    std::string body;
    std::chrono::nanoseconds latency{0};
};

/// One keep-alive HTTP/1.1 connection as a device holds it: one request in flight at a time.
/// A connection the server closed is opened again for the next request.
class HttpLoadConnection {
public:
    using Callback = std::function<void(const HttpAnswer&)>;

    HttpLoadConnection(LoadReactor& reactor, std::uint16_t port, int source);
    ~HttpLoadConnection();
    HttpLoadConnection(const HttpLoadConnection&) = delete;
    HttpLoadConnection& operator=(const HttpLoadConnection&) = delete;

    bool isBusy() const { return static_cast<bool>(m_callback); }
    /// Sends a complete request; `done` runs once with its answer.
    void send(std::string request, Callback done);

private:
    void open();
    void closeSocket();
    void onEvents(std::uint32_t events);
    void readAnswer();
    /// Whether the buffer holds a whole answer; takes it out when so.
    bool takeAnswer(HttpAnswer& answer);
    void finish(HttpAnswer answer);

    LoadReactor& m_reactor;
    std::uint16_t m_port;
    int m_source;
    int m_fd = -1;
    std::string m_out;
    std::size_t m_written = 0;
    std::string m_in;
    SteadyTime m_sentAt;
    Callback m_callback;
};

/// "POST /database/1/CONTAINER/production/private/OPERATION" with a bearer token and a JSON body.
std::string databaseRequest(const std::string& operation, const std::string& token,
                            const std::string& body);

} // namespace sonavert::bench
