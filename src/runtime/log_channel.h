#pragma once

#include "src/runtime/log_format.h"

#include <QLoggingCategory>
#include <QString>
#include <memory>
#include <mutex>
#include <type_traits>
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

/// What a conversion can print of an argument of type T: 'd' integers (and true/false), 'f'
/// numbers, 's' anything.
template <typename T> constexpr char conversionFor() {
    using Value = std::remove_cvref_t<std::decay_t<T>>;
    if constexpr (std::is_floating_point_v<Value>)
        return 'f';
    else if constexpr (std::is_integral_v<Value>)
        return 'd';
    else
        return 's';
}

/// Whether `format` asks for exactly the arguments `taken` stands for (one letter each, see
/// conversionFor): each '%' but "%%" starts a conversion, its flags in braces and length
/// modifiers before the letter.
consteval bool fitsArguments(const char* format, const char* taken, int count) {
    int next = 0;
    for (const char* p = format; *p; ++p) {
        if (*p != '%')
            continue;
        if (p[1] == '%') {
            ++p;
            continue;
        }
        ++p;
        if (*p == '{')
            while (*p && *p != '}')
                ++p;
        if (*p == '}')
            ++p;
        while (*p == 'l' || *p == 'h' || *p == 'z' || *p == 'j' || *p == 'q' || *p == 't')
            ++p;
        if (next == count)
            return false;
        const char wanted = *p == 'd' || *p == 'i' || *p == 'u'   ? 'd'
                            : *p == 'f' || *p == 'g' || *p == 'e' ? 'f'
                                                                  : 's';
        const char given = taken[next++];
        // Text prints anything; a number prints integers, and an integer prints as one.
        if (wanted != 's' && given != wanted && !(wanted == 'f' && given == 'd'))
            return false;
        if (!*p)
            break;
    }
    return next == count;
}

/// The conversion letters of arguments of types T..., one each (see conversionFor).
template <typename... T> inline constexpr char kConversions[] = {conversionFor<T>()..., '\0'};

constexpr bool sameText(const char* a, const char* b) {
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}
} // namespace detail

/// An event's format string, checked while the program is compiled against the arguments of
/// the call: a call with an argument missing, one too many, or text where the format prints a
/// number does not build. A default one is no format at all, for an event a caller may not
/// write.
template <typename... Args> class EventFormat {
public:
    constexpr EventFormat() = default;
    // NOLINTNEXTLINE(google-explicit-constructor): a literal is what callers write
    consteval EventFormat(const char* text)
        : m_text(text) {
        if (!detail::fitsArguments(text, detail::kConversions<Args...>,
                                   static_cast<int>(sizeof...(Args))))
            throw "an event's arguments do not fit its format";
    }
    /// The same format for arguments printed the same way (an int where a long was named).
    template <typename... Other>
    requires(detail::sameText(detail::kConversions<Other...>, detail::kConversions<Args...>))
        // NOLINTNEXTLINE(google-explicit-constructor): the same format, as the call types it
        constexpr EventFormat(EventFormat<Other...> other)
        : m_text(other.text()) {}

    constexpr const char* text() const { return m_text; }
    constexpr explicit operator bool() const { return m_text != nullptr; }

private:
    const char* m_text = nullptr;
};

/// Writes one event: `logEvent(LogCategory::CloudKit, LogLevel::Error,
/// "event=presence_fetch_failed error=%{private}s", error.description)`.
template <typename... Args>
void logEvent(LogCategory category, LogLevel level,
              EventFormat<std::type_identity_t<Args>...> format, const Args&... args) {
    LogChannel::instance().write(category, level, format.text(), {detail::toLogValue(args)...});
}

/// Developer lines: what the app does, for whoever runs it from a terminal. Qt's categorised
/// logging carries them, so QT_LOGGING_RULES="sonavert.developer=false" silences them.
Q_DECLARE_LOGGING_CATEGORY(lcDeveloper)

/// A developer line, as an info message of `lcDeveloper`. The app prints it to standard output
/// as "[Tessary] " + text (`printDeveloperLines`); elsewhere Qt's own handler shows it.
void developerLog(const QString& text);

/// Makes this process print developer lines to standard output as "[Tessary] " + text, and
/// leaves every other message to the handler that was there before.
void printDeveloperLines();

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
