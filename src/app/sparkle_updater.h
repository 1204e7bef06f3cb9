#pragma once

#include "src/app/appcast.h"
#include "src/runtime/clock.h"
#include "src/runtime/task_handle.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QUrl>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace sonavert {

class SparkleDelegate;

/// How one update check ended. Only `UpdateAvailable`, and `UpToDate` for a check the user
/// asked for, are meant for the user; a failure is logged and never shown as an error.
struct UpdateCheckResult {
    enum class Kind { UpdateAvailable, UpToDate, Failed };
    Kind kind = Kind::UpToDate;
    bool isUserInitiated = false;
    std::optional<AppcastItem> update; ///< with UpdateAvailable
    QString failure;                   ///< with Failed: why, for the log
    /// Unless Failed: the channel to move to when the feed marks this build's download channel
    /// discontinued; none while it is current.
    std::optional<QString> successorChannel;
};

/// Checks the update feed (an RSS appcast) for a newer release: once in the background as
/// soon as it exists, on request, and then every check interval, with automatic checks
/// forced on by its delegate. Installing is the system package manager's job; the updater
/// only offers the release, its notes and its download link. One check runs at a time.
class SparkleUpdater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isChecking READ isChecking NOTIFY isCheckingChanged)
    Q_PROPERTY(bool automaticallyChecksForUpdates READ automaticallyChecksForUpdates WRITE
                   setAutomaticallyChecksForUpdates NOTIFY automaticallyChecksForUpdatesChanged)

public:
    struct Configuration {
        QUrl feedUrl = defaultFeedUrl();
        QString currentVersion;
        Duration checkInterval = std::chrono::hours(24);
        /// How this build reaches its users ("deb", "source"): what the feed may discontinue.
        QString downloadChannel = defaultDownloadChannel();
    };

    /// The channel this build was made for (packagers set it; "source" for a build from the
    /// tree).
    static QString defaultDownloadChannel();

    /// The application's feed: SONAVERT_UPDATE_FEED_URL when set (packagers, testers), else
    /// the one in app_identity.h.
    static QUrl defaultFeedUrl();

    /// Starts at once: asks the delegate about the permission question, then begins a
    /// background check.
    SparkleUpdater(Configuration configuration, std::shared_ptr<Clock> clock,
                   QObject* parent = nullptr);
    ~SparkleUpdater() override;

    /// The "Check for Updates" command. While a check runs, that check answers the user.
    void checkForUpdates();
    /// A check whose "nothing new" outcome the user is not told about.
    void checkForUpdatesInBackground();

    bool isChecking() const { return m_isChecking; }
    bool automaticallyChecksForUpdates() const { return m_automaticallyChecks; }
    void setAutomaticallyChecksForUpdates(bool value);
    /// The newest release found so far that is newer than this one.
    const std::optional<AppcastItem>& availableUpdate() const { return m_availableUpdate; }
    /// Where to move when the feed last read marks this build's channel discontinued; none
    /// while it is current (or no check has succeeded yet).
    const std::optional<QString>& successorChannel() const { return m_successorChannel; }
    const Configuration& configuration() const { return m_configuration; }

Q_SIGNALS:
    void isCheckingChanged();
    void automaticallyChecksForUpdatesChanged();
    /// A newer release, for the user to see with its notes and download link.
    void updateFound(const sonavert::AppcastItem& update);
    /// A check the user asked for found nothing newer.
    void upToDate();
    /// The delegate wanted the user asked for permission (the standard delegate never does).
    void permissionPromptRequested();
    /// The feed marked this build's channel discontinued, or current again.
    void successorChannelChanged();
    /// Every check ends here, failures included.
    void checkFinished(const sonavert::UpdateCheckResult& result);

private:
    void beginCheck(bool isUserInitiated);
    QCoro::Task<> runCheck();
    void finishCheck(UpdateCheckResult result);
    void scheduleNextCheck();

    Configuration m_configuration;
    std::shared_ptr<Clock> m_clock;
    std::unique_ptr<SparkleDelegate> m_delegate;
    std::shared_ptr<QNetworkAccessManager> m_network;
    bool m_automaticallyChecks = false;
    bool m_isChecking = false;
    bool m_isUserInitiated = false;
    std::optional<AppcastItem> m_availableUpdate;
    std::optional<QString> m_successorChannel;
    std::optional<Clock::TimerId> m_nextCheck;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
