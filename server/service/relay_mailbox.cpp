#include "server/service/relay_mailbox.h"

#include "server/wire/server_error.h"

#include <QJsonArray>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>

namespace sonavert::cloud {

namespace {

const QString kAsk = QStringLiteral("relay/ask");
const QString kAsks = QStringLiteral("relay/asks");
const QString kPut = QStringLiteral("relay/put");
const QString kTake = QStringLiteral("relay/take");
const QString kClose = QStringLiteral("relay/close");
/// Offers one "relay/asks" names: a computer offers what it played lately, a handful.
constexpr qsizetype kMaxOffersAsked = 32;

Error badRelayRequest(const QString& reason) {
    return cloudError(ServerErrorCode::BadRequest, reason);
}

// Ids are made by the devices from random bytes (base64url); anything else is refused, so an
// id can neither be long nor carry text into a log line.
bool isRelayId(const QString& id) {
    static const QRegularExpression shape(QStringLiteral("^[A-Za-z0-9_-]{16,64}$"));
    return shape.match(id).hasMatch();
}

bool isRange(const QString& range) {
    static const QRegularExpression shape(QStringLiteral("^(bytes=[0-9]{0,19}-[0-9]{0,19})?$"));
    return shape.match(range).hasMatch();
}

Result<QString> idField(const QJsonObject& body, const QString& name) {
    const QString id = body.value(name).toString();
    if (!isRelayId(id))
        return badRelayRequest(QStringLiteral("\"%1\" must be an id of 16 to 64 base64url "
                                              "characters")
                                   .arg(name));
    return id;
}

Result<qint64> seqField(const QJsonObject& body) {
    const QJsonValue value = body.value(QStringLiteral("seq"));
    const double seq = value.toDouble(-1);
    if (!value.isDouble() || seq < 0 || seq > 1e15 || seq != static_cast<double>(qint64(seq)))
        return badRelayRequest(QStringLiteral("\"seq\" must be a whole number from 0"));
    return qint64(seq);
}

QString relayKey(const QString& database, const QString& relay) {
    return database + QLatin1Char('\n') + relay;
}

} // namespace

RelayMailbox::RelayMailbox(Clock& clock)
    : RelayMailbox(clock, Limits{}) {}

RelayMailbox::RelayMailbox(Clock& clock, Limits limits)
    : m_clock(clock)
    , m_limits(limits) {}

QStringList RelayMailbox::operations() {
    return {kAsk, kAsks, kPut, kTake, kClose};
}

Result<QJsonObject> RelayMailbox::serve(const QString& database, const QString& operation,
                                        const QJsonObject& body) {
    QMutexLocker lock(&m_mutex);
    dropIdle();
    if (operation == kAsk)
        return ask(database, body);
    if (operation == kAsks)
        return asks(database, body);
    if (operation == kPut)
        return put(database, body);
    if (operation == kTake)
        return take(database, body);
    if (operation == kClose)
        return close(database, body);
    return cloudError(ServerErrorCode::NotFound,
                      QStringLiteral("unknown operation \"%1\"").arg(operation));
}

qint64 RelayMailbox::heldBytes() const {
    QMutexLocker lock(&m_mutex);
    return m_heldBytes;
}

int RelayMailbox::relayCount() const {
    QMutexLocker lock(&m_mutex);
    return static_cast<int>(m_relays.size());
}

Result<QJsonObject> RelayMailbox::ask(const QString& database, const QJsonObject& body) {
    const auto offer = idField(body, QStringLiteral("offer"));
    SONAVERT_TRY(offer);
    const auto relay = idField(body, QStringLiteral("relay"));
    SONAVERT_TRY(relay);
    const QString range = body.value(QStringLiteral("range")).toString();
    if (!isRange(range))
        return badRelayRequest(QStringLiteral("\"range\" must be one byte range"));
    const QString request = body.value(QStringLiteral("request")).toString();
    if (request.size() > m_limits.maxRequestChars)
        return cloudError(
            ServerErrorCode::LimitExceeded,
            QStringLiteral("a request holds at most %1 characters").arg(m_limits.maxRequestChars));
    const QString key = relayKey(database, relay.value());
    if (m_relays.contains(key))
        return badRelayRequest(QStringLiteral("the relay is open already"));
    const auto ofDatabase = [&database](const auto& item) { return item.database == database; };
    if (std::count_if(m_relays.cbegin(), m_relays.cend(), ofDatabase) >=
        m_limits.maxRelaysPerAccount)
        return cloudError(ServerErrorCode::LimitExceeded,
                          QStringLiteral("too many songs are being passed on at once"));
    if (std::count_if(m_asks.cbegin(), m_asks.cend(), ofDatabase) >= m_limits.maxAsksPerAccount)
        return cloudError(ServerErrorCode::LimitExceeded,
                          QStringLiteral("too many asks are waiting for an answer"));
    const Duration now = m_clock.monotonicNow();
    m_relays.insert(key, Relay{database, {}, 0, 0, false, now});
    m_asks.append(Ask{database, offer.value(), relay.value(), range,
                      body.value(QStringLiteral("headOnly")).toBool(), request, now});
    return QJsonObject{};
}

Result<QJsonObject> RelayMailbox::asks(const QString& database, const QJsonObject& body) {
    const QJsonArray offers = body.value(QStringLiteral("offers")).toArray();
    if (offers.size() > kMaxOffersAsked)
        return badRelayRequest(QStringLiteral("at most %1 offers at once").arg(kMaxOffersAsked));
    QSet<QString> wanted;
    for (const QJsonValue offer : offers) {
        if (!isRelayId(offer.toString()))
            return badRelayRequest(QStringLiteral("\"offers\" must be ids"));
        wanted.insert(offer.toString());
    }
    QJsonArray found;
    for (auto it = m_asks.begin(); it != m_asks.end();) {
        if (it->database != database || !wanted.contains(it->offer)) {
            ++it;
            continue;
        }
        found.append(QJsonObject{{QStringLiteral("offer"), it->offer},
                                 {QStringLiteral("relay"), it->relay},
                                 {QStringLiteral("range"), it->range},
                                 {QStringLiteral("headOnly"), it->isHeadOnly},
                                 {QStringLiteral("request"), it->request}});
        // The relay counts from now: the offering computer has only just heard of it.
        if (const auto relay = m_relays.find(relayKey(database, it->relay));
            relay != m_relays.end())
            relay->touched = m_clock.monotonicNow();
        it = m_asks.erase(it);
    }
    return QJsonObject{{QStringLiteral("asks"), found}};
}

Result<RelayMailbox::Relay*> RelayMailbox::relayOf(const QString& database,
                                                   const QJsonObject& body) {
    const auto relay = idField(body, QStringLiteral("relay"));
    SONAVERT_TRY(relay);
    const auto found = m_relays.find(relayKey(database, relay.value()));
    if (found == m_relays.end())
        return cloudError(ServerErrorCode::NotFound, QStringLiteral("no such relay"));
    found->touched = m_clock.monotonicNow();
    return &found.value();
}

Result<QJsonObject> RelayMailbox::put(const QString& database, const QJsonObject& body) {
    const auto relay = relayOf(database, body);
    SONAVERT_TRY(relay);
    const auto seq = seqField(body);
    SONAVERT_TRY(seq);
    const QString text = body.value(QStringLiteral("chunk")).toString();
    if (text.size() > m_limits.maxChunkChars)
        return cloudError(
            ServerErrorCode::LimitExceeded,
            QStringLiteral("a chunk holds at most %1 characters").arg(m_limits.maxChunkChars));
    Relay& into = *relay.value();
    if (into.isEnded)
        return badRelayRequest(QStringLiteral("the relay has ended"));
    if (seq.value() != into.nextPut)
        return badRelayRequest(QStringLiteral("the next chunk is %1").arg(into.nextPut));
    const qint64 size = text.size();
    // A chunk is refused until the taker catches up; an empty relay always takes one, so a
    // chunk the size of the whole buffer still passes.
    if ((into.bytes > 0 && into.bytes + size > m_limits.maxRelayBytes) ||
        m_heldBytes + size > m_limits.maxTotalBytes)
        return QJsonObject{{QStringLiteral("accepted"), false}};
    into.chunks.append(Chunk{seq.value(), text.toLatin1()});
    into.bytes += size;
    m_heldBytes += size;
    ++into.nextPut;
    into.isEnded = body.value(QStringLiteral("end")).toBool();
    return QJsonObject{{QStringLiteral("accepted"), true}};
}

Result<QJsonObject> RelayMailbox::take(const QString& database, const QJsonObject& body) {
    const auto relay = relayOf(database, body);
    SONAVERT_TRY(relay);
    const auto seq = seqField(body);
    SONAVERT_TRY(seq);
    Relay& from = *relay.value();
    // Asking from `seq` says everything before it arrived.
    while (!from.chunks.isEmpty() && from.chunks.first().seq < seq.value()) {
        from.bytes -= from.chunks.first().sealed.size();
        m_heldBytes -= from.chunks.first().sealed.size();
        from.chunks.removeFirst();
    }
    QJsonArray chunks;
    for (const Chunk& chunk : std::as_const(from.chunks)) {
        if (chunks.size() >= m_limits.maxChunksPerTake)
            break;
        chunks.append(QJsonObject{{QStringLiteral("seq"), chunk.seq},
                                  {QStringLiteral("chunk"), QString::fromLatin1(chunk.sealed)}});
    }
    const bool isLastGiven =
        from.isEnded && (from.chunks.isEmpty() || chunks.size() == from.chunks.size());
    return QJsonObject{{QStringLiteral("chunks"), chunks}, {QStringLiteral("end"), isLastGiven}};
}

Result<QJsonObject> RelayMailbox::close(const QString& database, const QJsonObject& body) {
    const auto relay = idField(body, QStringLiteral("relay"));
    SONAVERT_TRY(relay);
    if (const auto found = m_relays.find(relayKey(database, relay.value()));
        found != m_relays.end())
        drop(found);
    return QJsonObject{};
}

void RelayMailbox::dropIdle() {
    const Duration now = m_clock.monotonicNow();
    for (auto it = m_relays.begin(); it != m_relays.end();) {
        if (now - it->touched >= m_limits.idleTimeout) {
            m_heldBytes -= it->bytes;
            it = m_relays.erase(it);
        } else {
            ++it;
        }
    }
    m_asks.removeIf([&](const Ask& ask) { return now - ask.asked >= m_limits.idleTimeout; });
}

void RelayMailbox::drop(QHash<QString, Relay>::iterator relay) {
    m_heldBytes -= relay->bytes;
    m_asks.removeIf([&](const Ask& ask) {
        return ask.database == relay->database && relayKey(ask.database, ask.relay) == relay.key();
    });
    m_relays.erase(relay);
}

} // namespace sonavert::cloud
