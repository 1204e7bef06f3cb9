#include "src/stream/server_relay.h"

#include "src/clouddb/cloud_error.h"
#include "src/clouddb/http_cloud_database.h"
#include "src/crypto/payload_cipher.h"
#include "src/runtime/log_channel.h"
#include "src/stream/http_head.h"
#include "src/stream/track_server.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTcpSocket>
#include <QUrl>

namespace sonavert::stream {

namespace {

const QString kAsk = QStringLiteral("relay/ask");
const QString kAsks = QStringLiteral("relay/asks");
const QString kPut = QStringLiteral("relay/put");
const QString kTake = QStringLiteral("relay/take");
const QString kClose = QStringLiteral("relay/close");
/// How long a chunk the server will not hold yet is offered again before the taker is taken
/// for gone.
constexpr Duration kPutStall = std::chrono::seconds(30);
constexpr Duration kPutRetry = std::chrono::milliseconds(100);
/// How long a server that does not pass songs on is left alone (one older than this build).
constexpr Duration kUnsupportedPause = std::chrono::minutes(5);
/// A taker that found nothing asks again sooner at first, then less often.
constexpr Duration kFirstTakeWait = std::chrono::milliseconds(50);
constexpr Duration kLongestTakeWait = std::chrono::milliseconds(400);
constexpr Duration kPlayerDrainWait = std::chrono::milliseconds(50);

Error relayError(const QString& text) {
    return makeError(RelayErrorCode::NotPassed, text);
}

QString capabilityOf(const TrackOffer& offer) {
    const QString path = QUrl(offer.url).path();
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.mid(slash + 1);
}

// The head of an answer travels as the relay's first chunk, sealed like the audio.
QByteArray headChunk(int status, const QList<std::pair<QByteArray, QByteArray>>& headers) {
    QJsonArray fields;
    for (const auto& [name, value] : headers)
        fields.append(QJsonArray{QString::fromLatin1(name), QString::fromLatin1(value)});
    return QJsonDocument(
               QJsonObject{{QStringLiteral("status"), status}, {QStringLiteral("headers"), fields}})
        .toJson(QJsonDocument::Compact);
}

// String literals inside coroutine bodies trip GCC 12 ("array used as initializer"): the
// heads the coroutines write are made here.
QByteArray busyHeadChunk() {
    return headChunk(503, {{"Retry-After", "5"}});
}

QByteArray noAnswerHead() {
    return responseHead(504, {{"Content-Length", "0"}, {"Connection", "close"}});
}

QByteArray playerHead(int status, QList<std::pair<QByteArray, QByteArray>> headers) {
    headers.emplaceBack("Connection", "close");
    return responseHead(status, headers);
}

struct Head {
    int status = 0;
    QList<std::pair<QByteArray, QByteArray>> headers;
};

std::optional<Head> parseHeadChunk(const QByteArray& bytes) {
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    const int status = object.value(QStringLiteral("status")).toInt();
    if (status < 100 || status > 599)
        return std::nullopt;
    Head head{status, {}};
    // Only what a player needs from the answer is passed on: nothing the offering side could
    // use to steer the player or the loopback connection.
    static const QSet<QByteArray> kept{"content-type", "content-length", "content-range",
                                       "accept-ranges"};
    for (const QJsonValue field : object.value(QStringLiteral("headers")).toArray()) {
        const QJsonArray pair = field.toArray();
        const QByteArray name = pair.at(0).toString().toLatin1();
        const QByteArray value = pair.at(1).toString().toLatin1();
        if (kept.contains(name.toLower()) && !value.contains('\r') && !value.contains('\n'))
            head.headers.emplaceBack(name, value);
    }
    return head;
}

// Which song and part an ask wants: sealed inside the ask, bound to its relay, so the server
// sees neither the capability nor the range.
struct RelayRequest {
    QString capability;
    QByteArray range;
    bool isHeadOnly = false;
};
constexpr qint64 kRequestPlace = -1; ///< the place the request is sealed at, before the chunks

Result<QString> sealRequest(const RelayLink& link, const QString& relay,
                            const RelayRequest& request) {
    const QJsonObject clear{{QStringLiteral("capability"), request.capability},
                            {QStringLiteral("range"), QString::fromLatin1(request.range)},
                            {QStringLiteral("headOnly"), request.isHeadOnly}};
    return link.seal(QJsonDocument(clear).toJson(QJsonDocument::Compact), relay, kRequestPlace);
}

std::optional<RelayRequest> openRequest(const RelayLink& link, const QString& relay,
                                        const QString& sealed) {
    const Result<QByteArray> opened = link.open(sealed, relay, kRequestPlace);
    if (!opened)
        return std::nullopt;
    const QJsonObject clear = QJsonDocument::fromJson(opened.value()).object();
    RelayRequest request{clear.value(QStringLiteral("capability")).toString(),
                         clear.value(QStringLiteral("range")).toString().toLatin1(),
                         clear.value(QStringLiteral("headOnly")).toBool()};
    if (request.capability.isEmpty())
        return std::nullopt;
    return request;
}

QCoro::Task<Status> putChunk(std::shared_ptr<Clock> clock, RelayLink link, QString relay,
                             qint64 seq, QByteArray clear, bool isEnd, std::stop_token token) {
    const Result<QString> sealed = link.seal(std::move(clear), relay, seq);
    if (!sealed)
        co_return sealed.error();
    const QJsonObject body{{QStringLiteral("relay"), relay},
                           {QStringLiteral("seq"), seq},
                           {QStringLiteral("chunk"), sealed.value()},
                           {QStringLiteral("end"), isEnd}};
    Duration waited{0};
    while (!token.stop_requested()) {
        const Result<QJsonObject> answer = co_await link.call(kPut, body);
        if (!answer)
            co_return answer.error();
        if (answer.value().value(QStringLiteral("accepted")).toBool())
            co_return Status{};
        if (waited >= kPutStall)
            break;
        co_await clock->sleep(kPutRetry, token);
        waited += kPutRetry;
    }
    co_return relayError(QStringLiteral("the other computer stopped taking the song"));
}

// One ask answered: the head, then the range in chunks. Ends early when the asker closed the
// relay (the server no longer knows it) or the source is stopping.
QCoro::Task<> answerAsk(std::shared_ptr<Clock> clock, std::shared_ptr<TrackServer> server,
                        RelayLink link, QString relay, RelayRequest request,
                        std::shared_ptr<int> active, std::stop_token token) {
    ++*active;
    TrackServer::Answer planned =
        server->plan(request.capability, request.range, request.isHeadOnly);
    qint64 remaining = planned.file ? planned.length : 0;
    Status put = co_await putChunk(
        clock, link, relay, 0, headChunk(planned.status, planned.headers), remaining == 0, token);
    for (qint64 seq = 1; put && remaining > 0 && !token.stop_requested(); ++seq) {
        QByteArray bytes = planned.file->read(std::min(remaining, kRelayChunkBytes));
        if (bytes.isEmpty()) { // the file shrank: end what was sent
            put = co_await putChunk(clock, link, relay, seq, {}, true, token);
            break;
        }
        remaining -= bytes.size();
        put = co_await putChunk(clock, link, relay, seq, std::move(bytes), remaining == 0, token);
    }
    if (!put)
        logEvent(LogCategory::Playback, LogLevel::Info,
                 "event=track_relay_send_ended reason=%{public}s", put.error().description);
    --*active;
}

} // namespace

RelayLink accountRelayLink(std::shared_ptr<clouddb::HttpCloudDatabase> database,
                           std::function<std::optional<crypto::KeyRing>()> ring) {
    // Chunks are named by their relay and bound to their place in it: one moved elsewhere, by
    // a server or anyone, does not open.
    const QString recordName = QStringLiteral("relay");
    const auto noKey = [] {
        return makeError(RelayErrorCode::NoAccountKey,
                         QStringLiteral("this computer has no account key yet"));
    };
    return RelayLink{
        [database](QString operation, QJsonObject body) {
            return database->post(std::move(operation), std::move(body), {});
        },
        [ring, recordName, noKey](QByteArray clear, QString relay, qint64 seq) -> Result<QString> {
            const std::optional<crypto::KeyRing> keys = ring();
            if (!keys)
                return noKey();
            return crypto::PayloadCipher::sealBytes(keys->current(), recordName, relay, clear,
                                                    {QString::number(seq)});
        },
        [ring, recordName, noKey](QString sealed, QString relay, qint64 seq) -> Result<QByteArray> {
            const std::optional<crypto::KeyRing> keys = ring();
            if (!keys)
                return noKey();
            return crypto::PayloadCipher::openBytes(*keys, recordName, relay, sealed,
                                                    {QString::number(seq)});
        }};
}

QString relayMailboxOf(const QString& offerKey) {
    const QByteArray hash = QCryptographicHash::hash(QByteArrayLiteral("sonavert relay mailbox\n") +
                                                         offerKey.toLatin1(),
                                                     QCryptographicHash::Sha256);
    return QString::fromLatin1(
        hash.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

RelaySource::RelaySource(std::shared_ptr<Clock> clock, std::shared_ptr<TrackServer> server,
                         RelayLink link, QObject* parent)
    : QObject(parent)
    , m_clock(std::move(clock))
    , m_server(std::move(server))
    , m_link(std::move(link)) {}

RelaySource::~RelaySource() {
    m_clock->cancelScheduled(m_timer);
    m_task.cancel();
}

void RelaySource::start() {
    scheduleAsk(kIdlePace);
}

// One ask at a time, each scheduled after the last: nothing waits on the clock between two,
// so a computer that offers nothing holds no coroutine at all.
void RelaySource::scheduleAsk(Duration pace) {
    m_timer = m_clock->schedule(pace, [this] {
        m_timer = 0;
        QCoro::connect(askOnce(m_task.token()), this, [this](Duration next) { scheduleAsk(next); });
    });
}

QCoro::Task<Duration> RelaySource::askOnce(std::stop_token token) {
    // Copies: the ask may outlive this object while the server answers.
    auto clock = m_clock;
    auto server = m_server;
    auto link = m_link;
    auto active = m_active;
    auto lastAsk = m_lastAsk;
    const bool isBusy =
        *active > 0 || (*lastAsk && clock->monotonicNow() - **lastAsk < kBusyAfterLastAsk);
    Duration pace = isBusy ? kBusyPace : kIdlePace;
    // Asked for at the same pace whether a song plays or not: only a song passed on, which the
    // server sees anyway, quickens it.
    if (!server->isSharing())
        co_return pace;
    const QJsonObject body{
        {QStringLiteral("offers"), QJsonArray{relayMailboxOf(server->offerKey())}}};
    const Result<QJsonObject> found = co_await link.call(kAsks, body);
    if (token.stop_requested())
        co_return pace;
    if (!found) {
        logEvent(LogCategory::Playback, LogLevel::Info,
                 "event=track_relay_asks_failed error=%{public}s", found.error().description);
        // Only an operation the server does not know is NOT_FOUND here.
        if (clouddb::isCloudError(found.error(), clouddb::CloudErrorCode::UnknownItem))
            pace = kUnsupportedPause;
    }
    for (const QJsonValue value :
         found ? found.value().value(QStringLiteral("asks")).toArray() : QJsonArray()) {
        const QJsonObject ask = value.toObject();
        const QString relay = ask.value(QStringLiteral("relay")).toString();
        const std::optional<RelayRequest> request =
            openRequest(link, relay, ask.value(QStringLiteral("request")).toString());
        if (!request)
            continue; // not sealed by a computer of the account: nobody to answer
        *lastAsk = clock->monotonicNow();
        if (*active >= kMaxRelays) {
            // The asker gets an answer it understands instead of waiting it out.
            (void)co_await putChunk(clock, link, relay, 0, busyHeadChunk(), true, token);
            continue;
        }
        answerAsk(clock, server, link, relay, *request, active, token);
        pace = kBusyPace;
    }
    co_return pace;
}

namespace {

// Where the chunks of a relay go, opened and in order. (A class, not a lambda: GCC 12 destroys
// the captures of a lambda made inside a coroutine twice.)
class ChunkSink {
public:
    virtual ~ChunkSink() = default;
    /// Takes the chunk `seq` (0 is the answer's head); says whether to go on.
    virtual QCoro::Task<bool> take(qint64 seq, QByteArray bytes) = 0;
};

// Takes the relay's chunks in order and hands each, opened, to `sink`. Ends at the relay's
// end, at the first failure, or when the sink says stop.
QCoro::Task<Status> takeChunks(std::shared_ptr<Clock> clock, RelayLink link, QString relay,
                               std::shared_ptr<ChunkSink> sink) {
    qint64 next = 0;
    Duration wait = kFirstTakeWait;
    Duration waitedForFirst{0};
    while (true) {
        const QJsonObject body{{QStringLiteral("relay"), relay}, {QStringLiteral("seq"), next}};
        const Result<QJsonObject> taken = co_await link.call(kTake, body);
        if (!taken)
            co_return taken.error();
        const QJsonArray chunks = taken.value().value(QStringLiteral("chunks")).toArray();
        for (const QJsonValue value : chunks) {
            const QJsonObject chunk = value.toObject();
            if (chunk.value(QStringLiteral("seq")).toInteger(-1) != next)
                co_return relayError(QStringLiteral("the server passed the song on out of order"));
            const Result<QByteArray> opened =
                link.open(chunk.value(QStringLiteral("chunk")).toString(), relay, next);
            if (!opened)
                co_return relayError(QStringLiteral("a part of the song did not open: %1")
                                         .arg(opened.error().description));
            const bool goesOn = co_await sink->take(next, opened.value());
            ++next;
            if (!goesOn)
                co_return Status{};
        }
        if (taken.value().value(QStringLiteral("end")).toBool())
            co_return Status{};
        if (!chunks.isEmpty()) {
            wait = kFirstTakeWait;
            continue;
        }
        if (next == 0) {
            waitedForFirst += wait;
            if (waitedForFirst >= kRelayFirstChunkBound)
                co_return relayError(
                    QStringLiteral("the other computer did not answer through the server"));
        }
        co_await clock->sleep(wait);
        wait = std::min(wait * 2, kLongestTakeWait);
    }
}

QCoro::Task<Status> openRelay(RelayLink link, QString relay, TrackOffer offer, QByteArray range,
                              bool isHeadOnly) {
    const Result<QString> request =
        sealRequest(link, relay, RelayRequest{capabilityOf(offer), range, isHeadOnly});
    if (!request)
        co_return request.error();
    const QJsonObject body{{QStringLiteral("offer"), relayMailboxOf(offer.key)},
                           {QStringLiteral("relay"), relay},
                           {QStringLiteral("request"), request.value()}};
    const Result<QJsonObject> asked = co_await link.call(kAsk, body);
    if (!asked)
        co_return asked.error();
    co_return Status{};
}

QCoro::Task<> closeRelay(RelayLink link, QString relay) {
    const QJsonObject body{{QStringLiteral("relay"), relay}};
    (void)co_await link.call(kClose, body);
}

// Writes what comes through the relay to the player, no faster than the player reads.
class PlayerSink final : public ChunkSink {
public:
    PlayerSink(std::shared_ptr<Clock> clock, QTcpSocket* player)
        : m_clock(std::move(clock))
        , m_player(player) {}

    bool isConnected() const {
        return m_player && m_player->state() == QAbstractSocket::ConnectedState;
    }

    QCoro::Task<bool> take(qint64 seq, QByteArray bytes) override {
        if (seq == 0) {
            const std::optional<Head> head = parseHeadChunk(bytes);
            if (!head || !isConnected())
                co_return false;
            m_player->write(playerHead(head->status, head->headers));
            m_isHeadWritten = true;
            co_return true;
        }
        while (isConnected() && m_player->bytesToWrite() > kMaxPlayerBufferedBytes)
            co_await m_clock->sleep(kPlayerDrainWait);
        if (!isConnected())
            co_return false;
        m_player->write(bytes);
        co_return true;
    }

    // The player gets an answer in any case, and the connection ends with the relay.
    void finish() {
        if (!isConnected())
            return;
        if (!m_isHeadWritten)
            m_player->write(noAnswerHead());
        m_player->disconnectFromHost();
    }

private:
    std::shared_ptr<Clock> m_clock;
    /// The player's connection deletes itself when the player leaves.
    QPointer<QTcpSocket> m_player;
    bool m_isHeadWritten = false;
};

// Reads the status of the answer's head and stops.
class HeadProbe final : public ChunkSink {
public:
    QCoro::Task<bool> take(qint64, QByteArray bytes) override {
        const std::optional<Head> head = parseHeadChunk(bytes);
        status = head ? head->status : -1;
        co_return false;
    }
    int status = 0;
};

QCoro::Task<> runRelayToPlayer(std::shared_ptr<Clock> clock, RelayLink link, TrackOffer offer,
                               std::shared_ptr<PlayerSink> sink, QByteArray range,
                               bool isHeadOnly) {
    const QString relay = unguessablePathSegment(16);
    const Status opened = co_await openRelay(link, relay, offer, range, isHeadOnly);
    const Status status = opened ? co_await takeChunks(clock, link, relay, sink) : opened;
    if (!status)
        logEvent(LogCategory::Playback, LogLevel::Info,
                 "event=track_relay_receive_ended reason=%{public}s", status.error().description);
    sink->finish();
    if (opened)
        co_await closeRelay(link, relay);
}

} // namespace

void relayToPlayer(std::shared_ptr<Clock> clock, RelayLink link, TrackOffer offer,
                   QTcpSocket* player, QByteArray range, bool isHeadOnly) {
    auto sink = std::make_shared<PlayerSink>(clock, player);
    runRelayToPlayer(std::move(clock), std::move(link), std::move(offer), std::move(sink),
                     std::move(range), isHeadOnly);
}

QCoro::Task<Status> probeThroughServer(std::shared_ptr<Clock> clock, RelayLink link,
                                       TrackOffer offer) {
    const QString relay = unguessablePathSegment(16);
    const Status opened = co_await openRelay(link, relay, offer, QByteArray("bytes=0-0"), false);
    if (!opened)
        co_return opened;
    const auto probe = std::make_shared<HeadProbe>();
    const Status status = co_await takeChunks(clock, link, relay, probe);
    co_await closeRelay(link, relay);
    if (!status)
        co_return status;
    if (probe->status != 200 && probe->status != 206)
        co_return relayError(QStringLiteral("the other computer no longer offers the song"));
    co_return Status{};
}

} // namespace sonavert::stream
