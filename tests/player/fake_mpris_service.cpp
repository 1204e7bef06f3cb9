#include "tests/player/fake_mpris_service.h"

#include <QDBusMessage>

namespace sonavert::test {

namespace {
const QString kPath = QStringLiteral("/org/mpris/MediaPlayer2");
} // namespace

FakeMprisService::FakeMprisService(std::shared_ptr<Clock> clock, Quirks quirks, QObject* parent)
    : QObject(parent)
    , m_clock(std::move(clock))
    , m_quirks(quirks) {
    new FakeMprisRootAdaptor(this);
    new FakeMprisPlayerAdaptor(this);
    if (m_quirks.hasTrackList)
        new FakeMprisTrackListAdaptor(this);
}

FakeMprisService::~FakeMprisService() {
    if (m_serviceName.isEmpty())
        return;
    m_bus.unregisterService(m_serviceName);
    m_bus.unregisterObject(kPath);
}

bool FakeMprisService::registerOn(QDBusConnection bus, const QString& serviceName) {
    m_bus = bus;
    m_serviceName = serviceName;
    return m_bus.registerObject(kPath, this) && m_bus.registerService(serviceName);
}

qint64 FakeMprisService::truePositionUs() const {
    if (!m_loaded)
        return 0;
    if (!m_isPlaying)
        return m_anchorUs;
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        m_clock->monotonicNow() - m_anchorTime);
    return std::min(m_anchorUs + elapsed.count(), m_loaded->lengthUs);
}

void FakeMprisService::moveTo(qint64 positionUs) {
    // A lagging player keeps answering with the old position for a while.
    m_laggedUs = truePositionUs();
    m_lagUntil = m_clock->monotonicNow() + m_quirks.positionLag;
    m_anchorUs = std::clamp<qint64>(positionUs, 0, m_loaded ? m_loaded->lengthUs : 0);
    m_anchorTime = m_clock->monotonicNow();
}

qint64 FakeMprisService::reportedPositionUs() const {
    if (m_clock->monotonicNow() < m_lagUntil)
        return m_laggedUs;
    return truePositionUs();
}

QString FakeMprisService::reportedStatus() const {
    if (m_isIdleMpv)
        return QStringLiteral("Playing");
    if (!m_loaded || m_statusFrozenStopped)
        return QStringLiteral("Stopped");
    return m_isPlaying ? QStringLiteral("Playing") : QStringLiteral("Paused");
}

QVariantMap FakeMprisService::metadata() const {
    QVariantMap map;
    map.insert(QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(m_trackId)));
    if (!m_loaded)
        return map;
    map.insert(QStringLiteral("xesam:url"), m_loaded->url);
    map.insert(QStringLiteral("xesam:title"), m_loaded->title);
    map.insert(QStringLiteral("xesam:artist"), m_loaded->artists);
    map.insert(QStringLiteral("xesam:album"), m_loaded->album);
    map.insert(QStringLiteral("mpris:length"), m_loaded->lengthUs);
    return map;
}

// A real QDBusAbstractAdaptor does not announce property changes; players must, so we do.
void FakeMprisService::announce() {
    if (!m_bus.isConnected())
        return;
    QDBusMessage signal =
        QDBusMessage::createSignal(kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    QVariantMap changed;
    changed.insert(QStringLiteral("PlaybackStatus"), reportedStatus());
    changed.insert(QStringLiteral("Metadata"), metadata());
    signal << QStringLiteral("org.mpris.MediaPlayer2.Player") << changed << QStringList();
    m_bus.send(signal);
}

void FakeMprisService::load(const QString& url, bool playing, qint64 positionUs) {
    m_loaded = m_media.value(url);
    m_isIdleMpv = false;
    m_trackId = QStringLiteral("/org/mpris/MediaPlayer2/Track/%1").arg(m_nextTrack++);
    m_isPlaying = playing;
    m_anchorUs = positionUs;
    m_anchorTime = m_clock->monotonicNow();
    m_lagUntil = Duration{0};
    announce();
}

void FakeMprisService::becomeIdleLikeMpv() {
    m_loaded.reset();
    m_isIdleMpv = true;
    m_trackId = QStringLiteral("/noplaylist");
    announce();
}

void FakeMprisService::stall() {
    m_anchorUs = truePositionUs();
    m_isPlaying = false;
}

void FakeMprisService::play() {
    record(QStringLiteral("Play"));
    // Play on a player that already plays changes nothing, not even a status stuck at
    // "Stopped" (mpv right after OpenUri).
    if (m_loaded && !m_isPlaying) {
        m_anchorTime = m_clock->monotonicNow();
        m_isPlaying = true;
        m_statusFrozenStopped = false;
    }
    announce();
}

void FakeMprisService::pause() {
    record(QStringLiteral("Pause"));
    if (m_loaded && m_isPlaying) {
        m_anchorUs = truePositionUs();
        m_isPlaying = false;
    }
    m_statusFrozenStopped = false;
    announce();
}

void FakeMprisService::stop() {
    record(QStringLiteral("Stop"));
    m_loaded.reset();
    m_isPlaying = false;
    m_statusFrozenStopped = false;
    m_trackId = QStringLiteral("/noplaylist");
    announce();
}

void FakeMprisService::seek(qint64 offsetUs) {
    record(QStringLiteral("Seek(%1)").arg(offsetUs));
    if (m_loaded && !m_quirks.ignoresSeek)
        moveTo(truePositionUs() + offsetUs);
}

QString FakeMprisService::setPosition(const QDBusObjectPath& trackId, qint64 positionUs) {
    record(QStringLiteral("SetPosition(%1,%2)").arg(trackId.path()).arg(positionUs));
    switch (m_quirks.setPosition) {
    case SetPositionRule::RejectAll:
        return QStringLiteral("org.freedesktop.DBus.Error.NotSupported");
    case SetPositionRule::IgnoreAll:
        return {};
    case SetPositionRule::Honour:
        // As the MPRIS rules say: a call for another track than the current one is ignored.
        if (m_loaded && trackId.path() == m_trackId)
            moveTo(positionUs);
        return {};
    }
    return {};
}

QString FakeMprisService::openUri(const QString& uri) {
    record(QStringLiteral("OpenUri(%1)").arg(uri));
    if (!m_quirks.hasOpenUri)
        return QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
    if (!m_media.contains(uri))
        return QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
    const bool wasPaused = m_quirks.staysPausedAfterOpenUri && !m_isPlaying && !m_isIdleMpv;
    load(uri, !wasPaused);
    m_statusFrozenStopped = m_quirks.reportsStoppedAfterOpenUri;
    return {};
}

void FakeMprisService::addTrack(const QString& uri, bool setAsCurrent) {
    record(QStringLiteral("AddTrack(%1)").arg(uri));
    if (setAsCurrent && m_media.contains(uri))
        load(uri, false);
}

FakeMprisRootAdaptor::FakeMprisRootAdaptor(FakeMprisService* service)
    : QDBusAbstractAdaptor(service)
    , m_service(service) {}

FakeMprisPlayerAdaptor::FakeMprisPlayerAdaptor(FakeMprisService* service)
    : QDBusAbstractAdaptor(service)
    , m_service(service) {}

void FakeMprisPlayerAdaptor::replyWith(const QString& errorName) {
    if (!errorName.isEmpty() && m_service->calledFromDBus())
        m_service->sendErrorReply(errorName, QStringLiteral("refused by the fake player"));
}

void FakeMprisPlayerAdaptor::SetPosition(const QDBusObjectPath& trackId, qlonglong position) {
    replyWith(m_service->setPosition(trackId, position));
}

void FakeMprisPlayerAdaptor::OpenUri(const QString& uri) {
    replyWith(m_service->openUri(uri));
}

FakeMprisTrackListAdaptor::FakeMprisTrackListAdaptor(FakeMprisService* service)
    : QDBusAbstractAdaptor(service)
    , m_service(service) {}

void FakeMprisTrackListAdaptor::AddTrack(const QString& uri, const QDBusObjectPath&,
                                         bool setAsCurrent) {
    m_service->addTrack(uri, setAsCurrent);
}

} // namespace sonavert::test
