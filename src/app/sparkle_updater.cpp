#include "src/app/sparkle_updater.h"

#include "src/app/sparkle_delegate.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/log_channel.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

namespace sonavert {

namespace {

// A feed that does not answer within this long is treated as unreachable.
constexpr int kTransferTimeoutMs = 30000;

QNetworkRequest feedRequest(const QUrl& url, const QString& version) {
    QNetworkRequest request(url);
    request.setTransferTimeout(kTransferTimeoutMs);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Sonavert/") + version);
    return request;
}

UpdateCheckResult failed(const QString& why) {
    UpdateCheckResult result;
    result.kind = UpdateCheckResult::Kind::Failed;
    result.failure = why;
    return result;
}

UpdateCheckResult compared(const std::optional<AppcastItem>& newest, const QString& current) {
    UpdateCheckResult result;
    if (newest && compareVersions(newest->version, current) > 0) {
        result.kind = UpdateCheckResult::Kind::UpdateAvailable;
        result.update = newest;
    }
    return result;
}

// The network manager is shared with the check so that an updater destroyed mid-check
// leaves the request to finish by itself instead of stranding this frame.
QCoro::Task<UpdateCheckResult> fetchAndCompare(std::shared_ptr<QNetworkAccessManager> network,
                                               QUrl feedUrl, QString current) {
    QNetworkReply* reply = network->get(feedRequest(feedUrl, current));
    co_await reply;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError)
        co_return failed(reply->errorString());
    auto newest = parseAppcast(reply->readAll());
    if (!newest)
        co_return failed(QStringLiteral("malformed feed: ") + newest.error().description);
    co_return compared(newest.value(), current);
}

} // namespace

QUrl SparkleUpdater::defaultFeedUrl() {
    const QString configured = qEnvironmentVariable("SONAVERT_UPDATE_FEED_URL");
    return QUrl(configured.isEmpty() ? QString::fromLatin1(app_identity::kUpdateFeedUrl)
                                     : configured);
}

SparkleUpdater::SparkleUpdater(Configuration configuration, std::shared_ptr<Clock> clock,
                               QObject* parent)
    : QObject(parent)
    , m_configuration(std::move(configuration))
    , m_clock(std::move(clock))
    , m_delegate(std::make_unique<SparkleDelegate>())
    , m_network(new QNetworkAccessManager, [](QNetworkAccessManager* network) {
        // The last owner may be a check resuming inside one of the manager's own signals.
        network->deleteLater();
    }) {
    if (m_delegate->updaterShouldPromptForPermissionToCheckForUpdates(*this))
        Q_EMIT permissionPromptRequested();
    checkForUpdatesInBackground();
}

SparkleUpdater::~SparkleUpdater() {
    if (m_nextCheck)
        m_clock->cancelScheduled(*m_nextCheck);
}

void SparkleUpdater::setAutomaticallyChecksForUpdates(bool value) {
    if (m_automaticallyChecks == value)
        return;
    m_automaticallyChecks = value;
    Q_EMIT automaticallyChecksForUpdatesChanged();
}

void SparkleUpdater::checkForUpdates() {
    beginCheck(true);
}

void SparkleUpdater::checkForUpdatesInBackground() {
    beginCheck(false);
}

void SparkleUpdater::beginCheck(bool isUserInitiated) {
    if (m_isChecking) {
        // One check at a time: the running one answers, and tells the user if they asked.
        m_isUserInitiated = m_isUserInitiated || isUserInitiated;
        return;
    }
    if (m_nextCheck)
        m_clock->cancelScheduled(*m_nextCheck);
    m_nextCheck.reset();
    m_isUserInitiated = isUserInitiated;
    m_isChecking = true;
    Q_EMIT isCheckingChanged();
    runCheck();
}

QCoro::Task<> SparkleUpdater::runCheck() {
    QPointer guard(this);
    UpdateCheckResult result = co_await fetchAndCompare(m_network, m_configuration.feedUrl,
                                                        m_configuration.currentVersion);
    if (guard)
        finishCheck(std::move(result));
}

void SparkleUpdater::finishCheck(UpdateCheckResult result) {
    result.isUserInitiated = m_isUserInitiated;
    m_isChecking = false;
    m_isUserInitiated = false;
    switch (result.kind) {
    case UpdateCheckResult::Kind::UpdateAvailable:
        m_availableUpdate = result.update;
        developerLog(QStringLiteral("update check: %1 is available").arg(result.update->version));
        Q_EMIT updateFound(*result.update);
        break;
    case UpdateCheckResult::Kind::UpToDate:
        developerLog(
            QStringLiteral("update check: %1 is up to date").arg(m_configuration.currentVersion));
        if (result.isUserInitiated)
            Q_EMIT upToDate();
        break;
    case UpdateCheckResult::Kind::Failed:
        // Nobody can act on an unreachable or broken feed; the next check will tell.
        developerLog(QStringLiteral("update check failed (%1): %2")
                         .arg(m_configuration.feedUrl.toString(), result.failure));
        break;
    }
    scheduleNextCheck();
    Q_EMIT isCheckingChanged();
    Q_EMIT checkFinished(result);
}

void SparkleUpdater::scheduleNextCheck() {
    if (!m_automaticallyChecks)
        return;
    m_nextCheck = m_clock->schedule(m_configuration.checkInterval, [guard = QPointer(this)] {
        if (!guard)
            return;
        guard->m_nextCheck.reset();
        guard->checkForUpdatesInBackground();
    });
}

} // namespace sonavert
