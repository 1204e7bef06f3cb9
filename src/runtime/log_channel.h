#pragma once

#include "src/runtime/log_format.h"

#include <QString>
#include <memory>
#include <mutex>
#include <vector>

namespace sonavert {

/// The categories of the application's log, one per area of work.
enum class LogCategory { Handoff, Pull, Push, CloudKit, Nearby, Background, Playback };
/// Levels of the platform log: default, info, debug, error, fault.
enum class LogLevel { Default, Info, Debug, Error, Fault };

QString categoryName(LogCategory category);
QString levelName(LogLevel level);
/// The syslog priority a level maps to (journald's PRIORITY field).
int syslogPriority(LogLevel level);

/// One rendered log line, as a sink receives it.
struct LogRecord {
    LogCategory category;
    LogLevel level;
    QString message;
};

/// Where rendered lines go.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogRecord& record) = 0;
};

/// Timestamped lines on standard error: the channel's sink until a program installs another.
std::shared_ptr<LogSink> makeStderrLogSink();

/// The application's one log channel: subsystem = bundle identifier, seven categories. The
/// sink is swappable (journald, stderr, a capturing sink in tests); calls are thread-safe.
class LogChannel {
public:
    static LogChannel& instance();

    void write(LogCategory category, LogLevel level, const char* format,
               const std::vector<LogValue>& args);

    /// Installs `sink` and gives back the one it replaces.
    std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink);
    /// Shows private values in clear (the user's "private logging" switch).
    void setShowPrivate(bool showPrivate);
    LogPrivacy privacy() const;

private:
    LogChannel();
    mutable std::mutex m_mutex;
    std::shared_ptr<LogSink> m_sink;
    LogPrivacy m_privacy;
};

namespace detail {
inline LogValue toLogValue(const QString& v) {
    return v;
}
inline LogValue toLogValue(const char* v) {
    return QString::fromUtf8(v);
}
inline LogValue toLogValue(bool v) {
    return v;
}
inline LogValue toLogValue(double v) {
    return v;
}
template <typename T>
requires std::is_integral_v<T> LogValue toLogValue(T v) {
    return static_cast<qint64>(v);
}
} // namespace detail

/// Writes one event: `logEvent(LogCategory::CloudKit, LogLevel::Error,
/// "event=presence_fetch_failed error=%{private}s", error.description)`.
template <typename... Args>
void logEvent(LogCategory category, LogLevel level, const char* format, const Args&... args) {
    LogChannel::instance().write(category, level, format, {detail::toLogValue(args)...});
}

/// A developer line: printed to standard output as "[Tessary] " + text.
void developerLog(const QString& text);

/// Captures every line while it lives (tests). Restores the previous sink when destroyed.
class CapturingLogSink : public LogSink {
public:
    CapturingLogSink();
    ~CapturingLogSink() override;
    CapturingLogSink(const CapturingLogSink&) = delete;
    CapturingLogSink& operator=(const CapturingLogSink&) = delete;

    void write(const LogRecord& record) override;
    std::vector<LogRecord> records() const;
    /// Messages of one category, in order.
    QStringList messages(LogCategory category) const;
    /// Messages of every category, in order.
    QStringList messages() const;
    /// How many lines equal `message` exactly.
    int count(const QString& message) const;
    void clear();

private:
    struct Forwarder;
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
    std::shared_ptr<LogSink> m_previous;
};

} // namespace sonavert
