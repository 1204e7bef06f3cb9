#include "standalone_services.h"

#include "runtime/log_channel.h"

namespace sonavert {

namespace {
class StandaloneDatabase final : public PrivateDatabase {};
} // namespace

StandaloneHandoffService::StandaloneHandoffService()
    : m_sessionID(makeUpperCaseUUID()) {}

QCoro::Task<Result<DatabaseRef>> StandaloneHandoffService::ensureAccountAvailable() {
    co_return DatabaseRef(std::make_shared<StandaloneDatabase>());
}

QCoro::Task<Status>
StandaloneHandoffService::withPresenceZoneRecovery(DatabaseRef, PresenceOperation operation) {
    co_return co_await operation();
}

QCoro::Task<Status> StandaloneHandoffService::publishPresence(QString, QString,
                                                              std::optional<PlaybackState>) {
    m_isOffline = false;
    co_return Status();
}

QCoro::Task<Result<DeviceList>> StandaloneHandoffService::fetchPresence(QString) {
    co_return DeviceList();
}

QCoro::Task<DeviceList> StandaloneHandoffService::peerDevices(QString) {
    co_return DeviceList();
}

QCoro::Task<> StandaloneHandoffService::noteNearbyPeer(QString, QString, QString, QString,
                                                       QString) {
    co_return;
}

QCoro::Task<> StandaloneHandoffService::seedObservedSessions(QMap<QString, QString>) {
    co_return;
}

QCoro::Task<Status> StandaloneHandoffService::markOffline(QString) {
    m_isOffline = true;
    co_return Status();
}

QCoro::Task<QSet<QString>> StandaloneHandoffService::fetchQueuedPushTargets() {
    co_return QSet<QString>();
}

QCoro::Task<Status> StandaloneHandoffService::removeLegacyPresenceSubscription() {
    co_return Status();
}

QCoro::Task<Status> StandaloneHandoffService::ensureHandoffSubscription(QString) {
    co_return Status();
}

QCoro::Task<Status> StandaloneHandoffService::ensurePullSubscription(QString) {
    co_return Status();
}

QCoro::Task<Status> StandaloneHandoffService::sendHandoff(PlaybackState, QString) {
    co_return Error{QStringLiteral("ServiceError"),
                    1,
                    QStringLiteral("This device is not connected to a cloud server."),
                    {},
                    {},
                    {}};
}

QCoro::Task<Result<std::optional<PlaybackState>>> StandaloneHandoffService::fetchHandoff(QString) {
    co_return std::optional<PlaybackState>();
}

QCoro::Task<Status> StandaloneHandoffService::sendPullRequest(QString, QString) {
    co_return Error{QStringLiteral("ServiceError"),
                    1,
                    QStringLiteral("This device is not connected to a cloud server."),
                    {},
                    {},
                    {}};
}

QCoro::Task<Result<std::optional<QString>>> StandaloneHandoffService::fetchPullRequest(QString) {
    co_return std::optional<QString>();
}

QCoro::Task<QString> StandaloneHandoffService::sessionID() {
    co_return QString(m_sessionID);
}

QCoro::Task<int> StandaloneHandoffService::pendingHandshakes() {
    co_return 0;
}

QCoro::Task<std::optional<PlaybackState>> SilentMusicService::currentPlaybackState() {
    co_return std::nullopt;
}

QCoro::Task<Status> SilentMusicService::resume(PlaybackState) {
    co_return Error{QStringLiteral("MusicAppError"),
                    0,
                    QStringLiteral("No music player is configured on this device."),
                    {},
                    {},
                    {}};
}

void SilentMusicService::runAppleScript(QString) {}

QCoro::Task<std::optional<QString>> ProfileOnlyIdentityStore::readIdentifier() {
    co_return std::nullopt;
}

QCoro::Task<bool> ProfileOnlyIdentityStore::writeIdentifier(QString) {
    co_return false;
}

} // namespace sonavert
