#include "src/app/sparkle_updater.h"

#include "src/app/sparkle_delegate.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/log_channel.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>

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

UpdateCheckResult compared(const Appcast& feed, const QString& current, const QString& channel) {
    UpdateCheckResult result;
    if (feed.newest && compareVersions(feed.newest->version, current) > 0) {
        result.kind = UpdateCheckResult::Kind::UpdateAvailable;
        result.update = feed.newest;
    }
    if (const auto successor = feed.successorOfDiscontinued.constFind(channel);
        successor != feed.successorOfDiscontinued.cend())
        result.successorChannel = *successor;
    return result;
}

// The network manager is shared with the check so that an updater destroyed mid-check
// leaves the request to finish by itself instead of stranding this frame.
QCoro::Task<UpdateCheckResult> fetchAndCompare(std::shared_ptr<QNetworkAccessManager> network,
                                               QUrl feedUrl, QString current, QString channel) {
    QNetworkReply* reply = network->get(feedRequest(feedUrl, current));
    co_await reply;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError)
        co_return failed(reply->errorString());
    const Result<Appcast> feed = parseAppcast(reply->readAll());
    if (!feed)
        co_return failed(QStringLiteral("malformed feed: ") + feed.error().description);
    co_return compared(feed.value(), current, channel);
}

} // namespace

QUrl SparkleUpdater::defaultFeedUrl() {
    const QString configured = qEnvironmentVariable("SONAVERT_UPDATE_FEED_URL");
    return QUrl(configured.isEmpty() ? QString::fromLatin1(app_identity::kUpdateFeedUrl)
                                     : configured);
}

QString SparkleUpdater::defaultDownloadChannel() {
    return QStringLiteral(SONAVERT_DOWNLOAD_CHANNEL);
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
    const std::stop_token stop = m_tasks.token();
    UpdateCheckResult result =
        co_await fetchAndCompare(m_network, m_configuration.feedUrl, m_configuration.currentVersion,
                                 m_configuration.downloadChannel);
    if (!stop.stop_requested())
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
    // A feed that could not be read says nothing about the channel: what was known stays.
    const bool channelChanged = result.kind != UpdateCheckResult::Kind::Failed &&
                                result.successorChannel != m_successorChannel;
    if (channelChanged) {
        m_successorChannel = result.successorChannel;
        developerLog(
            m_successorChannel
                ? QStringLiteral("update check: the %1 channel is discontinued; move to %2")
                      .arg(m_configuration.downloadChannel, *m_successorChannel)
                : QStringLiteral("update check: the %1 channel is current")
                      .arg(m_configuration.downloadChannel));
    }
    scheduleNextCheck();
    if (channelChanged)
        Q_EMIT successorChannelChanged();
    Q_EMIT isCheckingChanged();
    Q_EMIT checkFinished(result);
}

void SparkleUpdater::scheduleNextCheck() {
    if (!m_automaticallyChecks)
        return;
    // The destructor cancels the call: it never outlives the updater.
    m_nextCheck = m_clock->schedule(m_configuration.checkInterval, [this] {
        m_nextCheck.reset();
        checkForUpdatesInBackground();
    });
}

} // namespace sonavert
