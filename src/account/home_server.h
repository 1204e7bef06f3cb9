#pragma once

#include "src/runtime/clock.h"
#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QUrl>
#include <memory>

class QNetworkAccessManager;

namespace sonavert {

inline const QString kHomeServerErrorDomain = QStringLiteral("HomeServer");

/// Why this computer's own server could not be had (domain "HomeServer").
enum class HomeServerErrorCode {
    NoSessionBus = 1, ///< nothing to start the server's user service through
    CannotStart = 2,  ///< systemd refused to start it
    NoAnswer = 3,     ///< started, and it never answered
};
inline QString errorDomain(HomeServerErrorCode) {
    return kHomeServerErrorDomain;
}

/// This computer's own sonavert-cloud for the whole home: the user service the server's package
/// installs (plain HTTP on loopback for this computer, HTTPS on the network for the others).
/// Setting up the first computer asks for it; when it does not answer already, it is enabled
/// (so it starts at every login) and started through the user's service manager.
class HomeServer {
public:
    struct Settings {
        QUrl localUrl = QUrl(QStringLiteral("http://127.0.0.1:8470"));
        QString unit = QStringLiteral("sonavert-cloud-home.service");
        /// How long a started server has to answer.
        Duration startTimeout = std::chrono::seconds(20);
        Duration probeInterval = std::chrono::milliseconds(250);
    };

    /// `userBus`: where the user's systemd manager is (the session bus under systemd).
    HomeServer(QDBusConnection userBus, QNetworkAccessManager& network,
               std::shared_ptr<Clock> clock, Settings settings);
    HomeServer(QDBusConnection userBus, QNetworkAccessManager& network,
               std::shared_ptr<Clock> clock);

    /// Its address for this computer once it answers, starting it first when it does not;
    /// else why not, in the user's words.
    QCoro::Task<Result<QUrl>> ensureRunning();

private:
    QCoro::Task<bool> answers();
    QCoro::Task<Status> startUnit();

    QDBusConnection m_bus;
    QNetworkAccessManager& m_network;
    std::shared_ptr<Clock> m_clock;
    Settings m_settings;
};

} // namespace sonavert
