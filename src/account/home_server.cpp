#include "src/account/home_server.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QCoro/QCoroNetworkReply>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

namespace sonavert {

namespace {

const QString kSystemd = QStringLiteral("org.freedesktop.systemd1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManager = QStringLiteral("org.freedesktop.systemd1.Manager");
constexpr int kProbeTimeoutMs = 2000;

QDBusMessage managerCall(const QString& method) {
    return QDBusMessage::createMethodCall(kSystemd, kManagerPath, kManager, method);
}

} // namespace

HomeServer::HomeServer(QDBusConnection userBus, QNetworkAccessManager& network,
                       std::shared_ptr<Clock> clock, Settings settings)
    : m_bus(std::move(userBus))
    , m_network(network)
    , m_clock(std::move(clock))
    , m_settings(std::move(settings)) {}

HomeServer::HomeServer(QDBusConnection userBus, QNetworkAccessManager& network,
                       std::shared_ptr<Clock> clock)
    : HomeServer(std::move(userBus), network, std::move(clock), Settings{}) {}

QCoro::Task<bool> HomeServer::answers() {
    QUrl health = m_settings.localUrl;
    health.setPath(QStringLiteral("/healthz"));
    QNetworkRequest request(health);
    request.setTransferTimeout(kProbeTimeoutMs);
    // A reply deletes itself with its network manager, which may go first.
    QPointer<QNetworkReply> reply = m_network.get(request);
    co_await reply.data();
    if (!reply)
        co_return false;
    reply->deleteLater();
    co_return reply->error() == QNetworkReply::NoError;
}

QCoro::Task<Status> HomeServer::startUnit() {
    if (!m_bus.isConnected())
        co_return makeError(HomeServerErrorCode::NoSessionBus,
                            QStringLiteral("This computer's server is not running, and there is "
                                           "no session bus to start it through."));
    // Enabled first, so that it comes back at every login: the home's other computers rely on
    // it.
    QDBusMessage enable = managerCall(QStringLiteral("EnableUnitFiles"));
    enable << QStringList{m_settings.unit} << false << true;
    const QDBusPendingCall enabling = m_bus.asyncCall(enable);
    QDBusMessage started = co_await enabling;
    if (started.type() != QDBusMessage::ErrorMessage) {
        QDBusMessage start = managerCall(QStringLiteral("StartUnit"));
        start << m_settings.unit << QStringLiteral("replace");
        const QDBusPendingCall starting = m_bus.asyncCall(start);
        started = co_await starting;
    }
    if (started.type() == QDBusMessage::ErrorMessage)
        co_return makeError(HomeServerErrorCode::CannotStart,
                            QStringLiteral("Cannot start this computer's server (%1): %2. Is the "
                                           "sonavert-cloud package installed?")
                                .arg(m_settings.unit, started.errorMessage()));
    co_return Status();
}

QCoro::Task<Result<QUrl>> HomeServer::ensureRunning() {
    if (co_await answers())
        co_return m_settings.localUrl;
    const Status started = co_await startUnit();
    if (!started)
        co_return started.error();
    const Duration until = m_clock->monotonicNow() + m_settings.startTimeout;
    while (m_clock->monotonicNow() < until) {
        co_await m_clock->sleep(m_settings.probeInterval);
        if (co_await answers())
            co_return m_settings.localUrl;
    }
    co_return makeError(HomeServerErrorCode::NoAnswer,
                        QStringLiteral("This computer's server was started but does not answer "
                                       "at %1; see journalctl --user -u %2.")
                            .arg(m_settings.localUrl.toString(), m_settings.unit));
}

} // namespace sonavert
