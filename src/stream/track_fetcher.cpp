#include "src/stream/track_fetcher.h"

#include "src/clouddb/cloud_trust.h"
#include "src/stream/http_head.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSslError>
#include <QTcpServer>
#include <QTcpSocket>

namespace sonavert::stream {

namespace {

constexpr qint64 kRelayReadBytes = qint64{256} * 1024;
const QByteArray kPlayPrefix = "/play/";

Error fetchError(TrackFetcher::ErrorCode code, const QString& text) {
    return makeError(code, text);
}

// Only the offer's own key is trusted: no authority, however trusted elsewhere, may vouch for
// a computer of the account.
void pinTo(QNetworkReply* reply, const QByteArray& key) {
    QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                     [reply, key](const QList<QSslError>& errors) {
                         const QSslCertificate shown = reply->sslConfiguration().peerCertificate();
                         if (!shown.isNull() && clouddb::CloudTrust::keyFingerprint(shown) == key)
                             reply->ignoreSslErrors(errors);
                     });
    QObject::connect(reply, &QNetworkReply::encrypted, reply, [reply, key] {
        const QSslCertificate shown = reply->sslConfiguration().peerCertificate();
        if (shown.isNull() || clouddb::CloudTrust::keyFingerprint(shown) != key)
            reply->abort();
    });
}

} // namespace

/// One request of the player, answered from one fetch.
class TrackFetcher::Relay : public QObject {
public:
    Relay(TrackFetcher* fetcher, QTcpSocket* player, QNetworkReply* reply)
        : m_fetcher(fetcher)
        , m_player(player)
        , m_reply(reply) {
        setParent(player);
        ++m_fetcher->m_relays;
        reply->setParent(this);
        reply->setReadBufferSize(kRelayReadBytes);
        connect(reply, &QNetworkReply::metaDataChanged, this, &Relay::writeHead);
        connect(reply, &QNetworkReply::readyRead, this, &Relay::pump);
        connect(reply, &QNetworkReply::finished, this, &Relay::pump);
        connect(player, &QTcpSocket::bytesWritten, this, &Relay::pump);
    }
    ~Relay() override {
        --m_fetcher->m_relays;
        if (m_reply) {
            m_reply->disconnect(this); // the player's socket is going: nothing more to write
            m_reply->abort();
        }
    }

private:
    void writeHead() {
        const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (m_isHeadWritten || !status.isValid())
            return;
        m_isHeadWritten = true;
        QList<std::pair<QByteArray, QByteArray>> headers;
        for (const QByteArray& name : {QByteArray("Content-Type"), QByteArray("Content-Length"),
                                       QByteArray("Content-Range"), QByteArray("Accept-Ranges")})
            if (m_reply->hasRawHeader(name))
                headers.emplaceBack(name, m_reply->rawHeader(name));
        headers.emplaceBack("Connection", "close");
        m_player->write(responseHead(status.toInt(), headers));
    }

    void pump() {
        // The player may have hung up (a seek opens a new request) before the fetch ends.
        if (!m_reply || m_player->state() != QAbstractSocket::ConnectedState)
            return;
        if (!m_isHeadWritten) {
            writeHead();
            if (!m_isHeadWritten) {
                if (m_reply->isFinished()) { // never answered: unreachable, refused, wrong key
                    m_player->write(
                        responseHead(502, {{"Content-Length", "0"}, {"Connection", "close"}}));
                    m_player->disconnectFromHost();
                }
                return;
            }
        }
        while (m_reply->bytesAvailable() > 0 && m_player->bytesToWrite() < kMaxPlayerBufferedBytes)
            m_player->write(m_reply->read(kRelayReadBytes));
        if (m_reply->isFinished() && m_reply->bytesAvailable() == 0 &&
            m_player->bytesToWrite() == 0)
            m_player->disconnectFromHost();
    }

    TrackFetcher* m_fetcher;
    QTcpSocket* m_player;
    /// Deleted by whoever ends the transfer first: the reply's end or the player leaving.
    QPointer<QNetworkReply> m_reply;
    bool m_isHeadWritten = false;
};

TrackFetcher::TrackFetcher(std::shared_ptr<Clock> clock, QObject* parent)
    : QObject(parent)
    , m_clock(std::move(clock))
    , m_server(std::make_unique<QTcpServer>())
    , m_network(std::make_unique<QNetworkAccessManager>()) {
    connect(m_server.get(), &QTcpServer::newConnection, this, &TrackFetcher::onConnection);
}

TrackFetcher::~TrackFetcher() {
    for (QObject* child : m_server->children())
        QObject::disconnect(child, nullptr, this, nullptr);
    m_server.reset();
}

Status TrackFetcher::listen() {
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        return fetchError(ErrorCode::NoLoopbackPort,
                          QStringLiteral("cannot open a loopback port for the player: %1")
                              .arg(m_server->errorString()));
    return {};
}

QUrl TrackFetcher::localUrlFor(const TrackOffer& offer, Route route) {
    const QString key = route == Route::Direct ? offer.url : QStringLiteral("server ") + offer.url;
    QString path = m_pathByOffer.value(key);
    if (path.isEmpty() || m_offers.value(path).offer != offer) {
        path = unguessablePathSegment(16);
        m_pathByOffer.insert(key, path);
        m_offers.insert(path, Played{offer, route});
    }
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(m_server->serverPort());
    url.setPath(QString::fromLatin1(kPlayPrefix) + path);
    return url;
}

std::optional<TrackOffer> TrackFetcher::offerBehind(const QString& localUrl) const {
    const QUrl url(localUrl);
    if (url.scheme() != QLatin1String("http") || url.host() != QLatin1String("127.0.0.1") ||
        url.port() != m_server->serverPort() || !url.path().startsWith(QLatin1String("/play/")))
        return std::nullopt;
    const auto found = m_offers.constFind(url.path().mid(6));
    return found == m_offers.constEnd() ? std::nullopt : std::optional(found->offer);
}

QNetworkReply* TrackFetcher::fetch(const TrackOffer& offer, const QByteArray& range,
                                   bool headOnly) {
    QNetworkRequest request{QUrl(offer.url)};
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setCaCertificates({});
    request.setSslConfiguration(tls);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    if (!range.isEmpty())
        request.setRawHeader("Range", range);
    QNetworkReply* reply = headOnly ? m_network->head(request) : m_network->get(request);
    pinTo(reply, QByteArray::fromBase64(offer.key.toLatin1()));
    return reply;
}

QCoro::Task<Status> TrackFetcher::probe(TrackOffer offer) {
    std::unique_ptr<QNetworkReply> reply(fetch(offer, "bytes=0-0", false));
    co_await qCoro(reply.get()).waitForFinished();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 200 || status == 206)
        co_return Status{};
    if (status != 0)
        co_return fetchError(ErrorCode::NotOffered,
                             QStringLiteral("the other computer no longer offers the song"));
    co_return fetchError(
        ErrorCode::Unreachable,
        QStringLiteral("the other computer cannot be reached: %1").arg(reply->errorString()));
}

QCoro::Task<Status> TrackFetcher::probeThroughServer(TrackOffer offer) {
    co_return co_await stream::probeThroughServer(m_clock, m_relay, std::move(offer));
}

void TrackFetcher::onConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        struct Pending {
            QByteArray head;
            bool isAnswered = false;
        };
        auto pending = std::make_shared<Pending>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, pending] {
            if (pending->isAnswered) { // one request per connection
                socket->readAll();
                return;
            }
            pending->head += socket->read(kMaxRequestHeadBytes + 1 - pending->head.size());
            const auto end = requestHeadEnd(pending->head);
            if (!end && pending->head.size() <= kMaxRequestHeadBytes)
                return;
            pending->isAnswered = true;
            const QByteArray head = end ? pending->head.left(*end) : QByteArray();
            pending->head.clear();
            serve(socket, head);
        });
    }
}

void TrackFetcher::serve(QTcpSocket* socket, const QByteArray& text) {
    const std::optional<RequestHead> head = parseRequestHead(text);
    const auto refuse = [socket](int status) {
        socket->write(responseHead(status, {{"Content-Length", "0"}, {"Connection", "close"}}));
        socket->disconnectFromHost();
    };
    if (!head)
        return refuse(400);
    if (head->method != "GET" && head->method != "HEAD")
        return refuse(405);
    const auto offer =
        head->target.startsWith(kPlayPrefix)
            ? m_offers.constFind(QString::fromLatin1(head->target.mid(kPlayPrefix.size())))
            : m_offers.constEnd();
    if (offer == m_offers.constEnd())
        return refuse(404);
    if (offer->route == Route::ThroughServer) {
        if (!canPassThroughServer())
            return refuse(404);
        relayToPlayer(m_clock, m_relay, offer->offer, socket, head->headers.value("range"),
                      head->method == "HEAD");
        return;
    }
    new Relay(this, socket,
              fetch(offer->offer, head->headers.value("range"), head->method == "HEAD"));
}

} // namespace sonavert::stream
