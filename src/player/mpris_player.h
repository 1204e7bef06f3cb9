#pragma once

#include "src/player/player_backend.h"
#include "src/runtime/clock.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <memory>

namespace sonavert {

class UserDefaults;
struct PlayerQuirks;

namespace detail {
struct MprisReading;
}

/// The settings key of the user's "open this file" commands: a dictionary from a player's MPRIS
/// name ("audacious", "vlc") to its command line, `%u` standing for the location and `%f` for a
/// local file's path. It replaces the command the backend knows for that player.
inline constexpr char kOpenCommandsKey[] = "Sonavert.player.openCommands";

/// Which MPRIS player to drive, and how to start one.
struct MprisOptions {
    /// "mpv", "org.mpris.MediaPlayer2.mpv", or empty to choose automatically. A short name
    /// also matches that player's instance names ("vlc" matches "...vlc.instance4242").
    QString playerName{};
    /// Started by `activate` when no matching player runs; empty: `activate` cannot start one.
    QString launchProgram{};
    QStringList launchArguments{};
    /// How long `activate` waits for a started player to appear on the bus.
    Duration launchTimeout = std::chrono::seconds(10);
    /// Where the user's open commands are read, at each open (see kOpenCommandsKey); may be
    /// null.
    std::shared_ptr<const UserDefaults> settings{};
    /// The session bus address given to the programs this starts; empty: they inherit ours.
    QString busAddress{};
};

/// Any MPRIS player on a D-Bus connection, driven with asynchronous calls only (Properties
/// Get/GetAll and method calls; no introspection). It smooths over what real players do:
/// SetPosition ignored or rejected (falls back to Seek), no OpenUri (falls back to the track
/// list, then the player's own interface, then its command line: see PlayerQuirks), a status that
/// says "Stopped" while the position advances (mpv after OpenUri), positions that lag for a
/// while after a seek, and positions read or sought in whole seconds only. The object must
/// outlive the calls it runs.
class MprisPlayer final : public PlayerBackend {
    Q_OBJECT
public:
    MprisPlayer(QDBusConnection bus, std::shared_ptr<Clock> clock,
                std::shared_ptr<const TrackLibrary> library, MprisOptions options,
                QObject* parent = nullptr);
    ~MprisPlayer() override;

    QCoro::Task<bool> isRunning() override;
    QCoro::Task<Status> activate() override;
    QCoro::Task<Result<NowPlaying>> nowPlaying() override;
    QCoro::Task<Status> setPlayerPosition(double seconds) override;
    QCoro::Task<Status> play() override;
    QCoro::Task<Status> playTrack(LibraryTrack track) override;
    QCoro::Task<Status> pause() override;
    QCoro::Task<Status> stop() override;
    QCoro::Task<Status> openLocation(QString url) override;
    QCoro::Task<QList<LibraryTrack>> libraryTracks(TrackFilter filter) override;

    /// The bus name last talked to; empty before the first call.
    QString currentService() const { return m_service; }
    /// D-Bus calls sent and not yet answered (lets a test tell "waiting on the bus" from
    /// "waiting on the clock").
    int callsInFlight() const { return m_callsInFlight; }
    /// Process id of the player `activate` started, 0 when it started none.
    qint64 launchedProcessId() const { return m_launchedPid; }

private:
    struct PositionSample {
        QString service;
        QString url;
        qint64 positionUs = 0;
        Duration at{0};
    };

    QCoro::Task<QDBusMessage> call(QDBusMessage message);
    QCoro::Task<Result<QString>> resolveService();
    QCoro::Task<Result<detail::MprisReading>> readPlayer(QString service);
    QCoro::Task<Result<qint64>> readPositionUs(QString service);
    struct Motion {
        PlayerState state;
        qint64 positionUs;
    };
    QCoro::Task<Motion> effectiveState(QString service, detail::MprisReading reading);
    Motion judgeMotion(const PositionSample& earlier, const PositionSample& later);
    QCoro::Task<bool> awaitPosition(QString service, double target);
    QCoro::Task<Status> simpleCommand(QString method);
    QCoro::Task<Status> openUri(QString uri);
    struct OpenAttempt;
    using OpenRoute = QCoro::Task<OpenAttempt> (MprisPlayer::*)(QString service, QString uri);
    QCoro::Task<OpenAttempt> openWithOpenUri(QString service, QString uri);
    QCoro::Task<OpenAttempt> openWithTrackList(QString service, QString uri);
    QCoro::Task<OpenAttempt> openWithOwnInterface(QString service, QString uri);
    QCoro::Task<OpenAttempt> openWithCommand(QString service, QString uri);
    QCoro::Task<bool> awaitLocation(QString service, QString uri, Duration patience);
    QCoro::Task<void> awaitStartup(QString service, Duration played, Duration patience);
    QString openCommandFor(const QString& service) const;
    qint64 startProgram(const QString& program, const QStringList& arguments) const;
    QCoro::Task<Status> seekRelative(QString service, double target);
    bool matchesWanted(const QString& name) const;
    LibraryTrack describe(const detail::MprisReading& reading) const;

    QDBusConnection m_bus;
    std::shared_ptr<Clock> m_clock;
    std::shared_ptr<const TrackLibrary> m_library;
    MprisOptions m_options;
    QString m_service;
    int m_callsInFlight = 0;
    qint64 m_launchedPid = 0;
    std::optional<PositionSample> m_lastSample; ///< anchor for telling a moving position
    std::optional<Motion> m_lastMotion;         ///< the verdict reached at m_lastSample
};

} // namespace sonavert
