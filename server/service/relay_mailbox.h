#pragma once

#include "src/runtime/clock.h"
#include "src/runtime/result.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

namespace sonavert::cloud {

/// Passes a song between two computers of one account that cannot reach each other: the one
/// playing it from the other asks for a byte range of an offer ("relay/ask"), the offering one
/// collects the asks for its offers ("relay/asks") and puts the answer here in chunks
/// ("relay/put"), which the asking one takes ("relay/take") and closes ("relay/close"). The
/// devices seal every chunk under the account key before it comes here, so this holds only
/// ciphertext, in memory, never written anywhere: a bounded buffer per relay, which refuses a
/// chunk (accepted: false) until the taker catches up. Relays and asks nobody touches for
/// `idleTimeout` are dropped. Shared by every thread that serves calls, so it locks.
class RelayMailbox {
public:
    struct Limits {
        /// Relays one account holds open at once: a few players of a few computers.
        int maxRelaysPerAccount = 8;
        /// Asks waiting for the offering computers of one account.
        int maxAsksPerAccount = 32;
        /// Ciphertext one relay holds before the taker has taken it, in bytes as held.
        qint64 maxRelayBytes = qint64{2} << 20;
        /// Ciphertext held for every relay together.
        qint64 maxTotalBytes = qint64{64} << 20;
        /// One chunk as it travels (sealed, base64): a call carries one.
        qsizetype maxChunkChars = qsizetype{1} << 20;
        /// An ask's sealed request.
        qsizetype maxRequestChars = 4096;
        /// Chunks given in one answer.
        int maxChunksPerTake = 2;
        Duration idleTimeout = std::chrono::seconds(30);
    };

    explicit RelayMailbox(Clock& clock);
    RelayMailbox(Clock& clock, Limits limits);

    /// The names of the relay operations ("relay/ask", ...).
    static QStringList operations();
    /// Runs one relay operation for the account's database `database` (account, container
    /// and environment: relays of one are not seen from another).
    Result<QJsonObject> serve(const QString& database, const QString& operation,
                              const QJsonObject& body);

    /// Ciphertext held now, every relay together.
    qint64 heldBytes() const;
    int relayCount() const;

private:
    struct Chunk {
        qint64 seq = 0;
        QByteArray sealed; ///< base64 is ASCII: one byte a character, half a QString's size
    };
    struct Relay {
        QString database;
        QList<Chunk> chunks; ///< put, not yet taken past
        qint64 nextPut = 0;
        qint64 bytes = 0;
        bool isEnded = false;
        Duration touched{0};
    };
    struct Ask {
        QString database;
        QString offer;
        QString relay;
        QString range;
        bool isHeadOnly = false;
        QString request; ///< sealed by the asking device: what it wants, opaque here
        Duration asked{0};
    };

    Result<QJsonObject> ask(const QString& database, const QJsonObject& body);
    Result<QJsonObject> asks(const QString& database, const QJsonObject& body);
    Result<QJsonObject> put(const QString& database, const QJsonObject& body);
    Result<QJsonObject> take(const QString& database, const QJsonObject& body);
    Result<QJsonObject> close(const QString& database, const QJsonObject& body);
    Result<Relay*> relayOf(const QString& database, const QJsonObject& body);
    void dropIdle();
    void drop(QHash<QString, Relay>::iterator relay);

    Clock& m_clock;
    Limits m_limits;
    mutable QMutex m_mutex;
    QHash<QString, Relay> m_relays; ///< by relay id
    QList<Ask> m_asks;
    qint64 m_heldBytes = 0;
};

} // namespace sonavert::cloud
