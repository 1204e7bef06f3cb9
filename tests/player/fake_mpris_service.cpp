#include "tests/player/fake_mpris_service.h"

#include <QDBusMessage>

using namespace Qt::StringLiterals;

namespace sonavert::test {

namespace {
const QString kPath = u"/org/mpris/MediaPlayer2"_s;

qint64 wholeSecondsOf(qint64 positionUs) {
    return positionUs - positionUs % 1'000'000;
}
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
    // A track still starting stays at its anchor until it starts.
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::max(m_clock->monotonicNow() - m_anchorTime, Duration::zero()));
    return std::min(m_anchorUs + elapsed.count(), m_loaded->lengthUs);
}

void FakeMprisService::moveTo(qint64 positionUs) {
    // A lagging player keeps answering with the old position for a while.
    m_laggedUs = truePositionUs();
    m_lagUntil = m_clock->monotonicNow() + m_quirks.positionLag;
    const qint64 landing = m_quirks.landsOnWholeSeconds ? wholeSecondsOf(positionUs) : positionUs;
    m_anchorUs = std::clamp<qint64>(landing, 0, m_loaded ? m_loaded->lengthUs : 0);
    m_anchorTime = m_clock->monotonicNow();
}

qint64 FakeMprisService::reportedPositionUs() const {
    const qint64 positionUs = m_clock->monotonicNow() < m_lagUntil ? m_laggedUs : truePositionUs();
    return m_quirks.readsWholeSeconds ? wholeSecondsOf(positionUs) : positionUs;
}

QString FakeMprisService::reportedStatus() const {
    if (m_isIdleMpv)
        return u"Playing"_s;
    if (!m_loaded || m_statusFrozenStopped)
        return u"Stopped"_s;
    return m_isPlaying ? u"Playing"_s : u"Paused"_s;
}

QVariantMap FakeMprisService::metadata() const {
    QVariantMap map;
    map.insert(u"mpris:trackid"_s, QVariant::fromValue(QDBusObjectPath(m_trackId)));
    if (!m_loaded)
        return map;
    map.insert(u"xesam:url"_s, m_loaded->url);
    map.insert(u"xesam:title"_s, m_loaded->title);
    map.insert(u"xesam:artist"_s, m_loaded->artists);
    map.insert(u"xesam:album"_s, m_loaded->album);
    map.insert(u"mpris:length"_s, m_loaded->lengthUs);
    return map;
}

// A real QDBusAbstractAdaptor does not announce property changes; players must, so we do.
void FakeMprisService::announce() {
    if (!m_bus.isConnected())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(kPath, u"org.freedesktop.DBus.Properties"_s,
                                                     u"PropertiesChanged"_s);
    QVariantMap changed;
    changed.insert(u"PlaybackStatus"_s, reportedStatus());
    changed.insert(u"Metadata"_s, metadata());
    signal << u"org.mpris.MediaPlayer2.Player"_s << changed << QStringList();
    m_bus.send(signal);
}

void FakeMprisService::load(const QString& url, bool playing, qint64 positionUs) {
    m_loaded = m_media.value(url);
    m_isIdleMpv = false;
    m_trackId = u"/org/mpris/MediaPlayer2/Track/%1"_s.arg(m_nextTrack++);
    m_isPlaying = playing;
    m_anchorUs = positionUs;
    m_anchorTime = m_clock->monotonicNow();
    m_lagUntil = Duration{0};
    announce();
}

void FakeMprisService::becomeIdleLikeMpv() {
    m_loaded.reset();
    m_isIdleMpv = true;
    m_trackId = u"/noplaylist"_s;
    announce();
}

void FakeMprisService::stall() {
    m_anchorUs = truePositionUs();
    m_isPlaying = false;
}

void FakeMprisService::play() {
    record(u"Play"_s);
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
    record(u"Pause"_s);
    if (m_clock->monotonicNow() < m_startingUntil)
        return; // undone when the track starts
    if (m_loaded && m_isPlaying) {
        m_anchorUs = truePositionUs();
        m_isPlaying = false;
    }
    m_statusFrozenStopped = false;
    announce();
}

void FakeMprisService::stop() {
    record(u"Stop"_s);
    m_loaded.reset();
    m_isPlaying = false;
    m_statusFrozenStopped = false;
    m_trackId = u"/noplaylist"_s;
    announce();
}

void FakeMprisService::seek(qint64 offsetUs) {
    record(u"Seek(%1)"_s.arg(offsetUs));
    if (m_loaded && !m_quirks.ignoresSeek)
        moveTo(truePositionUs() + offsetUs);
}

QString FakeMprisService::setPosition(const QDBusObjectPath& trackId, qint64 positionUs) {
    record(u"SetPosition(%1,%2)"_s.arg(trackId.path()).arg(positionUs));
    switch (m_quirks.setPosition) {
    case SetPositionRule::RejectAll:
        return u"org.freedesktop.DBus.Error.NotSupported"_s;
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
    record(u"OpenUri(%1)"_s.arg(uri));
    if (!m_quirks.hasOpenUri)
        return u"org.freedesktop.DBus.Error.UnknownMethod"_s;
    if (!m_media.contains(uri))
        return u"org.freedesktop.DBus.Error.InvalidArgs"_s;
    const bool wasPaused = m_quirks.staysPausedAfterOpenUri && !m_isPlaying && !m_isIdleMpv;
    load(uri, !wasPaused);
    m_statusFrozenStopped = m_quirks.reportsStoppedAfterOpenUri;
    m_startingUntil = m_clock->monotonicNow() + m_quirks.startup;
    m_anchorTime = m_startingUntil;
    return {};
}

void FakeMprisService::addTrack(const QString& uri, bool setAsCurrent) {
    record(u"AddTrack(%1)"_s.arg(uri));
    if (setAsCurrent && m_media.contains(uri))
        load(uri, false);
}

void FakeMprisService::openList(const QStringList& uris) {
    record(u"OpenList(%1)"_s.arg(uris.join(u' ')));
    if (!uris.isEmpty() && m_media.contains(uris.first()))
        load(uris.first(), true);
}

FakeOwnOpenInterface::~FakeOwnOpenInterface() {
    m_bus.unregisterService(u"org.atheme.audacious"_s);
    m_bus.unregisterObject(u"/org/atheme/audacious"_s);
}

bool FakeOwnOpenInterface::registerOn(QDBusConnection bus) {
    m_bus = bus;
    return m_bus.registerObject(u"/org/atheme/audacious"_s, this,
                                QDBusConnection::ExportAllSlots) &&
           m_bus.registerService(u"org.atheme.audacious"_s);
}

} // namespace sonavert::test
