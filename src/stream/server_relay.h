#pragma once

#include "src/crypto/key_ring.h"
#include "src/model/playback_state.h"
#include "src/runtime/clock.h"
#include "src/runtime/result.h"
#include "src/runtime/task_handle.h"

#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

class QTcpSocket;

namespace sonavert::clouddb {
class HttpCloudDatabase;
} // namespace sonavert::clouddb

namespace sonavert::stream {

class TrackServer;

inline const QString kRelayErrorDomain = QStringLiteral("ServerRelay");

/// The error codes of passing a song through the server (domain "ServerRelay").
enum class RelayErrorCode {
    /// The song did not pass: the other computer, the server or a chunk failed; the text says.
    NotPassed = 1,
    /// This computer has no account key to seal or open chunks with.
    NoAccountKey = 2,
};
inline QString errorDomain(RelayErrorCode) {
    return kRelayErrorDomain;
}

/// What passing a song through the account's server needs of the rest of the app.
struct RelayLink {
    /// Runs one relay operation ("relay/ask", ...) at the account's server.
    std::function<QCoro::Task<Result<QJsonObject>>(QString operation, QJsonObject body)> call;
    /// Seals the chunk `seq` of relay `relay` under the account key, so the server holds only
    /// ciphertext; fails while this computer has no key.
    std::function<Result<QString>(QByteArray clear, QString relay, qint64 seq)> seal;
    /// Opens what `seal` sealed for the same relay and place, and nothing else.
    std::function<Result<QByteArray>(QString sealed, QString relay, qint64 seq)> open;
};

/// The link of a signed-in computer: calls go to its server, chunks are sealed under the
/// current key of the ring `ring` gives (none: this computer has no key yet, and nothing
/// passes) and opened under any key of it.
RelayLink accountRelayLink(std::shared_ptr<clouddb::HttpCloudDatabase> database,
                           std::function<std::optional<crypto::KeyRing>()> ring);

/// The id under which the server keeps asks for the offers of one computer's run: a hash of
/// the key its offers name. One id for every song, asked for at one pace whether anything
/// plays or not, so the asks tell the server nothing of what this computer plays, nor whether
/// it plays; which song and range an ask wants travels sealed inside it.
QString relayMailboxOf(const QString& offerKey);

/// What may wait for the player before the fetch (direct or through the server) is left to
/// wait: the network side then stops reading, and the source slows down.
inline constexpr qint64 kMaxPlayerBufferedBytes = qint64{512} * 1024;

/// The bytes of clear audio one chunk carries.
inline constexpr qint64 kRelayChunkBytes = qint64{256} * 1024;

/// The offering side: while the user shares this computer's music, it asks the server every
/// little while whether another computer of the account, unable to reach it directly, wants a
/// part of a song it offers, and puts that part there in sealed chunks, as fast as the taker
/// takes them.
class RelaySource : public QObject {
    Q_OBJECT
public:
    /// How often the server is asked while nothing is being passed on (playing or not).
    static constexpr Duration kIdlePace = std::chrono::seconds(2);
    /// How often while a song is, and for a while after the last ask: a seek on the other
    /// computer is a new ask, and its player waits for it.
    static constexpr Duration kBusyPace = std::chrono::milliseconds(250);
    static constexpr Duration kBusyAfterLastAsk = std::chrono::minutes(2);
    /// Parts passed on at once.
    static constexpr int kMaxRelays = 4;

    RelaySource(std::shared_ptr<Clock> clock, std::shared_ptr<TrackServer> server, RelayLink link,
                QObject* parent = nullptr);
    ~RelaySource() override;

    void start();
    int activeRelays() const { return *m_active; }

private:
    void scheduleAsk(Duration pace);
    /// Asks the server once and answers what it found; gives the pace of the next ask.
    QCoro::Task<Duration> askOnce(std::stop_token token);

    std::shared_ptr<Clock> m_clock;
    std::shared_ptr<TrackServer> m_server;
    RelayLink m_link;
    TaskHandle m_task; ///< ends the asks and answers under way
    Clock::TimerId m_timer = 0;
    std::shared_ptr<int> m_active = std::make_shared<int>(0);
    std::shared_ptr<std::optional<Duration>> m_lastAsk =
        std::make_shared<std::optional<Duration>>();
};

/// How long the offering computer has to begin answering through the server: it asks the
/// server every RelaySource::kIdlePace.
inline constexpr Duration kRelayFirstChunkBound = std::chrono::seconds(10);

/// The playing side: answers one request of the player (`player`, which the caller owns)
/// with `range` of `offer` through the server. It asks for the range, takes the sealed chunks
/// as they come, opens them and writes the clear bytes to the player no faster than the
/// player reads; a player that hangs up closes the relay, and an offer that does not answer
/// gets the player a 504.
void relayToPlayer(std::shared_ptr<Clock> clock, RelayLink link, TrackOffer offer,
                   QTcpSocket* player, QByteArray range, bool isHeadOnly);
/// Whether the offering computer answers through the server now; the error says what failed.
QCoro::Task<Status> probeThroughServer(std::shared_ptr<Clock> clock, RelayLink link,
                                       TrackOffer offer);

} // namespace sonavert::stream
