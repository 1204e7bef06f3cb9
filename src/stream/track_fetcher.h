#pragma once

#include "src/model/playback_state.h"
#include "src/runtime/clock.h"
#include "src/runtime/result.h"
#include "src/stream/server_relay.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QObject>
#include <QUrl>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTcpServer;
class QTcpSocket;

namespace sonavert::stream {

inline const QString kTrackFetchErrorDomain = QStringLiteral("TrackFetch");

/// Plays another computer's offer through this computer's player: a loopback address the
/// player opens like any http URL, behind which each request (ranges included, so seeking
/// works) is fetched from the offering computer over TLS with its certificate's key pinned to
/// the one the sealed offer named. Only this computer reaches the loopback address, and its
/// paths are random, so other users of the machine cannot guess one either.
class TrackFetcher : public QObject {
    Q_OBJECT
public:
    /// The error codes of `probe` (domain "TrackFetch").
    enum class ErrorCode {
        /// The offering computer was not reached: another network, a firewall, gone.
        Unreachable = 1,
        /// It was reached and does not offer the song (any more).
        NotOffered = 2,
        /// The player's loopback port could not be opened.
        NoLoopbackPort = 3,
    };
    /// How the bytes of an offer come: from the offering computer, or through the server
    /// when the two computers cannot reach each other.
    enum class Route { Direct, ThroughServer };

    explicit TrackFetcher(std::shared_ptr<Clock> clock, QObject* parent = nullptr);
    ~TrackFetcher() override;

    Status listen();
    /// Lets offers play through the account's server as well.
    void passThroughServer(RelayLink link) { m_relay = std::move(link); }
    bool canPassThroughServer() const { return static_cast<bool>(m_relay.call); }
    /// The loopback URL for `offer` by `route`; the same offer and route keep their URL.
    QUrl localUrlFor(const TrackOffer& offer, Route route = Route::Direct);
    /// The offer a loopback URL of this fetcher plays: a song playing here from another
    /// computer is passed on with that computer's offer, never with a loopback address.
    std::optional<TrackOffer> offerBehind(const QString& localUrl) const;
    /// Whether the offering computer serves the offer now (its first byte, pinned): the error
    /// says what failed, so the user learns why the song went back.
    QCoro::Task<Status> probe(TrackOffer offer);
    /// The same through the server; only after `passThroughServer`.
    QCoro::Task<Status> probeThroughServer(TrackOffer offer);

    int openRelays() const { return m_relays; }

private:
    class Relay;
    void onConnection();
    void serve(QTcpSocket* socket, const QByteArray& head);
    QNetworkReply* fetch(const TrackOffer& offer, const QByteArray& range, bool headOnly);

    struct Played {
        TrackOffer offer;
        Route route = Route::Direct;
    };

    std::shared_ptr<Clock> m_clock;
    std::unique_ptr<QTcpServer> m_server;
    std::unique_ptr<QNetworkAccessManager> m_network;
    RelayLink m_relay;
    QHash<QString, Played> m_offers;       ///< by local path
    QHash<QString, QString> m_pathByOffer; ///< by offer URL, prefixed for the server's route
    int m_relays = 0;
};

inline QString errorDomain(TrackFetcher::ErrorCode) {
    return kTrackFetchErrorDomain;
}

} // namespace sonavert::stream
