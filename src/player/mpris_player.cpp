#include "src/player/mpris_player.h"

#include "src/player/mpris_calls_p.h"
#include "src/player/mpris_reading_p.h"
#include "src/player/player_quirks.h"
#include "src/player/url_normalization.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QProcess>
#include <cmath>
#include <utility>

namespace sonavert {

using namespace detail;

namespace {

// How we tell a silently ignored seek from one the player reports late: poll the position this
// often, for as long as the player's position may lag (PlayerQuirks), and accept anything from a
// second before the target to a few seconds after it (the track keeps playing while we look).
constexpr Duration kSeekPollInterval = std::chrono::milliseconds(100);
constexpr double kSeekEarlyTolerance = 1.0;
constexpr double kSeekLateTolerance = 3.0;
// A "Stopped" player with a loaded track is checked for a moving position this far apart.
constexpr Duration kMotionSampleGap = std::chrono::milliseconds(150);
constexpr Duration kMotionSampleMaxAge = std::chrono::seconds(10);
constexpr Duration kLaunchPollInterval = std::chrono::milliseconds(200);

// A position read in whole steps, rounded down, stands for anywhere within its step: the
// middle is the best guess (a step of zero changes nothing).
double positionFromReading(qint64 positionUs, Duration step) {
    return static_cast<double>(positionUs) / 1e6 + secondsOf(step) / 2;
}

// Where to send a player whose seeks land on a whole step, rounded down: the step nearest to
// the target, which it lands on exactly.
double seekRequestFor(double target, Duration step) {
    const double size = secondsOf(step);
    return size > 0 ? std::round(target / size) * size : target;
}

} // namespace

MprisPlayer::MprisPlayer(QDBusConnection bus, std::shared_ptr<Clock> clock,
                         std::shared_ptr<const TrackLibrary> library, MprisOptions options,
                         QObject* parent)
    : PlayerBackend(parent)
    , m_bus(std::move(bus))
    , m_clock(std::move(clock))
    , m_library(std::move(library))
    , m_options(std::move(options)) {}

MprisPlayer::~MprisPlayer() = default;

QCoro::Task<QDBusMessage> MprisPlayer::call(QDBusMessage message) {
    ++m_callsInFlight;
    const QDBusPendingCall pending = m_bus.asyncCall(message);
    QDBusMessage reply = co_await pending;
    --m_callsInFlight;
    co_return reply;
}

bool MprisPlayer::matchesWanted(const QString& name) const {
    if (!name.startsWith(mprisNamePrefix()))
        return false;
    if (m_options.playerName.isEmpty())
        return true;
    const QString wanted = m_options.playerName.startsWith(mprisNamePrefix())
                               ? m_options.playerName
                               : mprisNamePrefix() + m_options.playerName;
    return name == wanted || name.startsWith(wanted + QLatin1Char('.'));
}

// The player we keep talking to stays chosen while it is on the bus, so a resume that opened a
// track in one player does not drift to another. A new choice prefers a player that plays,
// then one that is paused, then the first name in order.
QCoro::Task<Result<QString>> MprisPlayer::resolveService() {
    const QDBusMessage reply = co_await call(listNamesCall());
    if (isError(reply))
        co_return busError(reply);
    QStringList candidates;
    for (const QString& name : firstArgument(reply).toStringList()) {
        if (matchesWanted(name))
            candidates.append(name);
    }
    if (candidates.isEmpty())
        co_return playerError(PlayerErrorCode::NotRunning,
                              QString::fromUtf8("No player is running."));
    if (candidates.contains(m_service))
        co_return QString(m_service);
    candidates.sort();
    QString chosen = candidates.first();
    int bestRank = 3;
    for (const QString& name : candidates) {
        const QDBusMessage status =
            co_await call(playerPropertyCall(name, QString::fromUtf8("PlaybackStatus")));
        const QString text =
            qvariant_cast<QDBusVariant>(firstArgument(status)).variant().toString();
        const int rank = text == QLatin1String("Playing")  ? 0
                         : text == QLatin1String("Paused") ? 1
                                                           : 2;
        if (!isError(status) && rank < bestRank) {
            bestRank = rank;
            chosen = name;
        }
    }
    m_service = chosen;
    co_return QString(m_service);
}

QCoro::Task<Result<MprisReading>> MprisPlayer::readPlayer(QString service) {
    const QDBusMessage reply = co_await call(playerPropertiesCall(service));
    if (isError(reply))
        co_return busError(reply);
    co_return detail::decodePlayerProperties(detail::unpackMap(firstArgument(reply)));
}

QCoro::Task<Result<qint64>> MprisPlayer::readPositionUs(QString service) {
    const QDBusMessage reply =
        co_await call(playerPropertyCall(service, QString::fromUtf8("Position")));
    if (isError(reply))
        co_return busError(reply);
    co_return qvariant_cast<QDBusVariant>(firstArgument(reply)).variant().toLongLong();
}

// Some players (mpv after OpenUri) keep saying "Stopped" while they play, and never send a
// change. Position does not lie, so a stopped player with a track whose position moves is
// playing. The last reading usually answers that without waiting; otherwise we look twice.
QCoro::Task<MprisPlayer::Motion> MprisPlayer::effectiveState(QString service,
                                                             MprisReading reading) {
    const PlayerState reported = detail::stateFromStatus(reading.status);
    PositionSample latest{service, normalizedUrl(reading.track.uri), reading.positionUs,
                          m_clock->monotonicNow()};
    if (!reading.hasTrack()) {
        m_lastSample = latest;
        m_lastMotion.reset();
        co_return Motion{PlayerState::Stopped, 0};
    }
    if (reported != PlayerState::Stopped) {
        m_lastSample = latest;
        m_lastMotion.reset();
        co_return Motion{reported, latest.positionUs};
    }
    // "Stopped" with a track: tell from the position whether it really moves. The earlier
    // sample is kept as the anchor until it is old enough to compare with, so a burst of
    // readings (one script reads state, track and position one after another) reuses the
    // last verdict instead of waiting for a fresh pair of samples every time.
    const std::optional<PositionSample> earlier = m_lastSample;
    const bool sameTrack =
        earlier && earlier->service == latest.service && earlier->url == latest.url;
    const Duration age = sameTrack ? latest.at - earlier->at : Duration::zero();
    if (sameTrack && age >= kMotionSampleGap && age <= kMotionSampleMaxAge) {
        const Motion motion = judgeMotion(*earlier, latest);
        co_return motion;
    }
    if (sameTrack && age < kMotionSampleGap && m_lastMotion &&
        m_lastMotion->positionUs == earlier->positionUs) {
        const bool consistent = m_lastMotion->state == PlayerState::Playing
                                    ? latest.positionUs >= earlier->positionUs
                                    : latest.positionUs == earlier->positionUs;
        if (consistent)
            co_return Motion{m_lastMotion->state, latest.positionUs};
    }
    co_await m_clock->sleep(kMotionSampleGap);
    const Result<qint64> later = co_await readPositionUs(service);
    if (!later.ok()) {
        m_lastSample.reset();
        m_lastMotion.reset();
        co_return Motion{PlayerState::Stopped, latest.positionUs};
    }
    PositionSample second = latest;
    second.positionUs = later.value();
    second.at = m_clock->monotonicNow();
    const Motion motion = judgeMotion(latest, second);
    co_return motion;
}

// Playing when the position moved by at least a quarter of the time between the samples;
// remembers the later sample as the next anchor and the verdict that goes with it.
MprisPlayer::Motion MprisPlayer::judgeMotion(const PositionSample& earlier,
                                             const PositionSample& later) {
    const double elapsedUs = secondsOf(later.at - earlier.at) * 1e6;
    const qint64 moved = later.positionUs - earlier.positionUs;
    const bool isMoving = moved > 0 && static_cast<double>(moved) >= elapsedUs / 4;
    const Motion motion{isMoving ? PlayerState::Playing : PlayerState::Stopped, later.positionUs};
    m_lastSample = later;
    m_lastMotion = motion;
    return motion;
}

// What the player says about its track, completed by what our library knows about the same
// URL: tags read by us are the names the catalog uses, and a station's name is its album.
LibraryTrack MprisPlayer::describe(const MprisReading& reading) const {
    LibraryTrack track = reading.track;
    const std::optional<LibraryTrack> known =
        m_library ? m_library->trackForUrl(track.uri) : std::nullopt;
    if (!known)
        return track;
    const auto prefer = [](QString& field, const QString& ours) {
        if (!ours.isEmpty())
            field = ours;
    };
    prefer(track.name, known->name);
    prefer(track.artist, known->artist);
    prefer(track.album, known->album);
    prefer(track.recordingID, known->recordingID);
    if (track.duration <= 0)
        track.duration = known->duration;
    return track;
}

QCoro::Task<bool> MprisPlayer::isRunning() {
    const Result<QString> service = co_await resolveService();
    co_return service.ok();
}

QCoro::Task<Status> MprisPlayer::activate() {
    const Result<QString> running = co_await resolveService();
    if (running.ok())
        co_return Status();
    if (m_options.launchProgram.isEmpty())
        co_return playerError(PlayerErrorCode::NotRunning,
                              QString::fromUtf8("No player is running and none is configured."));
    m_launchedPid = startProgram(m_options.launchProgram, m_options.launchArguments);
    if (m_launchedPid == 0)
        co_return playerError(PlayerErrorCode::NotRunning,
                              QString::fromUtf8("Could not start ") + m_options.launchProgram);
    const Duration deadline = m_clock->monotonicNow() + m_options.launchTimeout;
    while (m_clock->monotonicNow() < deadline) {
        co_await m_clock->sleep(kLaunchPollInterval);
        const Result<QString> appeared = co_await resolveService();
        if (appeared.ok())
            co_return Status();
    }
    co_return playerError(PlayerErrorCode::NotRunning,
                          m_options.launchProgram +
                              QString::fromUtf8(" did not appear on the bus."));
}

QCoro::Task<Result<NowPlaying>> MprisPlayer::nowPlaying() {
    const Result<QString> service = co_await resolveService();
    SONAVERT_CO_TRY(service);
    const Result<MprisReading> reading = co_await readPlayer(service.value());
    SONAVERT_CO_TRY(reading);
    const Motion motion = co_await effectiveState(service.value(), reading.value());
    NowPlaying result;
    result.state = motion.state;
    if (reading.value().hasTrack()) {
        result.track = describe(reading.value());
        result.position =
            positionFromReading(motion.positionUs, quirksForBusName(service.value()).positionStep);
    }
    co_return result;
}

// Waits until the reported position is where we sent it; players may keep answering with the
// old position for a few hundred milliseconds after a seek.
QCoro::Task<bool> MprisPlayer::awaitPosition(QString service, double target) {
    const Duration patience = quirksForBusName(service).positionLagAfterSeek;
    const auto polls = static_cast<int>(patience / kSeekPollInterval);
    for (int poll = 0; poll < polls; ++poll) {
        co_await m_clock->sleep(kSeekPollInterval);
        const Result<qint64> position = co_await readPositionUs(service);
        if (!position.ok())
            co_return false;
        const double at = static_cast<double>(position.value()) / 1e6;
        if (at >= target - kSeekEarlyTolerance && at <= target + kSeekLateTolerance)
            co_return true;
    }
    co_return false;
}

QCoro::Task<Status> MprisPlayer::seekRelative(QString service, double target) {
    const Result<qint64> position = co_await readPositionUs(service);
    SONAVERT_CO_TRY(position);
    const double offset = target - static_cast<double>(position.value()) / 1e6;
    const QDBusMessage reply = co_await call(seekCall(service, offset));
    if (isError(reply))
        co_return busError(reply);
    const bool landed = co_await awaitPosition(service, target);
    if (landed)
        co_return Status();
    co_return playerError(PlayerErrorCode::SeekNotConfirmed,
                          QString::fromUtf8("The player did not move to the requested position."));
}

// SetPosition needs the id of the track loaded right now (a stale id makes a correct player
// ignore the call), so it is read just before. Players that reject the call, ignore it, or
// have no usable track id get a relative Seek instead. A player that seeks in whole steps is
// sent to the nearest one.
QCoro::Task<Status> MprisPlayer::setPlayerPosition(double wanted) {
    const Result<QString> service = co_await resolveService();
    SONAVERT_CO_TRY(service);
    const Result<MprisReading> reading = co_await readPlayer(service.value());
    SONAVERT_CO_TRY(reading);
    if (!reading.value().hasTrack())
        co_return playerError(PlayerErrorCode::NoCurrentTrack,
                              QString::fromUtf8("Nothing is loaded."));
    if (!reading.value().canSeek)
        co_return playerError(PlayerErrorCode::Unsupported,
                              QString::fromUtf8("The track cannot seek."));
    m_lastSample.reset();
    m_lastMotion.reset();
    const double target =
        seekRequestFor(std::max(0.0, wanted), quirksForBusName(service.value()).seekStep);
    const QString trackId = reading.value().trackId;
    if (trackId.startsWith(QLatin1Char('/'))) {
        const QDBusMessage reply = co_await call(setPositionCall(service.value(), trackId, target));
        if (!isError(reply)) {
            const bool landed = co_await awaitPosition(service.value(), target);
            if (landed)
                co_return Status();
        }
    }
    co_return co_await seekRelative(service.value(), target);
}

QCoro::Task<Status> MprisPlayer::simpleCommand(QString method) {
    const Result<QString> service = co_await resolveService();
    SONAVERT_CO_TRY(service);
    m_lastSample.reset();
    m_lastMotion.reset();
    const QDBusMessage reply = co_await call(playerMethodCall(service.value(), method));
    if (isError(reply))
        co_return busError(reply);
    co_return Status();
}

QCoro::Task<Status> MprisPlayer::play() {
    co_return co_await simpleCommand(QString::fromUtf8("Play"));
}

QCoro::Task<Status> MprisPlayer::pause() {
    co_return co_await simpleCommand(QString::fromUtf8("Pause"));
}

QCoro::Task<Status> MprisPlayer::stop() {
    co_return co_await simpleCommand(QString::fromUtf8("Stop"));
}

QCoro::Task<Status> MprisPlayer::playTrack(LibraryTrack track) {
    co_return co_await openUri(track.uri);
}

QCoro::Task<Status> MprisPlayer::openLocation(QString url) {
    co_return co_await openUri(url);
}

QCoro::Task<QList<LibraryTrack>> MprisPlayer::libraryTracks(TrackFilter filter) {
    co_return filterTracks(m_library.get(), filter);
}

} // namespace sonavert
