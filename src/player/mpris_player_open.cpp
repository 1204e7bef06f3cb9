// How MprisPlayer opens a location: through whatever the player offers, in the order that
// disturbs the user's player least, and with a reason the user can act on when nothing works.

#include "src/desktop/user_defaults.h"
#include "src/player/mpris_calls_p.h"
#include "src/player/mpris_player.h"
#include "src/player/mpris_reading_p.h"
#include "src/player/player_quirks.h"
#include "src/player/url_normalization.h"

#include <QDBusVariant>
#include <QProcess>
#include <QUrl>
#include <array>

namespace sonavert {

using namespace detail;

namespace {

constexpr Duration kOpenPollInterval = std::chrono::milliseconds(100);

// The command's words with the location put in: `%u` as given, `%f` as a local path (none
// when the location is not a local file).
std::optional<QStringList> expandCommand(const QString& command, const QString& uri) {
    QStringList words = QProcess::splitCommand(command);
    const QString localPath = QUrl(uri).toLocalFile();
    for (QString& word : words) {
        if (word.contains(QLatin1String("%f")) && localPath.isEmpty())
            return std::nullopt;
        word.replace(QLatin1String("%u"), uri).replace(QLatin1String("%f"), localPath);
    }
    if (words.isEmpty())
        return std::nullopt;
    return words;
}

bool isTrue(const QDBusMessage& reply) {
    return qvariant_cast<QDBusVariant>(firstArgument(reply)).variant().toBool();
}

} // namespace

/// One route's outcome: opened, not offered by this player (why, for the final reason), or
/// an error that no other route would mend.
struct MprisPlayer::OpenAttempt {
    enum class Outcome { Opened, Unavailable, Failed };
    Outcome outcome = Outcome::Unavailable;
    QString why{};
    std::optional<Error> error{};
    /// Whether the route itself tells success; a started program does not, so the location
    /// has to show in the player before the open counts.
    bool needsConfirmation = false;

    static OpenAttempt opened(bool confirm = false) {
        return {Outcome::Opened, {}, std::nullopt, confirm};
    }
    static OpenAttempt unavailable(QString why) {
        return {Outcome::Unavailable, std::move(why), std::nullopt, false};
    }
    static OpenAttempt failed(Error error) {
        return {Outcome::Failed, {}, std::move(error), false};
    }
};

// Routes in order: the standard call, the standard track list, the player's own interface,
// its command line. The first that opens wins; a route that fails for real ends the search.
QCoro::Task<Status> MprisPlayer::openUri(QString uri) {
    static const std::array<OpenRoute, 4> routes{
        &MprisPlayer::openWithOpenUri, &MprisPlayer::openWithTrackList,
        &MprisPlayer::openWithOwnInterface, &MprisPlayer::openWithCommand};
    const Result<QString> service = co_await resolveService();
    SONAVERT_CO_TRY(service);
    m_lastSample.reset();
    m_lastMotion.reset();
    const PlayerQuirks& quirks = quirksForBusName(service.value());
    QStringList reasons;
    for (const OpenRoute route : routes) {
        const OpenAttempt attempt = co_await (this->*route)(service.value(), uri);
        if (attempt.outcome == OpenAttempt::Outcome::Failed)
            co_return *attempt.error;
        if (attempt.outcome == OpenAttempt::Outcome::Unavailable) {
            reasons.append(attempt.why);
            continue;
        }
        if (quirks.keepsPauseAcrossOpen) {
            const Status played = co_await simpleCommand(QString::fromUtf8("Play"));
            SONAVERT_CO_TRY(played);
        }
        const bool shown = co_await awaitLocation(service.value(), uri, quirks.statusLagAfterOpen);
        if (shown && quirks.startupAfterOpen > Duration::zero())
            co_await awaitStartup(service.value(), quirks.startupAfterOpen,
                                  quirks.statusLagAfterOpen);
        if (shown || !attempt.needsConfirmation)
            co_return Status();
        reasons.append(QString::fromUtf8("its open command ran but it never showed the location"));
        break;
    }
    co_return playerError(PlayerErrorCode::Unsupported,
                          quirks.displayName + QString::fromUtf8(" cannot open ") + uri +
                              QString::fromUtf8(": ") + reasons.join(QString::fromUtf8("; ")) +
                              QLatin1Char('.'));
}

QCoro::Task<MprisPlayer::OpenAttempt> MprisPlayer::openWithOpenUri(QString service, QString uri) {
    const QDBusMessage reply = co_await call(openUriCall(service, uri));
    if (!isError(reply))
        co_return OpenAttempt::opened();
    if (isMissingMethod(reply))
        co_return OpenAttempt::unavailable(QString::fromUtf8("it has no OpenUri"));
    co_return OpenAttempt::failed(busError(reply));
}

QCoro::Task<MprisPlayer::OpenAttempt> MprisPlayer::openWithTrackList(QString service, QString uri) {
    const QDBusMessage hasTrackList =
        co_await call(rootPropertyCall(service, QString::fromUtf8("HasTrackList")));
    if (isError(hasTrackList) || !isTrue(hasTrackList))
        co_return OpenAttempt::unavailable(QString::fromUtf8("no track list"));
    const QDBusMessage added = co_await call(addTrackCall(service, uri));
    if (isError(added))
        co_return OpenAttempt::unavailable(QString::fromUtf8("its track list refused it (") +
                                           added.errorMessage() + QLatin1Char(')'));
    co_return OpenAttempt::opened();
}

QCoro::Task<MprisPlayer::OpenAttempt> MprisPlayer::openWithOwnInterface(QString service,
                                                                        QString uri) {
    const std::optional<NativeOpenMethod> native = quirksForBusName(service).nativeOpen;
    if (!native)
        co_return OpenAttempt::unavailable(QString::fromUtf8("no other D-Bus interface we know"));
    const QDBusMessage reply = co_await call(nativeOpenCall(*native, uri));
    if (isError(reply))
        co_return OpenAttempt::unavailable(native->service + QString::fromUtf8(" answered ") +
                                           reply.errorName());
    co_return OpenAttempt::opened();
}

QCoro::Task<MprisPlayer::OpenAttempt> MprisPlayer::openWithCommand(QString service, QString uri) {
    const QString command = openCommandFor(service);
    if (command.isEmpty())
        co_return OpenAttempt::unavailable(
            QString::fromUtf8("no command to open files (set one under \"") +
            QString::fromUtf8(kOpenCommandsKey) + QString::fromUtf8("\" for \"") +
            mprisShortName(service) + QString::fromUtf8("\")"));
    std::optional<QStringList> words = expandCommand(command, uri);
    if (!words)
        co_return OpenAttempt::unavailable(QString::fromUtf8("its open command \"") + command +
                                           QString::fromUtf8("\" cannot take this location"));
    const QString program = words->takeFirst();
    if (startProgram(program, *words) == 0)
        co_return OpenAttempt::unavailable(QString::fromUtf8("could not run ") + program);
    co_return OpenAttempt::opened(true);
}

// The user's command for this player when the settings have one, else the one we know.
QString MprisPlayer::openCommandFor(const QString& service) const {
    const QString name = mprisShortName(service);
    if (m_options.settings) {
        const auto chosen =
            m_options.settings->stringDictionary(QString::fromUtf8(kOpenCommandsKey));
        if (chosen && chosen->contains(name))
            return chosen->value(name).trimmed();
    }
    return quirksForBusName(service).openCommand;
}

// Players take a moment to load what they were handed, and until then report the previous
// track (or none); a seek sent in that moment lands in the wrong track or is lost. So an open
// returns once the player shows the location, or when its usual lag has passed.
QCoro::Task<bool> MprisPlayer::awaitLocation(QString service, QString uri, Duration patience) {
    const Duration deadline = m_clock->monotonicNow() + patience;
    while (true) {
        const Result<MprisReading> reading = co_await readPlayer(service);
        if (reading.ok() && isSameUrl(reading.value().track.uri, uri))
            co_return true;
        if (m_clock->monotonicNow() >= deadline)
            co_return false;
        co_await m_clock->sleep(kOpenPollInterval);
    }
}

// Some players drop commands while they still start what they opened (a Pause is undone when
// the track starts), so the open returns once the track has played past that moment, or when
// the player's usual lag has passed.
QCoro::Task<void> MprisPlayer::awaitStartup(QString service, Duration played, Duration patience) {
    const Duration deadline = m_clock->monotonicNow() + patience;
    const qint64 playedUs = std::chrono::duration_cast<std::chrono::microseconds>(played).count();
    while (m_clock->monotonicNow() < deadline) {
        const Result<qint64> position = co_await readPositionUs(service);
        if (position.ok() && position.value() >= playedUs)
            co_return;
        co_await m_clock->sleep(kOpenPollInterval);
    }
}

// Started detached, so it outlives us like any program the user starts; 0 when it could not
// start.
qint64 MprisPlayer::startProgram(const QString& program, const QStringList& arguments) const {
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    if (!m_options.busAddress.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromUtf8("DBUS_SESSION_BUS_ADDRESS"), m_options.busAddress);
        process.setProcessEnvironment(environment);
    }
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        return 0;
    return pid;
}

} // namespace sonavert
