#include "src/desktop/journald_log_sink.h"

#include "src/runtime/app_identity.h"

#include <unistd.h>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace sonavert {

namespace {

class JournaldSink final : public LogSink {
public:
    void write(const LogRecord& record) override {
        const QByteArray message = record.message.toUtf8();
        const QByteArray category = categoryName(record.category).toUtf8();
        sd_journal_send("MESSAGE=%s", message.constData(), "PRIORITY=%d",
                        syslogPriority(record.level), "SYSLOG_IDENTIFIER=sonavert",
                        "SONAVERT_SUBSYSTEM=%s", app_identity::kBundleIdentifier,
                        "SONAVERT_CATEGORY=%s", category.constData(), nullptr);
    }
};

bool journalIsReachable() {
    return ::access("/run/systemd/journal/socket", W_OK) == 0;
}

} // namespace

std::shared_ptr<LogSink> makeDesktopLogSink() {
    const QByteArray target = qgetenv("SONAVERT_LOG_TARGET");
    if (target == "journal")
        return std::make_shared<JournaldSink>();
    if (target == "stderr")
        return makeStderrLogSink();
    if (journalIsReachable() && !::isatty(STDERR_FILENO))
        return std::make_shared<JournaldSink>();
    return makeStderrLogSink();
}

} // namespace sonavert
