#pragma once

#include "src/runtime/clock.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QVariantMap>
#include <memory>

namespace sonavert::test {

/// A file the fake player can open.
struct FakeMedia {
    QString url; ///< as the player reports it back
    QString title;
    QStringList artists;
    QString album;
    qint64 lengthUs = 0;
};

/// An MPRIS player on a private bus whose quirks a test chooses: how it treats SetPosition,
/// whether it has OpenUri or a track list, whether it reports "Stopped" while playing a file it
/// was handed (as mpv does), for how long its position lags behind a seek, whether it reads and
/// seeks in whole seconds only, and how long a track it opens takes to start. Time comes from
/// the test's clock. It records the calls it receives. (It carries the QDBusContext, not its
/// adaptors: Qt sets the call context on the object the adaptors are attached to.)
class FakeMprisService : public QObject, public QDBusContext {
    Q_OBJECT
public:
    enum class SetPositionRule { Honour, RejectAll, IgnoreAll };
    struct Quirks {
        SetPositionRule setPosition = SetPositionRule::Honour;
        bool ignoresSeek = false;
        bool hasOpenUri = true;
        bool hasTrackList = false;
        bool reportsStoppedAfterOpenUri = false;
        bool staysPausedAfterOpenUri = false; ///< mpv: pause is kept when a new file loads
        Duration positionLag{0};
        bool readsWholeSeconds = false;   ///< Rhythmbox: positions rounded down to the second
        bool landsOnWholeSeconds = false; ///< Rhythmbox, Strawberry: seeks likewise
        /// Strawberry: a track opened with OpenUri starts playing this late, and a Pause sent
        /// until then is lost.
        Duration startup{0};
    };

    FakeMprisService(std::shared_ptr<Clock> clock, Quirks quirks, QObject* parent = nullptr);
    /// Gives up the bus name, so the next test can take it.
    ~FakeMprisService() override;
    bool registerOn(QDBusConnection bus, const QString& serviceName);

    void addMedia(const FakeMedia& media) { m_media.insert(media.url, media); }
    /// Loads `url` as if the user did, playing or paused, at `positionUs`.
    void load(const QString& url, bool playing, qint64 positionUs = 0);
    /// The idle state of an mpv with nothing loaded: "Playing", track id "/noplaylist" only.
    void becomeIdleLikeMpv();
    /// The position stops moving while the reported status stays as it is (a stream that
    /// stalls while buffering).
    void stall();

    const QStringList& calls() const { return m_calls; }
    double truePosition() const { return static_cast<double>(truePositionUs()) / 1e6; }
    QString trackId() const { return m_trackId; }
    bool isPlaying() const { return m_isPlaying; }
    QString loadedUrl() const { return m_loaded ? m_loaded->url : QString(); }

    // What the adaptors serve.
    QString reportedStatus() const;
    QVariantMap metadata() const;
    qint64 reportedPositionUs() const;
    bool hasTrackList() const { return m_quirks.hasTrackList; }
    void play();
    void pause();
    void stop();
    void seek(qint64 offsetUs);
    /// Returns an error name to reply with, or an empty text.
    QString setPosition(const QDBusObjectPath& trackId, qint64 positionUs);
    QString openUri(const QString& uri);
    void addTrack(const QString& uri, bool setAsCurrent);
    /// A player's own "replace the playlist with these and play" (Audacious's OpenList).
    void openList(const QStringList& uris);

private:
    qint64 truePositionUs() const;
    void moveTo(qint64 positionUs);
    void record(const QString& call) { m_calls.append(call); }
    void announce();

    std::shared_ptr<Clock> m_clock;
    Quirks m_quirks;
    QDBusConnection m_bus{QString()};
    QString m_serviceName;
    QMap<QString, FakeMedia> m_media;
    std::optional<FakeMedia> m_loaded;
    QString m_trackId = "/noplaylist";
    int m_nextTrack = 1;
    bool m_isPlaying = false;
    bool m_isIdleMpv = false;
    bool m_statusFrozenStopped = false;
    qint64 m_anchorUs = 0;
    Duration m_anchorTime{0};
    qint64 m_laggedUs = 0;
    Duration m_lagUntil{0};
    Duration m_startingUntil{0};
    QStringList m_calls;
};

class FakeMprisRootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(bool HasTrackList READ hasTrackList)
    Q_PROPERTY(bool CanQuit READ canQuit)
    Q_PROPERTY(bool CanRaise READ canRaise)
public:
    explicit FakeMprisRootAdaptor(FakeMprisService* service)
        : QDBusAbstractAdaptor(service)
        , m_service(service) {}
    QString identity() const { return "Fake"; }
    bool hasTrackList() const { return m_service->hasTrackList(); }
    bool canQuit() const { return false; }
    bool canRaise() const { return false; }
public Q_SLOTS:
    void Raise() {}

private:
    FakeMprisService* m_service;
};

class FakeMprisPlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(bool CanSeek READ canSeek)
    Q_PROPERTY(bool CanControl READ canControl)
public:
    explicit FakeMprisPlayerAdaptor(FakeMprisService* service)
        : QDBusAbstractAdaptor(service)
        , m_service(service) {}
    QString playbackStatus() const { return m_service->reportedStatus(); }
    QVariantMap metadata() const { return m_service->metadata(); }
    qlonglong position() const { return m_service->reportedPositionUs(); }
    bool canSeek() const { return true; }
    bool canControl() const { return true; }
public Q_SLOTS:
    void Play() { m_service->play(); }
    void Pause() { m_service->pause(); }
    void Stop() { m_service->stop(); }
    void Seek(qlonglong offset) { m_service->seek(offset); }
    void SetPosition(const QDBusObjectPath& trackId, qlonglong position) {
        replyWith(m_service->setPosition(trackId, position));
    }
    void OpenUri(const QString& uri) { replyWith(m_service->openUri(uri)); }

private:
    void replyWith(const QString& errorName) {
        if (!errorName.isEmpty() && m_service->calledFromDBus())
            m_service->sendErrorReply(errorName, QStringLiteral("refused by the fake player"));
    }
    FakeMprisService* m_service;
};

class FakeMprisTrackListAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.TrackList")
public:
    explicit FakeMprisTrackListAdaptor(FakeMprisService* service)
        : QDBusAbstractAdaptor(service)
        , m_service(service) {}
public Q_SLOTS:
    void AddTrack(const QString& uri, const QDBusObjectPath&, bool setAsCurrent) {
        m_service->addTrack(uri, setAsCurrent);
    }

private:
    FakeMprisService* m_service;
};

/// A player's own D-Bus interface for opening, as Audacious offers it beside MPRIS, serving
/// `player` under the name and path Audacious uses.
class FakeOwnOpenInterface : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.atheme.audacious")
public:
    explicit FakeOwnOpenInterface(FakeMprisService* player)
        : m_player(player) {}
    ~FakeOwnOpenInterface() override;
    bool registerOn(QDBusConnection bus);
public Q_SLOTS:
    void OpenList(const QStringList& uris) { m_player->openList(uris); }

private:
    FakeMprisService* m_player;
    QDBusConnection m_bus{QString()};
};

} // namespace sonavert::test
