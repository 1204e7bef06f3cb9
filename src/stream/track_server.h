#pragma once

#include "src/model/playback_state.h"
#include "src/runtime/clock.h"
#include "src/runtime/result.h"
#include "src/stream/ephemeral_identity.h"

#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <memory>

class QSslServer;
class QSslSocket;

namespace sonavert::stream {

inline const QString kTrackServerErrorDomain = QStringLiteral("TrackServer");

/// Why this computer cannot serve its music to the others (domain "TrackServer").
enum class TrackServerErrorCode {
    NoIdentity = 1,   ///< the TLS identity of this run could not be made
    CannotListen = 2, ///< no port to serve on
};
inline QString errorDomain(TrackServerErrorCode) {
    return kTrackServerErrorDomain;
}

/// Serves files this computer plays to the account's other computers, one offer per file:
/// HTTPS with an identity made for this run, at `/track/<capability>`, with byte ranges so a
/// player can seek. A capability is 32 random bytes that travel only in sealed commands; it
/// serves one file, ends after the song plus a margin, and every offer ends when serving
/// stops. Only a few streams run at once, and a connection that does not finish its request
/// head within a bound is closed.
class TrackServer : public QObject {
    Q_OBJECT
public:
    struct Options {
        QHostAddress listenAddress = QHostAddress::Any;
        quint16 port = 0;
        /// The host put into offers; empty: this computer's first LAN address, or loopback.
        QString advertisedHost;
        int maxStreams = 4;
        int maxConnections = 32;
        Duration headTimeout = std::chrono::seconds(10);
        /// How long an offer outlives the rest of its song: a pause or a seek back must not
        /// end it halfway.
        Duration margin = std::chrono::minutes(30);
        /// Asked at every request: while it says no, nothing is served and every offer ends.
        std::function<bool()> isAllowed;
    };

    TrackServer(std::shared_ptr<Clock> clock, EphemeralIdentity identity, Options options,
                QObject* parent = nullptr);
    ~TrackServer() override;

    /// Starts serving; `offer` starts it too, so a computer that never shares never listens.
    Status listen();
    /// Ends every offer and stops listening.
    void stop();
    quint16 port() const;
    bool isListening() const;

    /// An offer of the file at `path` (a local path) whose song has `remaining` seconds left;
    /// the live offer of the same file is renewed rather than a second made. Nothing when the
    /// file cannot be read or serving is off.
    std::optional<TrackOffer> offer(const QString& path, double remaining);
    /// Ends every offer and closes the streams running: the user stopped sharing.
    void revokeAll();

    /// What an offer answers to one request: a head, and the part of the file that follows it
    /// (opened and placed; none for an error, a HEAD or an empty file).
    struct Answer {
        int status = 404;
        QList<std::pair<QByteArray, QByteArray>> headers;
        std::unique_ptr<QFile> file;
        qint64 length = 0;
    };
    /// The answer of the offer `capability` to a request with `rangeHeader`: the same for a
    /// request that comes through the server as for one that comes here directly.
    Answer plan(const QString& capability, const QByteArray& rangeHeader, bool isHeadOnly);
    /// Whether the user lets this computer share its music now.
    bool isSharing() const { return !m_options.isAllowed || m_options.isAllowed(); }
    /// The key every offer of this run names (base64 of its fingerprint).
    QString offerKey() const { return QString::fromLatin1(m_identity.keyFingerprint.toBase64()); }

    int activeStreams() const { return m_streams; }
    /// Connections accepted and not yet closed.
    int connectionCount() const;
    int offerCount() const { return static_cast<int>(m_offers.size()); }

private:
    struct Offer {
        QString path;
        Duration expiresAt{};
    };
    class Connection;

    void onConnection();
    void answer(Connection* connection);
    static void pump(Connection* connection);
    void dropExpired();
    QString advertisedHost() const;

    std::shared_ptr<Clock> m_clock;
    EphemeralIdentity m_identity;
    Options m_options;
    std::unique_ptr<QSslServer> m_server;
    QHash<QString, Offer> m_offers;        ///< by capability
    QHash<QString, QString> m_offerByPath; ///< path -> capability
    /// Each deletes itself once its client is gone.
    QList<QPointer<QSslSocket>> m_sockets;
    int m_streams = 0;
};

} // namespace sonavert::stream
