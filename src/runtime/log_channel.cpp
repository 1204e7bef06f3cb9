#include "src/runtime/log_channel.h"

#include "src/runtime/app_identity.h"
#include "src/runtime/command_line_text.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QStringList>
#include <atomic>

namespace sonavert {

namespace {

struct CategoryRow {
    LogCategory category;
    const char* name;
};
constexpr CategoryRow kCategories[] = {
    {LogCategory::Handoff, "handoff"},   {LogCategory::Pull, "pull"},
    {LogCategory::Push, "push"},         {LogCategory::CloudKit, "cloudkit"},
    {LogCategory::Nearby, "nearby"},     {LogCategory::Background, "background"},
    {LogCategory::Playback, "playback"},
};

struct LevelRow {
    LogLevel level;
    const char* name;
    int syslogPriority;
};
constexpr LevelRow kLevels[] = {
    {LogLevel::Default, "default", 5}, {LogLevel::Info, "info", 6},   {LogLevel::Debug, "debug", 7},
    {LogLevel::Error, "error", 3},     {LogLevel::Fault, "fault", 2},
};

const LevelRow& levelRow(LogLevel level) {
    for (const auto& row : kLevels)
        if (row.level == level)
            return row;
    return kLevels[0];
}

class StderrSink final : public LogSink {
public:
    void write(const LogRecord& record) override {
        command_line::print(command_line::Stream::Error,
                            QStringLiteral("%1 %2[%3] <%4> %5\n")
                                .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                                     QString::fromLatin1(app_identity::kBundleIdentifier),
                                     categoryName(record.category), levelName(record.level),
                                     record.message));
    }
};

} // namespace

QString categoryName(LogCategory category) {
    for (const auto& row : kCategories)
        if (row.category == category)
            return QString::fromLatin1(row.name);
    return {};
}

QString levelName(LogLevel level) {
    return QString::fromLatin1(levelRow(level).name);
}

LogChannel::LogChannel()
    : m_sink(makeStderrLogSink()) {
    m_privacy.salt.resize(16);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(m_privacy.salt.data()), 4);
}

LogChannel& LogChannel::instance() {
    static LogChannel channel;
    return channel;
}

int syslogPriority(LogLevel level) {
    return levelRow(level).syslogPriority;
}

std::shared_ptr<LogSink> makeStderrLogSink() {
    return std::make_shared<StderrSink>();
}

void LogChannel::write(LogCategory category, LogLevel level, const char* format,
                       const std::vector<LogValue>& args) {
    std::shared_ptr<LogSink> sink;
    LogRecord record{category, level, {}};
    {
        std::lock_guard lock(m_mutex);
        sink = m_sink;
        record.message = renderLogFormat(format, args, m_privacy);
    }
    if (sink)
        sink->write(record);
}

std::shared_ptr<LogSink> LogChannel::setSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(m_mutex);
    std::swap(m_sink, sink);
    return sink;
}

void LogChannel::setShowPrivate(bool showPrivate) {
    std::lock_guard lock(m_mutex);
    m_privacy.showPrivate = showPrivate;
}

LogPrivacy LogChannel::privacy() const {
    std::lock_guard lock(m_mutex);
    return m_privacy;
}

Q_LOGGING_CATEGORY(lcDeveloper, "sonavert.developer")

void developerLog(const QString& text) {
    qCInfo(lcDeveloper).noquote() << text;
}

namespace {

// Set once, right after this handler replaced it (Qt hands back its default one, never null).
std::atomic<QtMessageHandler> g_otherMessages{nullptr};

void routeMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtInfoMsg || qstrcmp(context.category, lcDeveloper().categoryName()) != 0) {
        if (const QtMessageHandler other = g_otherMessages.load())
            other(type, context, message);
        return;
    }
    command_line::print(command_line::Stream::Output,
                        QStringLiteral("[Tessary] ") + message + QLatin1Char('\n'));
}

} // namespace

void printDeveloperLines() {
    const QtMessageHandler previous = qInstallMessageHandler(routeMessage);
    if (previous != routeMessage)
        g_otherMessages = previous;
}

// The channel holds sinks by shared_ptr; the capturing sink is owned by its test, so the
// channel gets a forwarder that does not own it.
struct CapturingLogSink::Forwarder final : LogSink {
    explicit Forwarder(CapturingLogSink* target)
        : target(target) {}
    void write(const LogRecord& record) override { target->write(record); }
    CapturingLogSink* target;
};

CapturingLogSink::CapturingLogSink()
    : m_previous(LogChannel::instance().setSink(std::make_shared<Forwarder>(this))) {}

CapturingLogSink::~CapturingLogSink() {
    LogChannel::instance().setSink(m_previous);
}

void CapturingLogSink::write(const LogRecord& record) {
    std::lock_guard lock(m_mutex);
    m_records.push_back(record);
}

std::vector<LogRecord> CapturingLogSink::records() const {
    std::lock_guard lock(m_mutex);
    return m_records;
}

QStringList CapturingLogSink::messages(LogCategory category) const {
    QStringList out;
    for (const auto& record : records())
        if (record.category == category)
            out << record.message;
    return out;
}

QStringList CapturingLogSink::messages() const {
    QStringList out;
    for (const auto& record : records())
        out << record.message;
    return out;
}

int CapturingLogSink::count(const QString& message) const {
    return static_cast<int>(messages().count(message));
}

void CapturingLogSink::clear() {
    std::lock_guard lock(m_mutex);
    m_records.clear();
}

} // namespace sonavert
