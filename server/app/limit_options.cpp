#include "server/app/limit_options.h"

#include "server/app/option_values.h"

#include <array>

namespace sonavert::cloud {

namespace {

using Setter = void (*)(ServerConfig&, qint64);

struct LimitOption {
    const char* name;
    const char* description;
    const char* unit;
    qint64 most;
    Setter set;
};

constexpr qint64 kUnbounded = std::numeric_limits<int>::max();

Duration seconds(qint64 value) {
    return std::chrono::seconds(value);
}

// Defaults live in HttpLimits, PushLimits and ServiceOptions; server/README.md lists them.
constexpr std::array<LimitOption, 14> kLimitOptions{{
    {"max-header-bytes", "Bytes of a request line and header (431 beyond).", "BYTES",
     kMostHeaderBytes, [](ServerConfig& c, qint64 v) { c.http.maxHeaderBytes = v; }},
    {"max-header-fields", "Header fields of one request (431 beyond).", "N", kMostHeaderFields,
     [](ServerConfig& c, qint64 v) { c.http.maxHeaderFields = static_cast<int>(v); }},
    {"max-body-bytes", "Bytes of a request body (413 beyond).", "BYTES", kUnbounded,
     [](ServerConfig& c, qint64 v) { c.http.maxBodyBytes = v; }},
    {"header-timeout", "Seconds from a request's first byte to its header's end.", "SECONDS",
     kUnbounded, [](ServerConfig& c, qint64 v) { c.http.headerTimeout = seconds(v); }},
    {"body-timeout", "Seconds from a header's end to its body's end.", "SECONDS", kUnbounded,
     [](ServerConfig& c, qint64 v) { c.http.bodyTimeout = seconds(v); }},
    {"idle-timeout", "Seconds a connection may wait between requests.", "SECONDS", kUnbounded,
     [](ServerConfig& c, qint64 v) { c.http.idleTimeout = seconds(v); }},
    {"max-connections", "Connections at once, push channels included (503 beyond).", "N",
     kUnbounded, [](ServerConfig& c, qint64 v) { c.http.maxConnections = static_cast<int>(v); }},
    {"max-connections-per-address", "Connections at once from one address (503 beyond).", "N",
     kUnbounded,
     [](ServerConfig& c, qint64 v) { c.http.maxConnectionsPerAddress = static_cast<int>(v); }},
    {"max-frame-bytes", "Bytes of a WebSocket frame from a client.", "BYTES", kUnbounded,
     [](ServerConfig& c, qint64 v) { c.push.maxFrameBytes = v; }},
    {"max-message-bytes", "Bytes of a WebSocket message from a client.", "BYTES", kUnbounded,
     [](ServerConfig& c, qint64 v) { c.push.maxMessageBytes = v; }},
    {"max-queued-bytes", "Bytes waiting to be sent to one push channel.", "BYTES", kUnbounded,
     [](ServerConfig& c, qint64 v) { c.push.maxQueuedBytes = v; }},
    {"greet-timeout", "Seconds a push channel has to greet.", "SECONDS", kUnbounded,
     [](ServerConfig& c, qint64 v) { c.push.greetWithin = seconds(v); }},
    {"silent-timeout", "Seconds a greeted push channel may stay silent.", "SECONDS", kUnbounded,
     [](ServerConfig& c, qint64 v) { c.push.silentFor = seconds(v); }},
    {"max-subscriptions", "Subscriptions per account in one container and environment.", "N",
     kUnbounded,
     [](ServerConfig& c, qint64 v) {
         c.service.maxSubscriptionsPerDatabase = static_cast<int>(v);
     }},
}};

} // namespace

LimitOptions::LimitOptions() {
    for (const LimitOption& option : kLimitOptions)
        m_options.append(QCommandLineOption(QString::fromLatin1(option.name),
                                            QString::fromLatin1(option.description),
                                            QString::fromLatin1(option.unit)));
}

void LimitOptions::addTo(OptionValues& values) const {
    values.addWithEnvironment(m_options);
}

Status LimitOptions::applyTo(const OptionValues& values, ServerConfig& config) const {
    for (qsizetype i = 0; i < m_options.size(); ++i) {
        const LimitOption& option = kLimitOptions.at(static_cast<size_t>(i));
        const std::optional<QString> given = values.value(m_options.at(i));
        if (!given)
            continue;
        bool isNumber = false;
        const qint64 value = given->toLongLong(&isNumber);
        if (!isNumber || value < 1 || value > option.most)
            return makeError(QStringLiteral("Options"), 0,
                             QStringLiteral("%1 takes a whole number from 1 to %2, not '%3'")
                                 .arg(values.sourceOf(m_options.at(i)))
                                 .arg(option.most)
                                 .arg(*given));
        option.set(config, value);
    }
    return {};
}

} // namespace sonavert::cloud
